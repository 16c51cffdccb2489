// Waiting in tests and benchmarks that run Qt code: the event loop runs while they wait, so
// timers fire, queued calls run and other threads' reports are taken as soon as they come.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

namespace qtwait {

// Runs the event loop until pred holds (looked at every millisecond); false when it still
// fails after timeoutMs, a limit for a broken build, not a speed goal. The loop sleeps only
// inside the event loop: a wait that slept between rounds would let a device's repeated
// answers pile up and go stale.
inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 90000) {
    if (pred()) return true;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    check.setInterval(1);
    bool held = false;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        held = pred();
        if (held || clock.elapsed() > timeoutMs) loop.quit();
    });
    check.start();
    loop.exec();
    return held;
}

// Runs the event loop for ms milliseconds.
inline void Spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, [&] { loop.quit(); });
    loop.exec();
}

}  // namespace qtwait
