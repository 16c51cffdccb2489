// The command lines of the updaters and the HID lister. Parsed from argv before any
// application object exists, so that --help, --version and a bad option are answered without
// a display. Qt's own options (-platform offscreen, -style ...) are accepted and left in argv
// for the application object.
#pragma once

#include <QString>
#include <QStringList>

// The exit codes of the programs.
namespace exitcode {
inline constexpr int kOk = 0;
// updaters: an error dialog was shown, or the run was cut off (the device left)
inline constexpr int kErrorDialog = 1;
inline constexpr int kNoDevice = 1;  // lister: no Velto device is present
inline constexpr int kUsage = 2;     // bad option or file error (simulator: memory mismatch)
inline constexpr int kTimeout = 3;
inline constexpr int kDeviceBlocked = 4;  // a device is present but cannot be updated
inline constexpr int kNoBackend = 5;      // the platform backend module cannot be loaded
// updaters: several units are present and nothing says which one to update
inline constexpr int kSeveralUnits = 6;
}  // namespace exitcode

// What main does after parsing: go on (exitCode < 0) or end with exitCode, after printing out
// to standard output and err to standard error.
struct CommandLineOutcome {
    int exitCode = -1;
    QString out;
    QString err;

    bool Done() const { return exitCode >= 0; }
    // Prints out and err; returns exitCode.
    int Print() const;
};

// How long --auto waits for a device that left in the middle of the update.
inline constexpr int kDefaultReconnectWaitSeconds = 60;

struct UpdaterOptions {
    bool autoRun = false;
    bool verbose = false;
    QString traceFile;   // empty: no trace
    QString reportFile;  // empty: no report at the end
    int timeoutSeconds = 300;
    int reconnectWaitSeconds = kDefaultReconnectWaitSeconds;
    QString qtPlatform;      // Qt's -platform, if given
    QString port;            // --port: the unit at this USB port path only
    QString serial;          // --serial: the unit with this serial number only
    bool listUnits = false;  // --list: print the units present and exit
    bool all = false;        // --all: every unit present, in parallel
    bool loop = false;       // --loop: each unit as it is plugged in
    int count = 0;           // --count: the loop ends after this many units (0: never)
    bool again = false;      // --again: a serial that passed in this loop is updated again
    bool json = false;       // --json: JSON lines on standard output
    int devices = 1;         // --devices: simulated units plugged in (simulator only)
};

inline constexpr int kMaxSimulatedDevices = 16;

inline constexpr int kMinTimeoutSeconds = 1;
inline constexpr int kMaxTimeoutSeconds = 86400;

QStringList ArgumentsOf(int argc, char** argv);

// velto-update and velto-update-sim: program is the name shown in messages, about the first
// line of the help.
CommandLineOutcome ParseUpdaterCommandLine(const QString& program, const QString& about,
                                           const QStringList& args, UpdaterOptions& options);

// velto-hid-list: only --help and --version.
CommandLineOutcome ParseListerCommandLine(const QStringList& args);

// "name: message" as the programs print their errors, with the reason of errno's value.
QString FileError(const QString& program, const QString& what, const QString& path, int error);
