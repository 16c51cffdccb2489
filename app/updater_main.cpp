#include "app/updater_main.h"

#include <QApplication>
#include <QFile>
#include <QObject>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

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
#include "app/json_lines.h"
#include "app/multi_unit_run.h"
#include "app/support_report.h"
#include "app/unit_selection.h"
#include "hid/hid.h"
#include "hid/jvhidcontrollerclass.h"
#include "hid/moduleloader.h"

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

// --list: the units present, one line each; exit 0 when there is one, 1 when there is none.
int ListUnits(const QString& program) {
    TJvHidDeviceController controller;
    if (!IsHidLoaded()) {
        std::fprintf(stderr, "%s: the HID backend module cannot be loaded: %s\n",
                     program.toLocal8Bit().constData(), ModuleLoadError().c_str());
        return exitcode::kNoBackend;
    }
    controller.DeviceChange();
    const std::vector<UnitEntry> units = VeltoUnitsOf(controller);
    for (const UnitEntry& unit : units) {
        std::printf("%s  %s\n", UnitSelection::Describe(unit).toLocal8Bit().constData(),
                    unit.readWrite ? "read/write" : "no read/write access");
    }
    if (units.empty()) std::printf("no Velto unit is present\n");
    std::fflush(stdout);
    return units.empty() ? exitcode::kNoDevice : exitcode::kOk;
}

// A program that ends before its run with --json given still writes one valid record.
int EndWith(int code, const QString& text, bool json) {
    if (json && code != exitcode::kOk)
        JsonLines(stdout).WriteEnd(QStringLiteral("error"), code, text);
    return code;
}

}  // namespace

int UpdaterMain(int argc, char* argv[], const UpdaterProgram& program, UpdaterHooks& hooks) {
    UpdaterOptions options;
    const QStringList args = ArgumentsOf(argc, argv);
    const CommandLineOutcome parsed =
        ParseUpdaterCommandLine(program.name, program.about, args, options);
    if (parsed.Done()) {
        const bool json = args.contains(QStringLiteral("--json"));
        return EndWith(parsed.Print(), parsed.err.section(QLatin1Char('\n'), 0, 0), json);
    }

    // An unattended run needs no screen: on a machine without one (a production line, a
    // script over ssh) it runs on Qt's offscreen platform instead of failing to start.
    if ((options.autoRun || options.listUnits) && options.qtPlatform.isEmpty() && !HasDisplay())
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
            return EndWith(exitcode::kUsage, QStringLiteral("cannot write the trace file"),
                           options.json);
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
            return EndWith(exitcode::kUsage, QStringLiteral("cannot write the report file"),
                           options.json);
        }
    }

    QApplication::setApplicationName(program.name);
    QApplication::setApplicationVersion(QStringLiteral(VELTO_VERSION));
    UpdaterApplication app(argc, argv);
    UpdaterApplication::SetUnattended(options.autoRun);

    try {
        hooks.BeforeWindow(options);
        if (options.listUnits) {
            if (!hooks.PlugIn()) return exitcode::kUsage;
            return ListUnits(program.name);
        }
        if (options.all || options.loop) {
            if (!hooks.PlugIn()) return EndWith(exitcode::kUsage, QString(), options.json);
            std::unique_ptr<JsonLines> json;
            if (options.json) json = std::make_unique<JsonLines>(stdout);
            MultiRunSettings settings;
            settings.run.program = program.name;
            settings.run.timeoutSeconds = options.timeoutSeconds;
            settings.run.reconnectWaitSeconds = options.reconnectWaitSeconds;
            settings.run.style = options.verbose ? ProgressStyle::Verbose : ProgressStyle::Lines;
            settings.run.simulated = program.simulated;
            settings.loop = options.loop;
            settings.count = options.count;
            settings.again = options.again;
            settings.terminal =
                !options.json && !options.verbose && StyleFor(options) == ProgressStyle::Terminal;
            MultiUnitRun run(
                settings, options.json ? stderr : stdout, stderr, json.get(),
                [&hooks](const UnitIdentity& unit) { return hooks.VerifierFor(unit); },
                [&trace](const QString& line) { trace.Write(line); });
            QObject::connect(&run, &MultiUnitRun::Finished, &app,
                             [](int code) { QApplication::exit(code); });
            run.Start();
            return QApplication::exec();
        }
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
        fmIsp.SetUnitRequest(UnitRequest{options.port.toStdString(), options.serial.toStdString()});
        fmIsp.show();
        if (!hooks.PlugIn()) return EndWith(exitcode::kUsage, QString(), options.json);

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
        std::unique_ptr<JsonLines> json;
        std::unique_ptr<UnitJson> unitJson;
        if (options.json) {
            json = std::make_unique<JsonLines>(stdout);
            unitJson = std::make_unique<UnitJson>(*json, fmIsp, options.port, options.serial);
        }
        // The unit is known once found; the verifier is asked for it then.
        AutoVerifier* verifier = hooks.VerifierFor(
            UnitIdentity{options.port.toStdString(), options.serial.toStdString()});
        AutoRunner runner(fmIsp, recorded, settings, options.json ? stderr : stdout, stderr,
                          verifier);
        runner.SetEvents(unitJson.get());
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
