#include "app/auto_run.h"

#include <QPushButton>
#include <QTimer>

#include <cerrno>
#include <utility>

#include "app/command_line.h"
#include "app/dialogs.h"
// isp.h holds the diagnostic windows by QPointer, which needs their full types.
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/isp.h"

namespace {

constexpr int kPollMs = 20;
// After " Program OK !! " the window still sends its last commands; the run ends once the
// link has them out (or after this long).
constexpr qint64 kSettleLimitMs = 5000;

const QString kOk = QStringLiteral(" Program OK !! ");

}  // namespace

// ---- TraceFile ----

TraceFile::~TraceFile() {
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ != nullptr) std::fclose(file_);
}

int TraceFile::Open(const QString& path) {
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ != nullptr) std::fclose(file_);
    errno = 0;
    file_ = std::fopen(path.toLocal8Bit().constData(), "w");
    if (file_ != nullptr) return 0;
    return errno != 0 ? errno : EIO;
}

void TraceFile::Write(const QString& line) {
    const QByteArray bytes = line.toLatin1();
    std::lock_guard<std::mutex> guard(lock_);
    tail_.push_back(line);
    if (tail_.size() > kTailLines) {
        tail_.pop_front();
        ++dropped_;
    }
    if (file_ == nullptr) return;
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), file_);
    std::fputc('\n', file_);
    // Kept whole even when the program is stopped from outside.
    std::fflush(file_);
}

std::deque<QString> TraceFile::Tail(qint64* dropped) const {
    std::lock_guard<std::mutex> guard(lock_);
    *dropped = dropped_;
    return tail_;
}

// ---- AutoRunner ----

AutoRunner::AutoRunner(TfmIsp& isp, RecordingDialogs& dialogs, AutoRunSettings settings,
                       std::FILE* out, std::FILE* err, AutoVerifier* verifier)
    : isp_(isp),
      dialogs_(dialogs),
      settings_(std::move(settings)),
      out_(out),
      err_(err),
      verifier_(verifier),
      report_(out, settings_.style) {
    report_.SetPrefix(settings_.linePrefix);
    poll_ = new QTimer(this);
    poll_->setInterval(kPollMs);
    connect(poll_, &QTimer::timeout, this, [this] { Poll(); });
    deadline_ = new QTimer(this);
    deadline_->setSingleShot(true);
    // A coarse timer may fire up to 5 % early.
    deadline_->setTimerType(Qt::PreciseTimer);
    deadline_->setInterval(settings_.timeoutSeconds * 1000);
    connect(deadline_, &QTimer::timeout, this, [this] { OnDeadline(); });
    reconnect_ = new QTimer(this);
    reconnect_->setSingleShot(true);
    reconnect_->setTimerType(Qt::PreciseTimer);
    reconnect_->setInterval(settings_.reconnectWaitSeconds * 1000);
    connect(reconnect_, &QTimer::timeout, this, [this] {
        Finish(exitcode::kErrorDialog,
               QStringLiteral("%1; it did not come back within %2 s (--reconnect-wait)")
                   .arg(notice_)
                   .arg(settings_.reconnectWaitSeconds));
    });
    connect(&isp_.Session().Watch(), &RunWatch::UnitLeft, this,
            [this](RunPhase phase, const QString& sentence) { OnUnitLeft(phase, sentence); });
    connect(&isp_, &TfmIsp::StatusChanged, this, [this] { OnStatusChanged(); });
    // Nobody is there to answer "close while writing?".
    isp_.SetAskBeforeClosing(false);
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
    if (settings_.simulated && !settings_.quietStart) {
        Print(
            QStringLiteral("SIMULATED device: this run updates the simulated device in this "
                           "program; no real device is written"));
    }
    Print(QStringLiteral("waiting for the device"));
    report_.Status(Status(), clock_.elapsed());
    poll_->start();
    deadline_->start();
}

void AutoRunner::Print(const QString& text) {
    report_.Line(text, clock_.elapsed());
    if (events_ != nullptr) events_->OnMessage(text, clock_.elapsed());
}

void AutoRunner::PrintError(const QString& text) {
    std::fflush(out_);
    std::fprintf(err_, "%s: %s\n", settings_.program.toLocal8Bit().constData(),
                 text.toLocal8Bit().constData());
    std::fflush(err_);
}

RunStatus AutoRunner::Status() const {
    return {isp_.StatusPanelText(1), isp_.StatusSimpleText(), isp_.ProgressPosition(),
            isp_.ProgressMaximum(), timeLeft_.RemainingMs()};
}

void AutoRunner::OnStatusChanged() {
    if (finished_) return;
    timeLeft_.Observe(isp_.Session().Progress());
    // A step changes text and progress together: the status is reported once the handler is
    // done, once per text it showed, each with the progress it had then.
    const RunStatus s = Status();
    if (!pending_.isEmpty() && pending_.last().device == s.device &&
        pending_.last().step == s.step) {
        pending_.last() = s;
    } else {
        pending_.append(s);
    }
    if (flushQueued_) return;
    flushQueued_ = true;
    QTimer::singleShot(0, this, [this] { FlushStatus(); });
}

void AutoRunner::FlushStatus() {
    flushQueued_ = false;
    if (finished_) return;
    for (const RunStatus& s : pending_) {
        report_.Status(s, clock_.elapsed());
        if (events_ != nullptr) events_->OnStatus(s, clock_.elapsed());
    }
    pending_.clear();
}

void AutoRunner::OnDialog(bool error, const QString& text) {
    FlushStatus();
    report_.Line(QStringLiteral("dialog (%1): \"%2\"")
                     .arg(error ? QStringLiteral("error") : QStringLiteral("information"), text),
                 clock_.elapsed());
    if (events_ != nullptr) events_->OnDialog(error, text, clock_.elapsed());
    if (error) {
        errorShown_ = true;
        timeLeft_.End();
    } else if (text == kOk) {
        okShown_ = true;
        timeLeft_.End();
        if (startMs_ >= 0) runMs_ = clock_.elapsed() - startMs_;
    }
}

void AutoRunner::OnUnitLeft(RunPhase /*phase*/, const QString& sentence) {
    if (finished_ || okShown_) return;
    FlushStatus();
    notice_ = sentence;
    Print(sentence);
    Print(QStringLiteral("waiting up to %1 s for the device to come back (--reconnect-wait)")
              .arg(settings_.reconnectWaitSeconds));
    reconnect_->start();
}

void AutoRunner::OnDeadline() {
    // Nothing to update at all is not the same as an update that never ended.
    if (!sawDevice_) {
        const UnitRequest& request = isp_.Units().Request();
        const QString what = request.Empty() ? QStringLiteral("no Velto device")
                                             : QStringLiteral("no Velto unit with ") +
                                                   QString::fromStdString(request.Describe());
        Finish(exitcode::kTimeout, QStringLiteral("%1 found within %2 s (--timeout)")
                                       .arg(what)
                                       .arg(settings_.timeoutSeconds));
        return;
    }
    Finish(exitcode::kTimeout,
           QStringLiteral("no end within %1 s (--timeout)").arg(settings_.timeoutSeconds));
}

bool AutoRunner::LinkIdle() const {
    return isp_.Session().LinkIdle();
}

void AutoRunner::Poll() {
    if (finished_) return;
    const QString backend = isp_.BackendProblem();
    if (!backend.isEmpty()) {
        PrintError(backend);
        Finish(exitcode::kNoBackend, QStringLiteral("the HID backend module cannot be loaded"));
        return;
    }
    if (errorShown_) {
        Finish(exitcode::kErrorDialog, QStringLiteral("an error dialog was shown"));
        return;
    }
    report_.Tick(clock_.elapsed());
    if (isp_.Session().Device() != nullptr || !isp_.DeviceProblem().isEmpty()) sawDevice_ = true;

    // Several units and nothing to say which: refused before anything is written.
    if (!pressed_ && isp_.UnitChoiceNeeded()) {
        QStringList units;
        for (const UnitEntry& unit : isp_.Units().Present())
            units << UnitSelection::Describe(unit).simplified();
        PrintError(QStringLiteral("%1 Velto units are present (%2): choose one with --port or "
                                  "--serial, or update them all with --all. Nothing was "
                                  "written to any of them.")
                       .arg(units.size())
                       .arg(units.join(QStringLiteral("; "))));
        Finish(exitcode::kSeveralUnits,
               QStringLiteral("several Velto units are present and none was chosen"));
        return;
    }

    // A device the window cannot update (no access yet, in use, no product firmware): udev
    // may still grant access, so the run waits a while before it gives up.
    const QString problem = isp_.DeviceProblem();
    if (problem.isEmpty()) {
        problem_.clear();
    } else {
        if (problem_.isEmpty()) problemSince_.start();
        if (problem != problem_) Print(QStringLiteral("device problem: ") + problem);
        problem_ = problem;
        if (problemSince_.elapsed() >= kDeviceProblemLimitMs) {
            PrintError(problem);
            Finish(exitcode::kDeviceBlocked, QStringLiteral("the device cannot be updated"));
            return;
        }
    }

    // A unit left half updated: said once, before the press that finishes it.
    const QString notice = isp_.DeviceNotice();
    if (notice != deviceNotice_) {
        deviceNotice_ = notice;
        if (!notice.isEmpty()) {
            FlushStatus();
            Print(notice);
        }
    }

    if (!pressed_) {
        if (isp_.Session().Mode() != DeviceMode::None && isp_.btnStartProgram->isEnabled()) {
            pressed_ = true;
            startMs_ = clock_.elapsed();
            FlushStatus();
            Print(QStringLiteral("pressing \"Start Program \""));
            isp_.btnStartProgram->click();
            timeLeft_.Begin(RunStart::FullRun);
            OnStatusChanged();
        }
        return;
    }
    if (!okShown_) {
        // The window offers "Start Program " again only when a pressed run has ended without
        // " Program OK !! ": the device left during the update (an error ends it above).
        if (isp_.btnStartProgram->isEnabled()) {
            FlushStatus();
            Finish(
                exitcode::kErrorDialog,
                notice_.isEmpty()
                    ? QStringLiteral("the update was cut off: the device left before \" "
                                     "Program OK !! \"")
                    : QStringLiteral("the update was cut off and the device is back: ") + notice_);
        }
        return;
    }
    if (!settling_) {
        settling_ = true;
        settleWait_.start();
    }
    const bool settled = LinkIdle() && (verifier_ == nullptr || verifier_->Settled());
    if (!settled && settleWait_.elapsed() < kSettleLimitMs) return;
    Verify();
}

void AutoRunner::Verify() {
    FlushStatus();
    bool memoriesMatch = true;
    if (verifier_ != nullptr) {
        memoriesMatch = verifier_->Verify([this](const QString& line) { Print(line); });
    }
    if (runMs_ >= 0) {
        Print(QStringLiteral("run time: %1 s (\"Start Program \" to \" Program OK !! \")")
                  .arg(static_cast<double>(runMs_) / 1000.0, 0, 'f', 3));
    }
    if (errorShown_) {
        Finish(exitcode::kErrorDialog, QStringLiteral("an error dialog was shown"));
    } else if (!memoriesMatch) {
        Finish(exitcode::kUsage, QStringLiteral("memory mismatch"));
    } else if (verifier_ != nullptr) {
        Finish(exitcode::kOk, QStringLiteral("Program OK, memories match"));
    } else {
        Finish(exitcode::kOk, QStringLiteral("Program OK"));
    }
}

void AutoRunner::Finish(int code, const QString& reason) {
    if (finished_) return;
    FlushStatus();
    finished_ = true;
    poll_->stop();
    deadline_->stop();
    reconnect_->stop();
    exitCode_ = code;
    reason_ = reason;
    const QString where = settings_.simulated ? QStringLiteral(" [simulated device]") : QString();
    Print(QStringLiteral("%1: %2%3 (exit %4, total %5 s)")
              .arg(code == exitcode::kOk ? QStringLiteral("PASS") : QStringLiteral("FAIL"), reason,
                   where)
              .arg(code)
              .arg(static_cast<double>(clock_.elapsed()) / 1000.0, 0, 'f', 3));
    report_.Finish();
    if (events_ != nullptr) events_->OnFinished(code, reason, clock_.elapsed());
    emit Finished(code);
}
