// The updaters' and the lister's command lines, as a table: what each argument list leads to.
#include <gtest/gtest.h>

#include <utility>

#include "app/command_line.h"

namespace {

struct Case {
    QStringList args;  // after the program name
    int exitCode;      // -1: the program goes on
    UpdaterOptions options;
    const char* out = "";  // a text that standard output contains
    const char* err = "";  // a text that standard error contains
};

UpdaterOptions Opt(bool autoRun, QString trace = {}, int timeout = 300, bool verbose = false,
                   QString platform = {}) {
    UpdaterOptions o;
    o.autoRun = autoRun;
    o.traceFile = std::move(trace);
    o.timeoutSeconds = timeout;
    o.verbose = verbose;
    o.qtPlatform = std::move(platform);
    return o;
}

TEST(CommandLine, UpdaterOptionsTable) {
    const QString usage = QStringLiteral("Usage: velto-update [--auto [--all | --loop");
    UpdaterOptions all = Opt(true);
    all.all = true;
    all.json = true;
    UpdaterOptions loop = Opt(true);
    loop.loop = true;
    loop.count = 12;
    loop.again = true;
    UpdaterOptions chosen = Opt(false);
    chosen.port = QStringLiteral("1-2.3");
    chosen.serial = QStringLiteral("A1");
    const Case cases[] = {
        {{}, -1, Opt(false)},
        {{"--auto", "--trace", "t.txt", "--timeout", "5", "--verbose"},
         -1,
         Opt(true, "t.txt", 5, true)},
        {{"--auto", "--trace=t.txt", "--timeout=86400"}, -1, Opt(true, "t.txt", 86400)},
        {{"--timeout", "1"}, -1, Opt(false, {}, 1)},
        // Qt's own options, in each of their spellings, are left to the application object.
        {{"-platform", "offscreen", "--auto"}, -1, Opt(true, {}, 300, false, "offscreen")},
        {{"--platform=offscreen", "-style", "fusion", "-reverse", "-stylesheet=a.qss"},
         -1,
         Opt(false, {}, 300, false, "offscreen")},
        {{"-h"}, 0, Opt(false), "Usage: velto-update [options]"},
        {{"--auto", "--help"}, 0, Opt(false), "Exit status of --auto:"},
        {{"-v"}, 0, Opt(false), "velto-update 1."},
        {{"--version"}, 0, Opt(false), "velto-update 1."},
        {{"--bogus"}, 2, Opt(false), "", "Unknown option 'bogus'"},
        {{"-x"}, 2, Opt(false), "", "Unknown option 'x'"},
        {{"stray"}, 2, Opt(false), "", "unexpected argument 'stray'"},
        {{"--auto", "--", "--verbose"}, 2, Opt(false), "", "unexpected argument '--verbose'"},
        {{"--trace"}, 2, Opt(false), "", "Missing value after '--trace'"},
        {{"--trace="}, 2, Opt(false), "", "--trace needs a file name"},
        {{"--timeout", "0"}, 2, Opt(false), "", "not '0'"},
        {{"--timeout=86401"}, 2, Opt(false), "", "from 1 to 86400"},
        {{"--timeout", "-5"}, 2, Opt(false), "", "not '-5'"},
        {{"--timeout", "5s"}, 2, Opt(false), "", "not '5s'"},
        {{"--timeout", "1e3"}, 2, Opt(false), "", "not '1e3'"},
        // Would wrap to a small or negative number of milliseconds in an int.
        {{"--timeout", "4294968"}, 2, Opt(false), "", "not '4294968'"},
        {{"--timeout", "99999999999999999999"}, 2, Opt(false), "", "from 1 to 86400"},
        // Several units.
        {{"--all", "--json", "--auto"}, -1, all},
        {{"--auto", "--loop", "--count=12", "--again"}, -1, loop},
        {{"--port", "1-2.3", "--serial=A1"}, -1, chosen},
        {{"--auto", "--help"}, 0, Opt(false), "6  several Velto units are present"},
        {{"--all"}, 2, Opt(false), "", "--all, --loop and --json go with --auto"},
        {{"--auto", "--all", "--loop"}, 2, Opt(false), "", "cannot be used together"},
        {{"--auto", "--all", "--port", "1-1"}, 2, Opt(false), "", "leave out --port"},
        {{"--auto", "--count", "3"}, 2, Opt(false), "", "--count and --again go with --loop"},
        {{"--auto", "--loop", "--count", "0"}, 2, Opt(false), "", "not '0'"},
        {{"--auto", "--all", "--report", "r.txt"}, 2, Opt(false), "", "--report is written"},
        {{"--port="}, 2, Opt(false), "", "--port needs a port path"},
        {{"--devices", "2"}, 2, Opt(false), "", "Unknown option 'devices'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        UpdaterOptions o;
        const CommandLineOutcome r = ParseUpdaterCommandLine(
            "velto-update", "About.", QStringList{"velto-update"} + c.args, o);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_TRUE(r.out.contains(QString::fromUtf8(c.out))) << r.out.toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.err))) << r.err.toStdString();
        if (c.exitCode == 2) {
            EXPECT_TRUE(r.err.contains(usage)) << r.err.toStdString();
            EXPECT_TRUE(r.out.isEmpty());
        }
        if (c.exitCode >= 0) continue;
        EXPECT_EQ(o.autoRun, c.options.autoRun);
        EXPECT_EQ(o.traceFile, c.options.traceFile);
        EXPECT_EQ(o.timeoutSeconds, c.options.timeoutSeconds);
        EXPECT_EQ(o.verbose, c.options.verbose);
        EXPECT_EQ(o.qtPlatform, c.options.qtPlatform);
        EXPECT_EQ(o.port, c.options.port);
        EXPECT_EQ(o.serial, c.options.serial);
        EXPECT_EQ(o.all, c.options.all);
        EXPECT_EQ(o.loop, c.options.loop);
        EXPECT_EQ(o.count, c.options.count);
        EXPECT_EQ(o.again, c.options.again);
        EXPECT_EQ(o.json, c.options.json);
    }
    // The simulator alone plugs in several units.
    UpdaterOptions o;
    EXPECT_EQ(ParseUpdaterCommandLine("velto-update-sim", "About.",
                                      {"velto-update-sim", "--devices", "4"}, o)
                  .exitCode,
              -1);
    EXPECT_EQ(o.devices, 4);
    EXPECT_EQ(ParseUpdaterCommandLine("velto-update-sim", "About.",
                                      {"velto-update-sim", "--devices", "17"}, o)
                  .exitCode,
              2);
}

TEST(CommandLine, ListerTakesOnlyHelpAndVersion) {
    EXPECT_EQ(ParseListerCommandLine({"velto-hid-list"}).exitCode, -1);
    const CommandLineOutcome help = ParseListerCommandLine({"velto-hid-list", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("5  the HID backend module cannot be loaded"));
    EXPECT_EQ(ParseListerCommandLine({"velto-hid-list", "-v"}).exitCode, 0);
    // No Qt options here: the lister has no windows.
    EXPECT_EQ(ParseListerCommandLine({"velto-hid-list", "-platform", "offscreen"}).exitCode, 2);
    EXPECT_EQ(ParseListerCommandLine({"velto-hid-list", "--auto"}).exitCode, 2);
}

}  // namespace
