#include "app/desktop/sleep_inhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <utility>

namespace {

const QString kLogin1 = QStringLiteral("org.freedesktop.login1");
const QString kLogin1Path = QStringLiteral("/org/freedesktop/login1");
const QString kLogin1Manager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kWhat = QStringLiteral("sleep:shutdown:handle-lid-switch");
const QString kBlock = QStringLiteral("block");
const QString kScreenSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");

}  // namespace

SleepInhibitor::SleepInhibitor(QString who, QString why, QObject* parent)
    : QObject(parent), who_(std::move(who)), why_(std::move(why)) {}

SleepInhibitor::~SleepInhibitor() {
    Release();
}

void SleepInhibitor::Acquire() {
    if (wanted_) return;
    wanted_ = true;
    const quint64 generation = ++generation_;

    QDBusConnection system = QDBusConnection::systemBus();
    if (system.isConnected()) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kLogin1, kLogin1Path, kLogin1Manager, "Inhibit");
        call << kWhat << who_ << why_ << kBlock;
        auto* watcher = new QDBusPendingCallWatcher(system.asyncCall(call, kCallTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, generation](QDBusPendingCallWatcher* w) {
                    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
                    w->deleteLater();
                    if (!reply.isError()) OnSleepLock(reply.value(), generation);
                });
    }

    QDBusConnection session = QDBusConnection::sessionBus();
    if (session.isConnected()) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kScreenSaver, kScreenSaverPath, kScreenSaver, "Inhibit");
        call << who_ << why_;
        auto* watcher = new QDBusPendingCallWatcher(session.asyncCall(call, kCallTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, generation](QDBusPendingCallWatcher* w) {
                    const QDBusPendingReply<uint> reply = *w;
                    w->deleteLater();
                    if (!reply.isError()) OnScreenSaverCookie(reply.value(), generation);
                });
    }
}

void SleepInhibitor::OnSleepLock(const QDBusUnixFileDescriptor& fd, quint64 generation) {
    // Released (or taken anew) meanwhile: the copy in the reply closes with it.
    if (!wanted_ || generation != generation_) return;
    sleepLock_ = fd;
}

void SleepInhibitor::OnScreenSaverCookie(uint cookie, quint64 generation) {
    if (!wanted_ || generation != generation_) {
        UnInhibitScreenSaver(cookie);
        return;
    }
    screenSaverCookie_ = cookie;
    haveCookie_ = true;
}

void SleepInhibitor::Release() {
    if (!wanted_) return;
    wanted_ = false;
    // logind lets go once the last copy of its descriptor is closed.
    sleepLock_ = QDBusUnixFileDescriptor();
    if (haveCookie_) UnInhibitScreenSaver(screenSaverCookie_);
    haveCookie_ = false;
}

void SleepInhibitor::UnInhibitScreenSaver(uint cookie) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kScreenSaver, kScreenSaverPath, kScreenSaver, "UnInhibit");
    call << cookie;
    // Nobody waits for the answer; the screensaver also drops what a client that left held.
    QDBusConnection::sessionBus().send(call);
}
