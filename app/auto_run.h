// The simulated updater's unattended mode: presses "Start Program " once the simulated device
// is seen, answers and prints every dialog, prints the status as it changes, and at the end
// checks the device's memories against the embedded images.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <mutex>

class QTimer;
class RecordingDialogs;
class TfmIsp;

namespace simdev {
class VeltoDevice;
}

struct SimOptions {
    bool autoRun = false;
    bool help = false;
    QString traceFile;  // empty: no trace
    int timeoutSeconds = 300;
};

// Reads the options of the simulated updater (Qt's own options already removed). False with
// a message for anything it does not know.
bool ParseSimOptions(const QStringList& args, SimOptions& options, QString& error);
QString SimUsage();

// Report lines, one per line, from any thread.
class TraceFile {
  public:
    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    bool Open(const QString& path);
    void Write(const QString& line);

  private:
    std::mutex lock_;
    std::FILE* file_ = nullptr;
};

class AutoRunner : public QObject {
    Q_OBJECT

  public:
    // out: where progress goes (stdout in the program). All references outlive the runner.
    AutoRunner(TfmIsp& isp, RecordingDialogs& dialogs, simdev::VeltoDevice& device, std::FILE* out,
               int timeoutSeconds);
    ~AutoRunner() override;

    void Start();
    int ExitCode() const { return exitCode_; }
    // Wall time from the press of "Start Program " to " Program OK !! ", in ms (-1 before).
    qint64 RunMs() const { return runMs_; }

  signals:
    void Finished(int exitCode);

  private:
    void OnStatusChanged();
    QString StatusText() const;
    QString StatusLine() const;
    void FlushStatus();
    void OnDialog(bool error, const QString& text);
    void Poll();
    void Verify();
    void Finish(int code, const QString& reason);
    void Print(const QString& text);

    TfmIsp& isp_;
    RecordingDialogs& dialogs_;
    simdev::VeltoDevice& device_;
    std::FILE* out_;
    int timeoutSeconds_;

    QTimer* poll_ = nullptr;
    QTimer* deadline_ = nullptr;
    QElapsedTimer clock_;
    QElapsedTimer verifyWait_;
    QString lastStatus_;
    QList<QPair<QString, QString>> pending_;  // status text, full line
    bool flushQueued_ = false;
    bool pressed_ = false;
    bool okShown_ = false;
    bool errorShown_ = false;
    bool verifying_ = false;
    bool finished_ = false;
    qint64 startMs_ = -1;
    qint64 runMs_ = -1;
    int exitCode_ = -1;
};
