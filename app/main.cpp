// The updater for real devices: the main window over the kernel's hidraw nodes.
#include <QApplication>
#include <QMessageBox>
#include <QString>

#include <exception>

#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/isp.h"

namespace {

void ShowException(const std::exception& e) {
    QMessageBox::critical(nullptr, QApplication::applicationDisplayName(),
                          QString::fromLocal8Bit(e.what()));
}

// An exception that escapes a handler is shown, and the program goes on.
class Application : public QApplication {
  public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            ShowException(e);
        }
        return false;
    }
};

}  // namespace

int main(int argc, char* argv[]) {
    Application app(argc, argv);
    try {
        TfmIsp fmIsp;
        TfmHidData fmHidData(&fmIsp);
        TfmProgData fmProgData(&fmIsp);
        fmIsp.SetDiagnosticWindows(&fmHidData, &fmProgData);
        fmIsp.show();
        return QApplication::exec();
    } catch (const std::exception& e) {
        ShowException(e);
    }
    return 1;
}
