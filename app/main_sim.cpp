// The updater on a simulated device: the same main window, bound to the in-memory HID bus,
// with one simulated Velto device plugged in at start in run mode.
#include <QApplication>
#include <QString>

#include <cstdio>
#include <exception>
#include <memory>

#include "app/application.h"
#include "app/auto_run.h"
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/dialogs.h"
#include "app/isp.h"
#include "sim/bus_port.h"
#include "sim/velto_device.h"

int main(int argc, char* argv[]) {
    UpdaterApplication app(argc, argv);

    SimOptions options;
    QString error;
    if (!ParseSimOptions(QApplication::arguments(), options, error)) {
        std::fprintf(stderr, "velto-update-sim: %s\n%s", error.toLocal8Bit().constData(),
                     SimUsage().toLocal8Bit().constData());
        return 2;
    }
    if (options.help) {
        std::fputs(SimUsage().toLocal8Bit().constData(), stdout);
        return 0;
    }

    // Outlives the window, whose processor writes to it from its worker thread.
    TraceFile trace;
    if (!options.traceFile.isEmpty() && !trace.Open(options.traceFile)) {
        std::fprintf(stderr, "velto-update-sim: cannot write %s\n",
                     options.traceFile.toLocal8Bit().constData());
        return 2;
    }

    try {
        // Declared first so that it outlives the window, which lets go of it on close.
        std::unique_ptr<simdev::VeltoDevice> device = simdev::MakeDeviceOnBus();
        RecordingDialogs recorded;
        TfmIsp fmIsp(options.autoRun ? &recorded : nullptr);
        TfmHidData fmHidData(&fmIsp);
        TfmProgData fmProgData(&fmIsp);
        fmIsp.SetDiagnosticWindows(&fmHidData, &fmProgData);
        if (!options.traceFile.isEmpty()) {
            fmIsp.SetReportTrace([&trace](const QString& line) { trace.Write(line); });
        }
        fmIsp.show();

        if (!device->PlugIn(simdev::Mode::Run)) {
            std::fprintf(stderr,
                         "velto-update-sim: the simulated device could not be plugged in\n");
            return 2;
        }

        if (!options.autoRun) return QApplication::exec();

        AutoRunner runner(fmIsp, recorded, *device, stdout, options.timeoutSeconds);
        QObject::connect(&runner, &AutoRunner::Finished, &app,
                         [](int code) { QApplication::exit(code); });
        runner.Start();
        return QApplication::exec();
    } catch (const std::exception& e) {
        UpdaterApplication::ShowException(e);
    }
    return 1;
}
