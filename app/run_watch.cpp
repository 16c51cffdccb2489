#include "app/run_watch.h"

#include <QTimer>

RunWatch::RunWatch(QObject* parent) : QObject(parent) {
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    // A coarse timer may fire up to 5 % early.
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, [this] { Fire(); });
}

int RunWatch::TimeoutMs(RunPhase phase) const {
    const int own = runphase::TimeoutMs(phase);
    return own > 0 && overrideMs_ > 0 ? overrideMs_ : own;
}

void RunWatch::Enter(RunPhase phase) {
    if (phase_ == RunPhase::Idle) notice_.clear();
    phase_ = phase;
    const int ms = TimeoutMs(phase);
    if (ms > 0) {
        timer_->start(ms);
    } else {
        timer_->stop();
    }
}

void RunWatch::Answered() {
    if (phase_ != RunPhase::Idle && timer_->isActive()) timer_->start();
}

void RunWatch::End() {
    phase_ = RunPhase::Idle;
    timer_->stop();
}

QString RunWatch::Left() {
    const RunPhase phase = phase_;
    QString sentence = runphase::LeftSentence(phase);
    if (sentence.isEmpty()) return {};
    End();
    notice_ = sentence;
    emit UnitLeft(phase, sentence);
    return sentence;
}

void RunWatch::Fire() {
    const RunPhase phase = phase_;
    if (phase == RunPhase::Idle) return;
    const int seconds = (TimeoutMs(phase) + 999) / 1000;
    End();
    notice_ = runphase::SilenceText(phase, seconds);
    emit Expired(phase, seconds);
}
