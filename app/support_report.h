// The report for support: one plain-text file with the program, Qt and kernel versions and the
// HID backend; each Velto unit's identifiers, path, serial and the firmware version it
// reported; the last run's phases, dialogs, end, exit status and timings; and the last 2,000
// trace lines. Nothing else about the machine or the user goes into it (no host or user name,
// no other device, no environment, no wall-clock time).
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include "app/desktop/observed_dialogs.h"

class QAction;
class RunObserver;
class TfmIsp;
class TraceFile;

class SupportReport : public QObject {
    Q_OBJECT

  public:
    // program: the program's name as in its messages. It hears of the window's dialogs
    // through the seam, and asks for the file name of "Save report..." through it; trace
    // keeps the trace lines (it outlives the window, whose worker writes to it).
    SupportReport(TfmIsp& isp, const RunObserver& watch, ObservedDialogs& dialogs,
                  const TraceFile& trace, QString program, QObject* parent = nullptr);
    ~SupportReport() override;
    // An unattended run's exit status and its reason.
    void SetExitStatus(int code, const QString& reason);

    QString Text() const;
    // 0, or the errno value of the failed write.
    int Save(const QString& path) const;

    // The service shortcut that asks for a file and saves the report there.
    QAction* SaveAction() const { return save_; }

  private:
    void OnDialog(DialogSeam::Kind kind, const QString& text);
    void OnStatusChanged();
    void SaveAsked();
    void Note(const QString& text);
    QString UnitsText() const;

    TfmIsp& isp_;
    ObservedDialogs& dialogs_;
    const TraceFile& trace_;
    int observerId_ = 0;
    QString program_;
    QAction* save_ = nullptr;

    QElapsedTimer runClock_;
    bool runSeen_ = false;
    QStringList run_;  // the last run's phases, dialogs and end, each stamped
    QString lastPhase_;
    QString exitStatus_;
};
