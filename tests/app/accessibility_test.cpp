// What a screen reader gets from the windows: a name and a description for every control,
// the keys that press "Start Program ", and the step and progress as it reads them.
#include <QAccessible>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>

#include "app/status_bar.h"
#include "tests/app/window_fixture.h"

namespace windowtest {
namespace {

// A key pressed and let go, as the keyboard gives it to the focused widget.
void KeyClick(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(widget, &release);
}

class Accessibility : public WindowFixture {
  protected:
    // The object names of the controls reached, and the ones without a name or description.
    void Walk(QAccessibleInterface* node, QSet<QString>& seen, QStringList& bare, int depth = 0) {
        ASSERT_LT(depth, 20);
        QObject* object = node->object();
        const QString name = object != nullptr ? object->objectName() : QString();
        // Containers of our own and Qt's parts of a scroll area are no controls.
        if (!name.isEmpty() && !name.startsWith(QLatin1String("qt_")) &&
            (depth == 0 || node->role() != QAccessible::Client)) {
            seen.insert(name);
            if (node->text(QAccessible::Name).trimmed().isEmpty() ||
                node->text(QAccessible::Description).trimmed().isEmpty())
                bare << name;
        }
        for (int i = 0; i < node->childCount(); ++i)
            Walk(node->child(i), seen, bare, depth + 1);
    }
};

TEST_F(Accessibility, EveryControlHasANameAndADescription) {
    QSet<QString> seen;
    QStringList bare;
    for (QWidget* window : {static_cast<QWidget*>(isp.get()), static_cast<QWidget*>(hidData.get()),
                            static_cast<QWidget*>(progData.get())}) {
        QAccessibleInterface* root = QAccessible::queryAccessibleInterface(window);
        ASSERT_NE(root, nullptr);
        Walk(root, seen, bare);
    }
    EXPECT_TRUE(bare.isEmpty()) << bare.join(", ").toStdString();
    for (const char* control :
         {"fmIsp", "lbHidShow", "lbProblem", "bnSecurity", "bnDspPorgram", "bnMcuProgram",
          "btnStartProgram", "pbProgress", "sbStatus", "panel0", "panel1", "fmHidData", "hbHidData",
          "lbDropped", "btnSave", "fmProgData", "moShowCode"})
        EXPECT_TRUE(seen.contains(QString::fromLatin1(control))) << control;
    EXPECT_EQ(QAccessible::queryAccessibleInterface(isp->sbStatus)->role(), QAccessible::StatusBar);
    for (QPushButton* service : {isp->bnSecurity, isp->bnDspPorgram, isp->bnMcuProgram})
        EXPECT_TRUE(service->accessibleDescription().startsWith(QStringLiteral("Service action")));
}

TEST_F(Accessibility, EnterAndSpacePressStartProgramAndTheRunCanBeRead) {
    auto dev = PlugHeld(BareDevice::kRunProduct);
    ASSERT_TRUE(WaitUntil([&] { return isp->btnStartProgram->isEnabled(); }));
    EXPECT_EQ(isp->focusWidget(), isp->btnStartProgram);
    // Only the keys are under test: the press starts no run here.
    QObject::disconnect(isp->btnStartProgram, &QPushButton::clicked, isp.get(), nullptr);
    int pressed = 0;
    QObject::connect(isp->btnStartProgram, &QPushButton::clicked, isp.get(), [&] { ++pressed; });
    KeyClick(isp->btnStartProgram, Qt::Key_Return);
    KeyClick(isp->btnStartProgram, Qt::Key_Enter, Qt::KeypadModifier);
    KeyClick(isp->btnStartProgram, Qt::Key_Space);
    // Enter reaching the window from a control that does not take it presses it too.
    KeyClick(isp->lbHidShow, Qt::Key_Return);
    EXPECT_EQ(pressed, 4);
    QObject::disconnect(isp->btnStartProgram, &QPushButton::clicked, isp.get(), nullptr);

    // What a screen reader reads of the run: the step as the status bar's description, the
    // progress as a value. (The events that tell it to read them again are only sent while an
    // assistive technology listens; tools/a11y-check.sh shows them.)
    isp->SetSimpleText(QStringLiteral("Mcu Programing 2"));
    isp->SetProgress(7);
    QAccessibleInterface* status = QAccessible::queryAccessibleInterface(isp->sbStatus);
    EXPECT_EQ(status->text(QAccessible::Description), QStringLiteral("Mcu Programing 2"));
    QAccessibleInterface* progress = QAccessible::queryAccessibleInterface(isp->pbProgress);
    ASSERT_NE(progress->valueInterface(), nullptr);
    EXPECT_EQ(progress->valueInterface()->currentValue().toInt(), 7);
}

}  // namespace
}  // namespace windowtest
