// The progress of an unattended run as text: on a terminal one line redrawn in place, with the
// time left; to a pipe
// or a file a line at each phase change and every 10 %; with --verbose a line at every step.
// Notices, dialogs and the result are lines of their own in every style.
#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdio>

enum class ProgressStyle {
    Terminal,
    Lines,
    Verbose,
};

// What the main window shows.
struct RunStatus {
    QString device;  // status panel 1, e.g. "Detect Update HID"
    QString step;    // the step text, e.g. "Mcu Programing 12"
    int position = 0;
    int maximum = 0;
    qint64 msLeft = -1;  // the run's floor still ahead (TimeLeft); -1 when not known

    bool operator==(const RunStatus&) const = default;
};

class ProgressReport {
  public:
    // out: null writes nothing.
    ProgressReport(std::FILE* out, ProgressStyle style) : out_(out), style_(style) {}

    // Put before each line (not before the terminal's redrawn line).
    void SetPrefix(const QString& prefix) { prefix_ = prefix; }

    void Status(const RunStatus& status, qint64 elapsedMs);
    // Keeps the elapsed time on the terminal line current (nothing in the other styles).
    void Tick(qint64 elapsedMs);
    // A line of its own, stamped with the elapsed time.
    void Line(const QString& text, qint64 elapsedMs);
    // Clears the terminal line; the lines printed stay.
    void Finish();

    // The step text without its running number ("Mcu Programing 12" -> "Mcu Programing", 12);
    // number is -1 for a step that is not counted.
    static QString Phase(const QString& step, int* number);

  private:
    QString Describe(const RunStatus& status, bool terminal) const;
    void Draw(qint64 elapsedMs);
    void Write(const QString& text);

    std::FILE* out_;
    ProgressStyle style_;
    QString prefix_;
    RunStatus last_;
    bool haveLast_ = false;
    QString lastPhase_;
    int lastDecile_ = -1;
    bool lineShown_ = false;  // terminal: the status line is on screen
    qint64 drawnAtMs_ = 0;
};
