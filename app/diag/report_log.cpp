#include "app/diag/report_log.h"

#include <QMetaObject>
#include <QThread>

#include <string>
#include <utility>

#include "app/diag/hid_data.h"

ReportLog::ReportLog(QObject* parent) : QObject(parent) {}

void ReportLog::SetWindow(TfmHidData* window) {
    window_ = window;
}

void ReportLog::SetTrace(std::function<void(const QString& line)> trace) {
    std::lock_guard<std::mutex> guard(traceLock_);
    reportTrace_ = std::move(trace);
}

QString ReportLog::FormatReportLine(char direction, uint8_t reportId, const uint8_t* bytes,
                                    std::size_t count) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(5 + count * 3);
    line += direction;
    line += ' ';
    line += kHex[reportId >> 4];
    line += kHex[reportId & 0x0F];
    line += "  ";
    for (std::size_t i = 0; bytes != nullptr && i < count; ++i) {
        line += kHex[bytes[i] >> 4];
        line += kHex[bytes[i] & 0x0F];
        line += ' ';
    }
    return QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
}

void ReportLog::LogReport(char direction, uint8_t reportId, const uint8_t* bytes,
                          std::size_t count) {
    const QString line = FormatReportLine(direction, reportId, bytes, count);
    TraceReport(line);
    ShowReportLine(line);
}

void ReportLog::TraceReport(const QString& line) {
    std::lock_guard<std::mutex> guard(traceLock_);
    if (reportTrace_) reportTrace_(line);
}

void ReportLog::ShowReportLine(const QString& line) {
    if (QThread::currentThread() == thread()) {
        // Lines the worker logged before this one go first.
        DrainReportLog();
        if (window_ != nullptr) window_->AddLine(line);
        return;
    }
    // Written on the processor's worker: the log window belongs to the UI thread, which also
    // decides whether it is shown. One wake-up serves every line queued until it runs.
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(logLock_);
        pendingLog_.push_back(line);
        wake = !drainPosted_;
        drainPosted_ = true;
    }
    if (wake) QMetaObject::invokeMethod(this, "DrainReportLog", Qt::QueuedConnection);
}

void ReportLog::DrainReportLog() {
    std::vector<QString> lines;
    {
        std::lock_guard<std::mutex> guard(logLock_);
        lines.swap(pendingLog_);
        drainPosted_ = false;
    }
    if (window_ == nullptr) return;
    for (const QString& line : lines)
        window_->AddLine(line);
}
