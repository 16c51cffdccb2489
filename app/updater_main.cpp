#include "app/updater_main.h"

#include <QApplication>
#include <QFile>
#include <QObject>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <unistd.h>

#include "app/application.h"
#include "app/auto_run.h"
#include "app/command_line.h"
#include "app/desktop/desktop_integration.h"
#include "app/desktop/observed_dialogs.h"
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/dialogs.h"
#include "app/isp.h"
#include "app/support_report.h"

#ifndef VELTO_VERSION
#define VELTO_VERSION "0"
#endif

namespace {

bool HasDisplay() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

ProgressStyle StyleFor(const UpdaterOptions& options) {
    if (options.verbose) return ProgressStyle::Verbose;
    // A terminal that cannot move the cursor back gets the lines a file gets.
    const char* term = std::getenv("TERM");
    const bool redraws = term == nullptr || std::strcmp(term, "dumb") != 0;
    return isatty(STDOUT_FILENO) != 0 && redraws ? ProgressStyle::Terminal : ProgressStyle::Lines;
}

}  // namespace

int UpdaterMain(int argc, char* argv[], const UpdaterProgram& program, UpdaterHooks& hooks) {
    UpdaterOptions options;
    const CommandLineOutcome parsed =
        ParseUpdaterCommandLine(program.name, program.about, ArgumentsOf(argc, argv), options);
    if (parsed.Done()) return parsed.Print();

    // An unattended run needs no screen: on a machine without one (a production line, a
    // script over ssh) it runs on Qt's offscreen platform instead of failing to start.
    if (options.autoRun && options.qtPlatform.isEmpty() && !HasDisplay())
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // Outlives the window, whose processor writes to it from its worker thread.
    TraceFile trace;
    if (!options.traceFile.isEmpty()) {
        if (const int error = trace.Open(options.traceFile); error != 0) {
            std::fputs(FileError(program.name, QStringLiteral("cannot write the trace file"),
                                 options.traceFile, error)
                           .toLocal8Bit()
                           .constData(),
                       stderr);
            return exitcode::kUsage;
        }
    }

    // The report is written at the end; a file that cannot be written is found out now.
    if (!options.reportFile.isEmpty()) {
        QFile probe(options.reportFile);
        if (!probe.open(QIODevice::WriteOnly)) {
            std::fputs(FileError(program.name, QStringLiteral("cannot write the report file"),
                                 options.reportFile, errno != 0 ? errno : EIO)
                           .toLocal8Bit()
                           .constData(),
                       stderr);
            return exitcode::kUsage;
        }
    }

    QApplication::setApplicationName(program.name);
    QApplication::setApplicationVersion(QStringLiteral(VELTO_VERSION));
    UpdaterApplication app(argc, argv);
    UpdaterApplication::SetUnattended(options.autoRun);

    try {
        hooks.BeforeWindow();
        RecordingDialogs recorded;
        // Unattended, the dialogs are recorded; otherwise they are message boxes.
        ObservedDialogs dialogs(options.autoRun ? &recorded : nullptr);
        TfmIsp fmIsp(&dialogs);
        dialogs.SetParent(&fmIsp);
        // An unattended run keeps the machine awake too; its progress and result go to the
        // terminal instead of the dock and the notifications.
        DesktopOptions desktopOptions;
        desktopOptions.launcherProgress = !options.autoRun;
        desktopOptions.notifyAtEnd = !options.autoRun;
        desktopOptions.appId = QStringLiteral(VELTO_APP_ID);
        DesktopIntegration desktop(fmIsp, dialogs, desktopOptions);
        TfmHidData fmHidData(&fmIsp);
        TfmProgData fmProgData(&fmIsp);
        fmIsp.SetDiagnosticWindows(&fmHidData, &fmProgData);
        if (program.simulated) {
            // First, so that a title bar too narrow for the whole caption still shows it.
            fmIsp.setWindowTitle(QStringLiteral("SIMULATED DEVICE - ") + fmIsp.windowTitle());
        }
        // Always: the report for support keeps the newest lines.
        fmIsp.SetReportTrace([&trace](const QString& line) { trace.Write(line); });
        SupportReport report(fmIsp, desktop.Watch(), dialogs, trace, program.name);
        const auto saveReport = [&](int code, const QString& reason) {
            if (options.reportFile.isEmpty()) return code;
            report.SetExitStatus(code, reason);
            if (const int error = report.Save(options.reportFile); error != 0) {
                std::fputs(FileError(program.name, QStringLiteral("cannot write the report file"),
                                     options.reportFile, error)
                               .toLocal8Bit()
                               .constData(),
                           stderr);
            }
            return code;
        };
        fmIsp.show();
        if (!hooks.WindowShown(fmIsp)) return exitcode::kUsage;

        if (!options.autoRun) {
            const int code = QApplication::exec();
            return saveReport(code, QStringLiteral("the window was closed"));
        }

        AutoRunSettings settings;
        settings.program = program.name;
        settings.timeoutSeconds = options.timeoutSeconds;
        settings.reconnectWaitSeconds = options.reconnectWaitSeconds;
        settings.style = StyleFor(options);
        settings.simulated = program.simulated;
        AutoRunner runner(fmIsp, recorded, settings, stdout, stderr, hooks.Verifier());
        QObject::connect(&runner, &AutoRunner::Finished, &app,
                         [](int code) { QApplication::exit(code); });
        runner.Start();
        const int code = QApplication::exec();
        return saveReport(code, runner.Reason());
    } catch (const std::exception& e) {
        UpdaterApplication::ShowException(e);
    }
    return exitcode::kErrorDialog;
}
