// The update's progress on the program's taskbar or dock entry: the launcher-entry signal that
// docks and taskbars read on the session bus, keyed by the desktop file's name. Signals only:
// nobody answers, nothing waits, and without a session bus nothing is sent.
#pragma once

#include <QString>

class LauncherEntry {
  public:
    // appId: the desktop file's name without ".desktop".
    explicit LauncherEntry(const QString& appId);

    // 0..1, shown on the entry. Steps finer than a per cent are not sent.
    void SetProgress(double fraction);
    // Takes the progress off the entry.
    void Clear();

    static QString AppUri(const QString& appId);

  private:
    void Send(double fraction, bool visible);

    QString appUri_;
    bool shown_ = false;
    int lastPercent_ = -1;
};
