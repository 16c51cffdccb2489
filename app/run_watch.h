// Keeps an update run from waiting on the unit without end: each phase that waits for the unit
// has a deadline, started again by every answer, and a unit that leaves in the middle of the
// run is told apart from one that leaves because the run restarted it.
#pragma once

#include <QObject>
#include <QString>

#include "app/run_phase.h"

class QTimer;

class RunWatch : public QObject {
    Q_OBJECT

  public:
    explicit RunWatch(QObject* parent = nullptr);

    RunPhase Phase() const { return phase_; }
    // A new wait begins; its deadline starts now.
    void Enter(RunPhase phase);
    // The unit answered: the current wait's deadline starts again.
    void Answered();
    // The run is over (done, failed or stopped): nothing is awaited.
    void End();
    // The unit went away. In a phase where that is not part of the run the run ends and
    // UnitLeft is emitted; returns the sentence (empty when the leave was expected).
    QString Left();
    // The notice of the last unit that left or fell silent (empty once a new run began).
    QString Notice() const { return notice_; }
    // Tests shorten the waits; 0 restores the phase's own.
    void SetTimeoutOverride(int ms) { overrideMs_ = ms; }
    int TimeoutMs(RunPhase phase) const;

  signals:
    void UnitLeft(RunPhase phase, const QString& sentence);
    // The wait of this phase ran out; the run has ended (the watch is idle again).
    void Expired(RunPhase phase, int seconds);

  private:
    void Fire();

    QTimer* timer_ = nullptr;
    RunPhase phase_ = RunPhase::Idle;
    QString notice_;
    int overrideMs_ = 0;
};
