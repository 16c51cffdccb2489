// The time an update still needs at the least: the packets and blocks left, each at the pace
// the window's timers allow, and the fixed waits between the phases. It is taken from the
// session's progress (its phase and counts), never guessed from the rate so far, so it holds
// from the first packet on and never grows while the run goes forward.
#pragma once

#include <QString>
#include <QtGlobal>

#include "app/run_progress.h"

class TimeLeft {
  public:
    // Floors of the phases, in ms (the window's timer intervals; one exchange is at least one
    // 1 ms USB interval).
    static constexpr int kMcuLookMs = 100;  // tmMcuProg looks for the update-mode device
    static constexpr int kIapStepMs = 20;   // tmUsbWait after each IAP step
    static constexpr int kIapStepsBeforeStart = 6;
    static constexpr int kStartPacketMs = 1000;  // tmUsbWait after the start packet
    static constexpr int kDataPacketMs = 20;     // tmUsbWait while more than a packet is left
    static constexpr int kLastDataPacketMs = 200;
    static constexpr int kResetMs = 500;  // tmWaitDisconnect
    static constexpr int kExchangeMs = 1;
    static constexpr int kParameterBlocks = 11;
    static constexpr int kRunStepMs = 100;     // tmRunStep, after the read and after the DSP
    static constexpr int kDspPrepareMs = 100;  // tmDspProgram
    static constexpr int kDspBlocks = 769;

    // A run starts: until the session shows a phase, the one the button begins with.
    void Begin(RunStart start);
    void End();
    // How far the session's run has come. A progress that is Idle (the run has ended or
    // stopped) leaves the phase as it was: the window still shows where it stopped.
    void Observe(const RunProgress& progress);

    bool Running() const { return phase_ != RunPhase::Idle; }
    RunPhase CurrentPhase() const { return phase_; }
    // -1 while no run is under way.
    qint64 RemainingMs() const;
    // The remaining time at its largest in this run: the whole run's floor.
    qint64 TotalMs() const { return totalMs_; }
    // 0..1: the share of the run's floor behind it.
    double Fraction() const;

    // "0:24 left", rounded up to the second.
    static QString Format(qint64 ms);

  private:
    qint64 DataPacketsMs(int packetsLeft) const;
    qint64 AfterMcuDataMs() const;
    qint64 AfterParameterReadMs() const;

    RunPhase phase_ = RunPhase::Idle;
    int mcuPackets_ = 0;     // the MCU progress maximum: data packets + 1
    int mcuPacketSent_ = 0;  // the number of the last data packet shown
    int dspBlocksDone_ = 0;
    qint64 totalMs_ = 0;
};
