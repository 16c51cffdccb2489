// The updater for real devices: the main window over the kernel's hidraw nodes.
#include <QApplication>

#include <exception>

#include "app/application.h"
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/isp.h"

int main(int argc, char* argv[]) {
    UpdaterApplication app(argc, argv);
    try {
        TfmIsp fmIsp;
        TfmHidData fmHidData(&fmIsp);
        TfmProgData fmProgData(&fmIsp);
        fmIsp.SetDiagnosticWindows(&fmHidData, &fmProgData);
        fmIsp.show();
        return QApplication::exec();
    } catch (const std::exception& e) {
        UpdaterApplication::ShowException(e);
    }
    return 1;
}
