#include "app/status_bar.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("sbStatus"));
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
    simpleText_ = text;
    // Not drawn while the panels are shown; kept readable as the tool tip.
    setToolTip(text);
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
