#include "app/auto_run.h"

#include <QPushButton>
#include <QTimer>

#include <array>
#include <vector>

#include "app/dialogs.h"
#include "app/dsp_image.h"
#include "app/mcu_image.h"
// isp.h holds the diagnostic windows by QPointer, which needs their full types.
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/isp.h"
#include "firmware/images.h"
#include "sim/velto_device.h"

namespace {

constexpr int kPollMs = 20;
// After " Program OK !! " the window still sends its last command; the memories are compared
// once the device has it (or after this long).
constexpr qint64 kSettleLimitMs = 5000;

}  // namespace

bool ParseSimOptions(const QStringList& args, SimOptions& options, QString& error) {
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QStringLiteral("--auto")) {
            options.autoRun = true;
        } else if (a == QStringLiteral("--trace")) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("--trace needs a file name");
                return false;
            }
            options.traceFile = args[++i];
        } else if (a.startsWith(QStringLiteral("--trace="))) {
            options.traceFile = a.mid(8);
        } else if (a == QStringLiteral("--timeout")) {
            bool ok = false;
            const int s = i + 1 < args.size() ? args[++i].toInt(&ok) : 0;
            if (!ok || s <= 0) {
                error = QStringLiteral("--timeout needs a number of seconds");
                return false;
            }
            options.timeoutSeconds = s;
        } else if (a == QStringLiteral("--help") || a == QStringLiteral("-h")) {
            options.help = true;
        } else {
            error = QStringLiteral("unknown option: ") + a;
            return false;
        }
    }
    return true;
}

QString SimUsage() {
    return QStringLiteral(
        "Usage: velto-update-sim [--auto] [--trace FILE] [--timeout SECONDS] [Qt options]\n"
        "  The updater on a simulated device (plugged in at start, in run mode).\n"
        "  --auto          press \"Start Program \", answer the dialogs, print the status,\n"
        "                  and check the device's memories at the end; exit 0 on success\n"
        "  --trace FILE    write every output report (W) and every input report passed to\n"
        "                  the link (R) to FILE, one line each, as the HID log shows them\n"
        "  --timeout S     give up an --auto run after S seconds (default 300)\n");
}

// ---- TraceFile ----

TraceFile::~TraceFile() {
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ != nullptr) std::fclose(file_);
}

bool TraceFile::Open(const QString& path) {
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = std::fopen(path.toLocal8Bit().constData(), "w");
    return file_ != nullptr;
}

void TraceFile::Write(const QString& line) {
    const QByteArray bytes = line.toLatin1();
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ == nullptr) return;
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), file_);
    std::fputc('\n', file_);
    // Kept whole even when the program is stopped from outside.
    std::fflush(file_);
}

// ---- AutoRunner ----

AutoRunner::AutoRunner(TfmIsp& isp, RecordingDialogs& dialogs, simdev::VeltoDevice& device,
                       std::FILE* out, int timeoutSeconds)
    : isp_(isp), dialogs_(dialogs), device_(device), out_(out), timeoutSeconds_(timeoutSeconds) {
    poll_ = new QTimer(this);
    poll_->setInterval(kPollMs);
    connect(poll_, &QTimer::timeout, this, [this] { Poll(); });
    deadline_ = new QTimer(this);
    deadline_->setSingleShot(true);
    deadline_->setInterval(timeoutSeconds_ * 1000);
    connect(deadline_, &QTimer::timeout, this,
            [this] { Finish(3, QStringLiteral("time-out after %1 s").arg(timeoutSeconds_)); });
    connect(&isp_, &TfmIsp::StatusChanged, this, [this] { OnStatusChanged(); });
    // Dialogs are recorded on the UI thread inside the window's handler; the verdict is
    // taken from the event loop afterwards.
    dialogs_.SetOnShow([this](const RecordingDialogs::Entry& e) {
        OnDialog(e.kind == DialogSeam::Kind::Error, e.text);
    });
}

AutoRunner::~AutoRunner() {
    dialogs_.SetOnShow({});
}

void AutoRunner::Start() {
    clock_.start();
    Print(QStringLiteral("waiting for the device"));
    poll_->start();
    deadline_->start();
}

void AutoRunner::Print(const QString& text) {
    std::fprintf(out_, "[%8.3f] %s\n", static_cast<double>(clock_.elapsed()) / 1000.0,
                 text.toLocal8Bit().constData());
    std::fflush(out_);
}

void AutoRunner::OnStatusChanged() {
    if (finished_) return;
    // A step changes text and progress together: the lines are printed once the handler is
    // done, one per status text it showed, each with the progress it had then.
    const QString text = StatusText();
    if (pending_.isEmpty() || pending_.last().first != text) {
        pending_.append({text, StatusLine()});
    } else {
        pending_.last().second = StatusLine();
    }
    if (flushQueued_) return;
    flushQueued_ = true;
    QTimer::singleShot(0, this, [this] { FlushStatus(); });
}

QString AutoRunner::StatusText() const {
    return isp_.StatusPanelText(1) + QStringLiteral(" | ") + isp_.StatusSimpleText();
}

QString AutoRunner::StatusLine() const {
    return QStringLiteral("%1 | %2/%3")
        .arg(StatusText())
        .arg(isp_.ProgressPosition())
        .arg(isp_.ProgressMaximum());
}

void AutoRunner::FlushStatus() {
    flushQueued_ = false;
    for (const auto& [text, line] : pending_) {
        if (line == lastStatus_) continue;
        lastStatus_ = line;
        Print(line);
    }
    pending_.clear();
}

void AutoRunner::OnDialog(bool error, const QString& text) {
    Print(QStringLiteral("dialog (%1): \"%2\"")
              .arg(error ? QStringLiteral("error") : QStringLiteral("information"), text));
    if (error) {
        errorShown_ = true;
    } else if (text == QStringLiteral(" Program OK !! ")) {
        okShown_ = true;
        if (startMs_ >= 0) runMs_ = clock_.elapsed() - startMs_;
    }
}

void AutoRunner::Poll() {
    if (finished_) return;
    if (errorShown_) {
        Finish(1, QStringLiteral("an error dialog was shown"));
        return;
    }
    if (!pressed_) {
        if (isp_.StatusPanelText(1) == QStringLiteral("Detect Run HID") &&
            isp_.btnStartProgram->isEnabled()) {
            pressed_ = true;
            startMs_ = clock_.elapsed();
            Print(QStringLiteral("pressing \"Start Program \""));
            isp_.btnStartProgram->click();
        }
        return;
    }
    if (!okShown_) return;
    if (!verifying_) {
        verifying_ = true;
        verifyWait_.start();
    }
    if (device_.CountReceived(simdev::Mode::Run, simdev::kCmdEnd) == 0 &&
        verifyWait_.elapsed() < kSettleLimitMs) {
        return;
    }
    Verify();
}

void AutoRunner::Verify() {
    std::vector<uint8_t> mcu(isp_.ProgramBuffer.size());
    const McuImage m = ::PrepareMcuImage(kMcuHexLines, kMcuHexLineCount, mcu.data(), kMcuImageSize);
    std::vector<uint8_t> dsp(isp_.ProgramBuffer.size());
    const int dspLength =
        PrepareDspBuffer(kDspImageWords, kDspImageWordCount, dsp.data(), dsp.size());

    const bool flashOk = !m.ChecksumError &&
                         device_.FlashMatches(mcu.data(), static_cast<std::size_t>(m.ImageLength));
    // Every block the device stores, the zero tail of the last one included.
    const bool dspOk = dspLength > 0 && device_.DspBlocksStored() == simdev::kDspBlockCount &&
                       device_.DspMatches(dsp.data(), simdev::kDspMemorySize);
    Print(QStringLiteral("flash: %1 (%2 bytes)")
              .arg(flashOk ? QStringLiteral("matches the image") : QStringLiteral("MISMATCH"))
              .arg(m.ImageLength));
    Print(QStringLiteral("DSP memory: %1 (%2 bytes, %3 blocks)")
              .arg(dspOk ? QStringLiteral("matches the image") : QStringLiteral("MISMATCH"))
              .arg(dspLength)
              .arg(device_.DspBlocksStored()));
    if (runMs_ >= 0) {
        Print(QStringLiteral("run time: %1 s (\"Start Program \" to \" Program OK !! \")")
                  .arg(static_cast<double>(runMs_) / 1000.0, 0, 'f', 3));
    }
    if (errorShown_) {
        Finish(1, QStringLiteral("an error dialog was shown"));
    } else if (!flashOk || !dspOk) {
        Finish(2, QStringLiteral("memory mismatch"));
    } else {
        Finish(0, QStringLiteral("Program OK, memories match"));
    }
}

void AutoRunner::Finish(int code, const QString& reason) {
    if (finished_) return;
    finished_ = true;
    poll_->stop();
    deadline_->stop();
    exitCode_ = code;
    Print(QStringLiteral("%1: %2 (total %3 s)")
              .arg(code == 0 ? QStringLiteral("PASS") : QStringLiteral("FAIL"), reason)
              .arg(static_cast<double>(clock_.elapsed()) / 1000.0, 0, 'f', 3));
    emit Finished(code);
}
