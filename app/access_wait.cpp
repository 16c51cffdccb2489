#include "app/access_wait.h"

#include <QTimer>

AccessWait::AccessWait(QObject* parent) : QObject(parent) {
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(kWaitMs);
    connect(timer_, &QTimer::timeout, this, [this] {
        over_ = true;
        emit RanOut();
    });
}

void AccessWait::Seen() {
    if (waiting_) return;
    waiting_ = true;
    over_ = false;
    timer_->start();
}

void AccessWait::Clear() {
    waiting_ = false;
    over_ = false;
    timer_->stop();
}
