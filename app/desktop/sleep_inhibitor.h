// Keeps the machine awake while the device is written: a logind "block" inhibitor for sleep,
// shutdown and the lid switch on the system bus (held as the descriptor logind hands out), and
// the session's screensaver inhibited where it has one. Every call is asynchronous: without
// logind or a session bus (a container, a chroot) nothing is inhibited, quietly, and nothing
// waits. The descriptor is close-on-exec and dies with the process.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

class SleepInhibitor : public QObject {
    Q_OBJECT

  public:
    static constexpr int kCallTimeoutMs = 5000;

    // who: the program's name as the desktop shows it; why: the reason, in words.
    SleepInhibitor(QString who, QString why, QObject* parent = nullptr);
    ~SleepInhibitor() override;

    void Acquire();
    void Release();
    bool Wanted() const { return wanted_; }
    // Both locks as they stand (the calls may still be under way).
    bool HoldsSleepLock() const { return sleepLock_.isValid(); }
    bool HoldsScreenSaver() const { return haveCookie_; }

  private:
    void OnSleepLock(const QDBusUnixFileDescriptor& fd, quint64 generation);
    void OnScreenSaverCookie(uint cookie, quint64 generation);
    void UnInhibitScreenSaver(uint cookie);

    QString who_;
    QString why_;
    bool wanted_ = false;
    // Counts the acquisitions, so that an answer for an earlier one is let go at once.
    quint64 generation_ = 0;
    QDBusUnixFileDescriptor sleepLock_;
    uint screenSaverCookie_ = 0;
    bool haveCookie_ = false;
};
