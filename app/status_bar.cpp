#include "app/status_bar.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>

namespace {

const QString kDescription =
    QStringLiteral("The link to the device, the device found, and the update's step");

// Screen readers have a command that reads the status bar: they look for the role.
QAccessibleInterface* StatusBarAccessible(const QString& key, QObject* object) {
    if (key != QLatin1String("TStatusBar") || !object->isWidgetType()) return nullptr;
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::StatusBar);
}

// The word part of a step text ("Mcu Programing" of "Mcu Programing 12").
QString StepOf(const QString& text) {
    qsizetype end = text.size();
    while (end > 0 && (text[end - 1].isDigit() || text[end - 1].isSpace()))
        --end;
    return text.left(end);
}

}  // namespace

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(StatusBarAccessible);
        return true;
    }();
    (void)factoryInstalled;
    setObjectName(QStringLiteral("sbStatus"));
    setAccessibleName(QStringLiteral("Status"));
    setAccessibleDescription(kDescription);
    setFixedHeight(kHeight);
    setAutoFillBackground(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (int i = 0; i < kPanelCount; ++i) {
        auto* panel = new QLabel(this);
        panel->setObjectName(QStringLiteral("panel%1").arg(i));
        const int width = kPanelWidths[static_cast<std::size_t>(i)];
        // As in the platform's status bars, the last panel reaches to the right edge.
        if (i + 1 < kPanelCount) {
            panel->setFixedWidth(width);
        } else {
            panel->setMinimumWidth(width);
        }
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        panel->setIndent(2);
        // The panel's name is its text, as the label gives it; the description says which.
        panel->setAccessibleDescription(i == 0 ? QStringLiteral("Link to the device")
                                               : QStringLiteral("Device found"));
        layout->addWidget(panel, i + 1 < kPanelCount ? 0 : 1);
        panels_[static_cast<std::size_t>(i)] = panel;
    }
    ApplyColor();
}

void TStatusBar::SetPanelText(int panel, const QString& text) {
    if (panel < 0 || panel >= kPanelCount) return;
    panels_[static_cast<std::size_t>(panel)]->setText(text);
}

QString TStatusBar::PanelText(int panel) const {
    if (panel < 0 || panel >= kPanelCount) return {};
    return panels_[static_cast<std::size_t>(panel)]->text();
}

int TStatusBar::PanelWidth(int panel) const {
    if (panel < 0 || panel >= kPanelCount) return 0;
    return kPanelWidths[static_cast<std::size_t>(panel)];
}

void TStatusBar::SetSimpleText(const QString& text) {
    const bool newStep = StepOf(text) != StepOf(simpleText_);
    simpleText_ = text;
    // Not drawn while the panels are shown; kept readable as the tool tip, and as the bar's
    // description for screen readers (the change is an event of its own).
    setToolTip(text);
    setAccessibleDescription(text.isEmpty() ? kDescription : text);
    // A new step is announced; the count within a step only updates the description.
    if (newStep && !text.isEmpty()) {
        QAccessibleEvent alert(this, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
    }
}

void TStatusBar::SetRed(bool red) {
    if (red_ == red) return;
    red_ = red;
    ApplyColor();
}

QColor TStatusBar::Color() const {
    return palette().color(QPalette::Window);
}

void TStatusBar::ApplyColor() {
    QPalette pal = palette();
    const QColor face = parentWidget() != nullptr
                            ? parentWidget()->palette().color(QPalette::Button)
                            : QPalette().color(QPalette::Button);
    pal.setColor(QPalette::Window, red_ ? QColor(Qt::red) : face);
    setPalette(pal);
}
