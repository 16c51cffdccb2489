// Follows the main window from outside, through its public face (its session's progress,
// whether it writes, its buttons and its dialogs), and tells when an update run starts, how
// far it is, and when and how it ends. A run starts when a button starts one or the window
// starts writing; it ends at " Program OK !! ", at an error dialog, when the writing stops half
// way (the device left, the window closed), when "Start Program " is offered again, or when
// the device stays away too long between the phases.
#pragma once

#include <QObject>
#include <QString>

#include "app/dialogs.h"
#include "app/time_left.h"

class QTimer;
class TfmIsp;

class RunObserver : public QObject {
    Q_OBJECT

  public:
    // Between the MCU reset and the DSP programming the device restarts: the run goes on
    // unless it stays away this long.
    static constexpr int kGapLimitMs = 60000;
    // After the DSP's last block " Program OK !! " follows at once in a full run; a run of
    // "Dsp Prog" alone ends without it.
    static constexpr int kEndWaitMs = 5000;

    explicit RunObserver(TfmIsp& isp, QObject* parent = nullptr);

    // Every message dialog of the window (through ObservedDialogs).
    void OnDialog(DialogSeam::Kind kind, const QString& text);

    bool Running() const { return state_ == State::Running; }
    const TimeLeft& Time() const { return timeLeft_; }

  signals:
    void Started();
    // fraction 0..1 of the run's floor behind it; msLeft the floor still ahead.
    void Progress(double fraction, qint64 msLeft);
    // text: the dialog that ended the run, or why it stopped; empty for a quiet end.
    void Ended(bool ok, const QString& text);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    enum class State {
        Idle,
        Running,
        Settling,  // ended, but the window still holds its write open
    };
    // Where the writing stood when it was last seen under way.
    struct LastWrite {
        RunPhase phase = RunPhase::Idle;
        int done = 0;
        int total = 0;
    };

    void OnPressed(RunStart start);
    void OnStatusChanged();
    void OnWritingStopped();
    void Begin(RunStart start);
    void End(bool ok, const QString& text);

    TfmIsp& isp_;
    State state_ = State::Idle;
    bool writing_ = false;
    LastWrite lastWrite_;
    TimeLeft timeLeft_;
    QTimer* gapLimit_ = nullptr;
    QTimer* endWait_ = nullptr;
};
