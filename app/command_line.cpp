#include "app/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#ifndef VELTO_VERSION
#define VELTO_VERSION "0"
#endif

namespace {

// The options QGuiApplication, QApplication and the X11 platform take from argv. They are
// declared (hidden from the help) so that they are not taken for unknown options; the
// application object reads them later.
const char* const kQtValueOptions[] = {"platform",
                                       "platformpluginpath",
                                       "platformtheme",
                                       "plugin",
                                       "qwindowgeometry",
                                       "geometry",
                                       "qwindowicon",
                                       "icon",
                                       "qwindowtitle",
                                       "title",
                                       "session",
                                       "display",
                                       "name",
                                       "visual",
                                       "style",
                                       "stylesheet",
                                       "qmljsdebugger"};
const char* const kQtFlagOptions[] = {"reverse", "testability", "widgetcount", "nograb", "dograb"};

class Parser {
  public:
    Parser(QString program, QString synopsis, const QString& about, bool qtOptions)
        : program_(std::move(program)), synopsis_(std::move(synopsis)), qtOptions_(qtOptions) {
        // Qt's options have one dash and long names; "-h" and "-v" stay single letters.
        parser_.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser_.setApplicationDescription(about);
        parser_.addOption(help_);
        parser_.addOption(version_);
        if (!qtOptions) return;
        for (const char* name : kQtValueOptions) {
            QCommandLineOption o(QString::fromLatin1(name), QString(), QStringLiteral("value"));
            o.setFlags(QCommandLineOption::HiddenFromHelp);
            parser_.addOption(o);
        }
        for (const char* name : kQtFlagOptions) {
            QCommandLineOption o(QString::fromLatin1(name));
            o.setFlags(QCommandLineOption::HiddenFromHelp);
            parser_.addOption(o);
        }
    }

    QCommandLineParser& Qt() { return parser_; }

    QString Help(const QString& tail) const {
        QString text = parser_.helpText();
        // Without an application object the parser cannot know the program's name.
        text.replace(QStringLiteral("<executable_name>"), program_);
        if (qtOptions_) {
            text += QStringLiteral(
                "\nQt's own options work as usual, e.g. -platform offscreen for a run without a "
                "display.\n");
        }
        return text + tail;
    }

    // Parses args; an outcome that is Done() ends the program.
    CommandLineOutcome Parse(const QStringList& args, const QString& tail) {
        CommandLineOutcome r;
        if (!parser_.parse(args)) return Fail(parser_.errorText());
        if (parser_.isSet(help_)) {
            r.exitCode = exitcode::kOk;
            r.out = Help(tail);
            return r;
        }
        if (parser_.isSet(version_)) {
            r.exitCode = exitcode::kOk;
            r.out = program_ + QStringLiteral(" " VELTO_VERSION "\n");
            return r;
        }
        if (!parser_.positionalArguments().isEmpty()) {
            return Fail(QStringLiteral("unexpected argument '%1'.")
                            .arg(parser_.positionalArguments().constFirst()));
        }
        return r;
    }

    CommandLineOutcome Fail(const QString& error) const {
        CommandLineOutcome r;
        r.exitCode = exitcode::kUsage;
        r.err = QStringLiteral("%1: %2\nUsage: %1 %3\nTry '%1 --help' for more.\n")
                    .arg(program_, error, synopsis_);
        return r;
    }

  private:
    QString program_;
    QString synopsis_;
    bool qtOptions_;
    QCommandLineParser parser_;
    QCommandLineOption help_{{QStringLiteral("h"), QStringLiteral("help")},
                             QStringLiteral("Show this help and exit.")};
    QCommandLineOption version_{{QStringLiteral("v"), QStringLiteral("version")},
                                QStringLiteral("Show the version and exit.")};
};

}  // namespace

int CommandLineOutcome::Print() const {
    if (!out.isEmpty()) std::fputs(out.toLocal8Bit().constData(), stdout);
    if (!err.isEmpty()) std::fputs(err.toLocal8Bit().constData(), stderr);
    std::fflush(stdout);
    return exitCode;
}

QStringList ArgumentsOf(int argc, char** argv) {
    QStringList args;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return args;
}

CommandLineOutcome ParseUpdaterCommandLine(const QString& program, const QString& about,
                                           const QStringList& args, UpdaterOptions& options) {
    Parser p(program,
             QStringLiteral("[--auto [--all | --loop [--count N] [--again]] [--json]] "
                            "[--port PATH] [--serial S] [--list] [--trace FILE] [--report FILE] "
                            "[--timeout S] [--reconnect-wait S] [--verbose] [Qt options]"),
             about, true);
    const QCommandLineOption autoRun(
        QStringLiteral("auto"),
        QStringLiteral("Run the whole update without a hand on it: press \"Start Program \" "
                       "once the device is detected, answer every dialog, print the progress "
                       "and end with the exit status below."));
    const QCommandLineOption trace(
        QStringLiteral("trace"),
        QStringLiteral("Write every output report (W) and every input report passed to the "
                       "link (R) to FILE, one line each, as the HID log shows them."),
        QStringLiteral("FILE"));
    const QCommandLineOption report(
        QStringLiteral("report"),
        QStringLiteral("When the program ends, write the report for support to FILE: versions, "
                       "backend, the Velto units, the last run and the last 2000 trace lines."),
        QStringLiteral("FILE"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Give up an --auto run after S seconds (%1..%2, default 300).")
            .arg(kMinTimeoutSeconds)
            .arg(kMaxTimeoutSeconds),
        QStringLiteral("S"));
    const QCommandLineOption reconnect(
        QStringLiteral("reconnect-wait"),
        QStringLiteral("With --auto: when the device leaves in the middle of the update, say "
                       "which phase it left in and wait S seconds (%1..%2, default %3) for it "
                       "to come back before ending with status 1.")
            .arg(kMinTimeoutSeconds)
            .arg(kMaxTimeoutSeconds)
            .arg(kDefaultReconnectWaitSeconds),
        QStringLiteral("S"));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"),
        QStringLiteral("With --auto: print every step, not only phase changes and every 10 %."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Update only the unit plugged into this USB port path (as --list and "
                       "velto-hid-list show it, e.g. 1-2.3), in the window and with --auto."),
        QStringLiteral("PATH"));
    const QCommandLineOption serial(QStringLiteral("serial"),
                                    QStringLiteral("Update only the unit with this serial number."),
                                    QStringLiteral("S"));
    const QCommandLineOption list(QStringLiteral("list"),
                                  QStringLiteral("Print the Velto units present (port, mode, "
                                                 "serial, access) and exit."));
    const QCommandLineOption all(
        QStringLiteral("all"),
        QStringLiteral("With --auto: update every Velto unit present, all at once; a unit that "
                       "fails never stops the others. Ends with a table of the units."));
    const QCommandLineOption loop(
        QStringLiteral("loop"),
        QStringLiteral("With --auto: wait for units and update each one as it is plugged in, "
                       "several at once, until --count units are done (or the program is "
                       "stopped). A serial that passed in this loop is skipped."));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("With --loop: stop after N units (1..100000)."),
                                   QStringLiteral("N"));
    const QCommandLineOption again(
        QStringLiteral("again"),
        QStringLiteral("With --loop: update a unit again although its serial passed already."));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("With --auto: write JSON lines to standard output (one per event, and a "
                       "final record per unit); the human text goes to standard error."));
    const bool simulator = program.endsWith(QStringLiteral("-sim"));
    const QCommandLineOption devices(
        QStringLiteral("devices"),
        QStringLiteral("Plug in N simulated units (1..%1, default 1), at ports 1-1, 1-2, ...")
            .arg(kMaxSimulatedDevices),
        QStringLiteral("N"));
    for (const QCommandLineOption& o : {autoRun, trace, report, timeout, reconnect, verbose, port,
                                        serial, list, all, loop, count, again, json})
        p.Qt().addOption(o);
    if (simulator) p.Qt().addOption(devices);

    const QString tail =
        QStringLiteral(
            "\nExit status of --auto:\n"
            "  0  \" Program OK !! \" was shown%1\n"
            "  1  an error dialog was shown (the device stopped answering, too), or the\n"
            "     device left during the update\n"
            "  2  a bad option or a file that cannot be written%2\n"
            "  3  no end within the time-out\n"
            "  4  the device is present but cannot be updated (no access, in use by another\n"
            "     program, or no product firmware in this build)\n"
            "  5  the HID backend module cannot be loaded\n"
            "  6  several Velto units are present and none was chosen (--port, --serial,\n"
            "     --all); nothing was written to any of them\n"
            "With --all and --loop the status is 0 only if every unit passed; otherwise it is\n"
            "the status of the first unit (in port order) that did not.\n")
            .arg(program.endsWith(QStringLiteral("-sim"))
                     ? QStringLiteral(" and both memories equal the images")
                     : QString(),
                 program.endsWith(QStringLiteral("-sim")) ? QStringLiteral(", or a memory mismatch")
                                                          : QString());
    CommandLineOutcome r = p.Parse(args, tail);
    if (r.Done()) return r;

    options.autoRun = p.Qt().isSet(autoRun);
    options.verbose = p.Qt().isSet(verbose);
    options.traceFile = p.Qt().value(trace);
    options.qtPlatform = p.Qt().value(QStringLiteral("platform"));
    if (p.Qt().isSet(trace) && options.traceFile.isEmpty())
        return p.Fail(QStringLiteral("--trace needs a file name."));
    options.reportFile = p.Qt().value(report);
    if (p.Qt().isSet(report) && options.reportFile.isEmpty())
        return p.Fail(QStringLiteral("--report needs a file name."));
    // A whole number within [low, high] ("seconds" or not), or the failure that names it.
    std::optional<CommandLineOutcome> failed;
    const auto number = [&](const QCommandLineOption& option, int low, int high, bool seconds,
                            int& into) {
        if (failed || !p.Qt().isSet(option)) return;
        const QString text = p.Qt().value(option);
        bool ok = false;
        const qlonglong n = text.toLongLong(&ok, 10);
        if (ok && n >= low && n <= high) {
            into = static_cast<int>(n);
            return;
        }
        failed = p.Fail(QStringLiteral("--%1 takes a whole number %2from %3 to %4, not '%5'.")
                            .arg(option.names().constFirst(),
                                 seconds ? QStringLiteral("of seconds ") : QString())
                            .arg(low)
                            .arg(high)
                            .arg(text));
    };
    number(timeout, kMinTimeoutSeconds, kMaxTimeoutSeconds, true, options.timeoutSeconds);
    number(reconnect, kMinTimeoutSeconds, kMaxTimeoutSeconds, true, options.reconnectWaitSeconds);
    if (failed) return *failed;
    options.port = p.Qt().value(port);
    options.serial = p.Qt().value(serial);
    if (p.Qt().isSet(port) && options.port.isEmpty())
        return p.Fail(QStringLiteral("--port needs a port path, e.g. 1-2.3."));
    if (p.Qt().isSet(serial) && options.serial.isEmpty())
        return p.Fail(QStringLiteral("--serial needs a serial number."));
    options.listUnits = p.Qt().isSet(list);
    options.all = p.Qt().isSet(all);
    options.loop = p.Qt().isSet(loop);
    options.again = p.Qt().isSet(again);
    options.json = p.Qt().isSet(json);
    if ((options.all || options.loop || options.json) && !options.autoRun)
        return p.Fail(QStringLiteral("--all, --loop and --json go with --auto."));
    if (options.all && options.loop)
        return p.Fail(QStringLiteral("--all and --loop cannot be used together."));
    if ((options.all || options.loop) && (p.Qt().isSet(port) || p.Qt().isSet(serial)))
        return p.Fail(
            QStringLiteral("--all and --loop take every unit: leave out --port and "
                           "--serial."));
    if ((options.all || options.loop) && !options.reportFile.isEmpty())
        return p.Fail(
            QStringLiteral("--report is written for one unit: leave out --all and "
                           "--loop (--json gives a record per unit)."));
    if ((p.Qt().isSet(count) || options.again) && !options.loop)
        return p.Fail(QStringLiteral("--count and --again go with --loop."));
    number(count, 1, 100000, false, options.count);
    if (simulator) number(devices, 1, kMaxSimulatedDevices, false, options.devices);
    if (failed) return *failed;
    return r;
}

CommandLineOutcome ParseListerCommandLine(const QStringList& args) {
    Parser p(QStringLiteral("velto-hid-list"), QStringLiteral("[--help] [--version]"),
             QStringLiteral("Lists every HID interface the updater can see, with identifiers, "
                            "strings, report sizes and access, and marks the Velto device."),
             false);
    return p.Parse(
        args,
        QStringLiteral(
            "\nExit status:\n"
            "  0  a Velto device (0168:0821 or 0168:0904) is listed\n"
            "  1  no Velto device is present\n"
            "  2  a bad option\n"
            "  5  the HID backend module cannot be loaded\n"
            "  6  several Velto units are present and none was chosen (--port, --serial,\n"
            "     --all); nothing was written to any of them\n"
            "With --all and --loop the status is 0 only if every unit passed; otherwise it is\n"
            "the status of the first unit (in port order) that did not.\n"));
}

QString FileError(const QString& program, const QString& what, const QString& path, int error) {
    return QStringLiteral("%1: %2 %3: %4\n")
        .arg(program, what, path, QString::fromLocal8Bit(std::strerror(error)));
}
