// The time an update still needs at the least: the packets and blocks left, each at the pace
// the window's timers allow, and the fixed waits between the phases. It is read from what the
// window shows (the step text and the progress), never guessed from the rate so far, so it
// holds from the first packet on and never grows while the run goes forward.
#pragma once

#include <QString>
#include <QtGlobal>

class TimeLeft {
  public:
    // Where a run stands, as far as the time left goes.
    enum class Phase {
        Idle,
        IntoUpdateMode,  // pressed; the device restarts in update mode
        IapSteps,        // the IAP steps before the start packet
        StartPacket,
        McuData,
        McuReset,  // the device restarts in run mode
        ParameterRead,
        DspPreparation,
        DspBlocks,
    };
    // Which button started the run: it decides the phases that lie ahead.
    enum class Start { FullRun, ParameterRead, DspOnly };

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

    // A run starts; currentStep is the step text the window shows now (left from before).
    void Begin(Start start, const QString& currentStep);
    void End();
    // What the window shows: its step text and its progress bar's maximum.
    void Observe(const QString& step, int maximum);

    bool Running() const { return phase_ != Phase::Idle; }
    Phase CurrentPhase() const { return phase_; }
    // -1 while no run is under way.
    qint64 RemainingMs() const;
    // The remaining time at its largest in this run: the whole run's floor.
    qint64 TotalMs() const { return totalMs_; }
    // 0..1: the share of the run's floor behind it.
    double Fraction() const;

    // "0:24 left", rounded up to the second.
    static QString Format(qint64 ms);
    // The phase a step text belongs to; Idle for a text that names none.
    static Phase PhaseOf(const QString& step, int* number);

  private:
    qint64 DataPacketsMs(int packetsLeft) const;
    qint64 AfterMcuDataMs() const;
    qint64 AfterParameterReadMs() const;

    Phase phase_ = Phase::Idle;
    Start start_ = Start::FullRun;
    QString staleStep_;      // the text shown at Begin, until the window shows another
    int mcuPackets_ = 0;     // the MCU progress maximum: data packets + 1
    int mcuPacketSent_ = 0;  // the number of the last data packet shown
    int dspBlocksDone_ = 0;
    qint64 totalMs_ = 0;
};
