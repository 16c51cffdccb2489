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
    const QString usage = QStringLiteral("Usage: velto-update [--auto]");
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
    }
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
