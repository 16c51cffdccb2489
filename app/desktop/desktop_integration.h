// The updater as a desktop citizen, wired to the main window from outside: no sleep while the
// device is written, the progress and the time left on the progress bar and on the dock
// entry, and one desktop notification when a run ends while the window is not active.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

#include "app/desktop/launcher_entry.h"
#include "app/desktop/observed_dialogs.h"
#include "app/desktop/run_observer.h"
#include "app/desktop/sleep_inhibitor.h"

class TfmIsp;

struct DesktopOptions {
    bool inhibitSleep = true;
    bool launcherProgress = true;
    bool notifyAtEnd = true;
    // The desktop file's name without ".desktop".
    QString appId;
};

class DesktopIntegration : public QObject {
    Q_OBJECT

  public:
    // dialogs: the seam the window was given; it reports every dialog to the run watch.
    DesktopIntegration(TfmIsp& isp, ObservedDialogs& dialogs, DesktopOptions options,
                       QObject* parent = nullptr);
    ~DesktopIntegration() override;

    const RunObserver& Watch() const { return watch_; }
    ObservedDialogs& Dialogs() const { return dialogs_; }
    const SleepInhibitor& Inhibitor() const { return inhibitor_; }

  private:
    void OnStarted();
    void OnProgress(double fraction, qint64 msLeft);
    void OnEnded(bool ok, const QString& text);
    void ShowTimeLeft(qint64 msLeft);
    void Notify(bool ok, const QString& text);

    TfmIsp& isp_;
    ObservedDialogs& dialogs_;
    DesktopOptions options_;
    RunObserver watch_;
    SleepInhibitor inhibitor_;
    LauncherEntry launcher_;
    int observerId_ = 0;
};
