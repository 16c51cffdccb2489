#include "app/desktop/run_observer.h"

#include <QEvent>
#include <QPushButton>
#include <QTimer>

// isp.h holds the diagnostic windows by QPointer, which needs their full types.
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/isp.h"

namespace {

const QString kOk = QStringLiteral(" Program OK !! ");
const QString kCutOff = QStringLiteral(
    "The update stopped before its end: the device left or the link to it was closed.");
const QString kGone = QStringLiteral("The device did not come back after its restart.");

}  // namespace

RunObserver::RunObserver(TfmIsp& isp, QObject* parent) : QObject(parent), isp_(isp) {
    gapLimit_ = new QTimer(this);
    gapLimit_->setSingleShot(true);
    gapLimit_->setInterval(kGapLimitMs);
    connect(gapLimit_, &QTimer::timeout, this, [this] { End(false, kGone); });
    endWait_ = new QTimer(this);
    endWait_->setSingleShot(true);
    endWait_->setInterval(kEndWaitMs);
    connect(endWait_, &QTimer::timeout, this, [this] { End(true, QString()); });

    // After the window's own handlers, which were connected first.
    connect(isp_.btnStartProgram, &QPushButton::clicked, this,
            [this] { OnPressed(RunStart::FullRun); });
    connect(isp_.bnMcuProgram, &QPushButton::clicked, this,
            [this] { OnPressed(RunStart::FullRun); });
    connect(isp_.bnSecurity, &QPushButton::clicked, this,
            [this] { OnPressed(RunStart::ParameterRead); });
    connect(isp_.bnDspPorgram, &QPushButton::clicked, this,
            [this] { OnPressed(RunStart::DspOnly); });
    connect(&isp_, &TfmIsp::StatusChanged, this, [this] { OnStatusChanged(); });
    isp_.btnStartProgram->installEventFilter(this);
}

void RunObserver::OnPressed(RunStart start) {
    // A press the window refused (something keeps the device from being updated) starts
    // nothing; neither does one inside a run (the window presses on by itself).
    if (state_ == State::Running || !isp_.DeviceProblem().isEmpty()) return;
    Begin(start);
}

void RunObserver::Begin(RunStart start) {
    state_ = State::Running;
    lastWrite_ = {};
    timeLeft_.Begin(start);
    timeLeft_.Observe(isp_.Session().Progress());
    emit Started();
    emit Progress(timeLeft_.Fraction(), timeLeft_.RemainingMs());
}

void RunObserver::OnStatusChanged() {
    const bool writing = isp_.WriteInProgress();
    const bool stopped = writing_ && !writing;
    const bool resumed = !writing_ && writing;
    writing_ = writing;
    if (state_ == State::Settling && !writing) state_ = State::Idle;
    const RunProgress& progress = isp_.Session().Progress();
    // A write nobody pressed for: the session says which run it belongs to.
    if (state_ == State::Idle && writing) Begin(progress.start);
    if (state_ != State::Running) return;

    timeLeft_.Observe(progress);
    if (writing) lastWrite_ = {timeLeft_.CurrentPhase(), progress.done, progress.total};
    if (resumed) {
        gapLimit_->stop();
        endWait_->stop();
    }
    emit Progress(timeLeft_.Fraction(), timeLeft_.RemainingMs());
    if (stopped) OnWritingStopped();
}

void RunObserver::OnWritingStopped() {
    if (lastWrite_.phase == RunPhase::McuReset) {
        gapLimit_->start();
        return;
    }
    if (lastWrite_.phase == RunPhase::DspProgram && lastWrite_.done == lastWrite_.total) {
        endWait_->start();
        return;
    }
    // Half way: unless the window shows why at once (its error dialog comes in the same
    // handler), the device left or the link was closed.
    QTimer::singleShot(0, this, [this] {
        if (state_ == State::Running && !writing_) End(false, kCutOff);
    });
}

void RunObserver::OnDialog(DialogSeam::Kind kind, const QString& text) {
    if (state_ != State::Running) return;
    if (kind == DialogSeam::Kind::Error) {
        End(false, text);
    } else if (kind == DialogSeam::Kind::Information && text == kOk) {
        emit Progress(1.0, 0);
        End(true, text);
    }
}

bool RunObserver::eventFilter(QObject* watched, QEvent* event) {
    // "Start Program " offered again: the window gave the run up.
    if (event->type() == QEvent::EnabledChange && watched == isp_.btnStartProgram &&
        isp_.btnStartProgram->isEnabled() && state_ == State::Running && !writing_) {
        End(false, kCutOff);
    }
    return QObject::eventFilter(watched, event);
}

void RunObserver::End(bool ok, const QString& text) {
    if (state_ != State::Running) return;
    state_ = writing_ ? State::Settling : State::Idle;
    gapLimit_->stop();
    endWait_->stop();
    timeLeft_.End();
    emit Ended(ok, text);
}
