// The unattended mode of both updaters (--auto): presses "Start Program " once the device is
// detected, answers and prints every dialog, reports the progress, and ends with an exit code
// (see command_line.h). A verifier handed in may check the device's memories at the end (the
// simulated updater does); the runner itself knows no device but the window's.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>

#include "app/access_wait.h"
#include "app/progress_report.h"
#include "app/run_phase.h"
#include "app/time_left.h"

class QTimer;
class RecordingDialogs;
class TfmIsp;

// Report lines, one per line, from any thread: to the trace file when one is open, and the
// newest of them kept for the report for support.
class TraceFile {
  public:
    static constexpr std::size_t kTailLines = 2000;

    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // 0, or the errno value of the failed open.
    int Open(const QString& path);
    void Write(const QString& line);
    // The newest kTailLines lines; dropped gets the number of older ones let go.
    std::deque<QString> Tail(qint64* dropped) const;

  private:
    mutable std::mutex lock_;
    std::FILE* file_ = nullptr;
    std::deque<QString> tail_;
    qint64 dropped_ = 0;
};

// The check after " Program OK !! ".
class AutoVerifier {
  public:
    virtual ~AutoVerifier() = default;
    // True once the device has taken the last command the window sent.
    virtual bool Settled() const = 0;
    // Compares the device with the images, printing what it finds; false on a mismatch.
    virtual bool Verify(const std::function<void(const QString&)>& print) = 0;
};

// What an unattended run tells as it goes, for output other than its own lines (JSON lines, the
// table of several units). Called on the UI thread.
class RunEvents {
  public:
    virtual ~RunEvents() = default;
    virtual void OnStatus(const RunStatus& status, qint64 elapsedMs) = 0;
    // A notice of the run (the device left, a device problem, ...).
    virtual void OnMessage(const QString& text, qint64 elapsedMs) = 0;
    virtual void OnDialog(bool error, const QString& text, qint64 elapsedMs) = 0;
    virtual void OnFinished(int exitCode, const QString& reason, qint64 elapsedMs) = 0;
};

struct AutoRunSettings {
    QString program;  // the name on error messages
    int timeoutSeconds = 300;
    // How long a device that left in the middle of the update may take to come back.
    int reconnectWaitSeconds = 60;
    ProgressStyle style = ProgressStyle::Lines;
    bool simulated = false;  // says so at the start and in the result
    // Put before each line of output ("[1-2] " when several units are updated at once).
    QString linePrefix;
    // Say nothing at the start: a run of several units says it once for all.
    bool quietStart = false;
};

class AutoRunner : public QObject {
    Q_OBJECT

  public:
    // How long a device problem (DeviceProblem()) may stand before the run gives up: the
    // window's wait for access, and a moment for the window to say it ran out.
    static constexpr int kDeviceProblemLimitMs = AccessWait::kWaitMs + 250;

    // out: progress and result; err: why a run could not start. The window, the dialogs and
    // the verifier (may be null) outlive the runner.
    AutoRunner(TfmIsp& isp, RecordingDialogs& dialogs, AutoRunSettings settings, std::FILE* out,
               std::FILE* err, AutoVerifier* verifier = nullptr);
    ~AutoRunner() override;

    void Start();
    // Told every event as well (not owned; null: none).
    void SetEvents(RunEvents* events) { events_ = events; }
    int ExitCode() const { return exitCode_; }
    bool Done() const { return finished_; }
    // Wall time from the press of "Start Program " to " Program OK !! ", in ms (-1 before).
    qint64 RunMs() const { return runMs_; }
    // Why the run ended (empty before).
    QString Reason() const { return reason_; }

  signals:
    void Finished(int exitCode);

  private:
    RunStatus Status() const;
    void OnStatusChanged();
    void FlushStatus();
    void OnDialog(bool error, const QString& text);
    void OnUnitLeft(RunPhase phase, const QString& sentence);
    void OnDeadline();
    void Poll();
    bool LinkIdle() const;
    void Verify();
    void Finish(int code, const QString& reason);
    void Print(const QString& text);
    void PrintError(const QString& text);

    TfmIsp& isp_;
    RecordingDialogs& dialogs_;
    AutoRunSettings settings_;
    std::FILE* out_;
    std::FILE* err_;
    AutoVerifier* verifier_;
    RunEvents* events_ = nullptr;
    ProgressReport report_;
    TimeLeft timeLeft_;

    QTimer* poll_ = nullptr;
    QTimer* deadline_ = nullptr;
    QTimer* reconnect_ = nullptr;
    // Why the run stands as it does: the device left or fell silent (empty: neither).
    QString notice_;
    bool sawDevice_ = false;
    QElapsedTimer clock_;
    QElapsedTimer settleWait_;
    QElapsedTimer problemSince_;
    QString problem_;
    QString deviceNotice_;  // the window's notice last printed
    QList<RunStatus> pending_;
    bool flushQueued_ = false;
    bool pressed_ = false;
    bool okShown_ = false;
    bool errorShown_ = false;
    bool settling_ = false;
    bool finished_ = false;
    qint64 startMs_ = -1;
    qint64 runMs_ = -1;
    int exitCode_ = -1;
    QString reason_;
};
