#include "app/time_left.h"

#include <algorithm>

void TimeLeft::Begin(RunStart start) {
    mcuPackets_ = 0;
    mcuPacketSent_ = 0;
    dspBlocksDone_ = 0;
    totalMs_ = 0;
    switch (start) {
        case RunStart::FullRun:
            phase_ = RunPhase::ModeSwitch;
            break;
        case RunStart::ParameterRead:
            phase_ = RunPhase::ParamRead;
            break;
        case RunStart::DspOnly:
            phase_ = RunPhase::DspPrepare;
            break;
    }
}

void TimeLeft::End() {
    phase_ = RunPhase::Idle;
    totalMs_ = 0;
}

void TimeLeft::Observe(const RunProgress& progress) {
    if (phase_ == RunPhase::Idle) return;
    if (progress.phase != RunPhase::Idle) phase_ = progress.phase;
    if (phase_ == RunPhase::ModeSwitch || phase_ == RunPhase::McuHandshake ||
        phase_ == RunPhase::McuStart || phase_ == RunPhase::McuData) {
        // The MCU progress maximum is set at the press.
        mcuPackets_ = std::max(mcuPackets_, progress.total);
    }
    // The counts only ever rise: a run that stops shows none.
    if (progress.phase == RunPhase::McuData)
        mcuPacketSent_ = std::max(mcuPacketSent_, progress.done);
    if (progress.phase == RunPhase::DspProgram)
        dspBlocksDone_ = std::max(dspBlocksDone_, progress.done);
    totalMs_ = std::max(totalMs_, RemainingMs());
}

qint64 TimeLeft::DataPacketsMs(int packetsLeft) const {
    if (packetsLeft <= 0) return 0;
    return static_cast<qint64>(packetsLeft - 1) * kDataPacketMs + kLastDataPacketMs;
}

qint64 TimeLeft::AfterParameterReadMs() const {
    return kDspPrepareMs + static_cast<qint64>(kDspBlocks) * kExchangeMs + kRunStepMs;
}

qint64 TimeLeft::AfterMcuDataMs() const {
    return kResetMs + kParameterBlocks * kExchangeMs + kRunStepMs + AfterParameterReadMs();
}

qint64 TimeLeft::RemainingMs() const {
    const int allPackets = std::max(1, mcuPackets_ - 1);
    const qint64 fromStartPacket = kStartPacketMs + DataPacketsMs(allPackets) + AfterMcuDataMs();
    switch (phase_) {
        case RunPhase::Idle:
            return -1;
        case RunPhase::ModeSwitch:
            return kMcuLookMs + kIapStepsBeforeStart * kIapStepMs + fromStartPacket;
        case RunPhase::McuHandshake:
            return kIapStepsBeforeStart * kIapStepMs + fromStartPacket;
        case RunPhase::McuStart:
            return fromStartPacket;
        case RunPhase::McuData:
            // The packet just sent still waits for its answer.
            return DataPacketsMs(std::max(1, mcuPackets_ - 1 - mcuPacketSent_)) + AfterMcuDataMs();
        case RunPhase::McuReset:
            return AfterMcuDataMs();
        case RunPhase::ParamRead:
            return kParameterBlocks * kExchangeMs + kRunStepMs + AfterParameterReadMs();
        case RunPhase::DspPrepare:
            return AfterParameterReadMs();
        case RunPhase::DspProgram:
            return std::max(0, kDspBlocks - 1 - dspBlocksDone_) * kExchangeMs + kRunStepMs;
    }
    return -1;
}

double TimeLeft::Fraction() const {
    if (phase_ == RunPhase::Idle || totalMs_ <= 0) return 0.0;
    const double done = 1.0 - static_cast<double>(RemainingMs()) / static_cast<double>(totalMs_);
    return std::clamp(done, 0.0, 1.0);
}

QString TimeLeft::Format(qint64 ms) {
    const qint64 seconds = (std::max<qint64>(ms, 0) + 999) / 1000;
    return QStringLiteral("%1:%2 left")
        .arg(seconds / 60)
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
