// The HID log's plumbing: every written and passed report becomes one line, handed to the
// trace (when one is set) and to the HID log window (when there is one). Lines logged on other
// threads wait in a queue until the UI thread takes them, in the order they were logged.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class TfmHidData;

class ReportLog : public QObject {
    Q_OBJECT

  public:
    explicit ReportLog(QObject* parent = nullptr);

    // The log window (not owned; it may go first).
    void SetWindow(TfmHidData* window);
    // Receives every line, whether or not the log window is shown; called on the thread that
    // wrote or passed the report, one call at a time.
    void SetTrace(std::function<void(const QString& line)> trace);

    // One HID log line: direction ('W' or 'R'), report ID, then the bytes, in upper-case hex.
    static QString FormatReportLine(char direction, uint8_t reportId, const uint8_t* bytes,
                                    std::size_t count);
    // Any thread: traces and shows one report.
    void LogReport(char direction, uint8_t reportId, const uint8_t* bytes, std::size_t count);
    void TraceReport(const QString& line);
    void ShowReportLine(const QString& line);

  private:
    // UI thread: moves the queued lines to the log window.
    Q_INVOKABLE void DrainReportLog();

    QPointer<TfmHidData> window_;
    // Held while the trace runs, so that it may be set at any time and its calls never overlap.
    std::mutex traceLock_;
    std::function<void(const QString& line)> reportTrace_;
    // Lines from other threads. Only a wake-up without data goes through Qt's event queue;
    // the lines pass under this lock, a hand-off the thread checker can see.
    std::mutex logLock_;
    std::vector<QString> pendingLog_;
    bool drainPosted_ = false;
};
