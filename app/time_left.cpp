#include "app/time_left.h"

#include <algorithm>

#include "app/progress_report.h"

TimeLeft::Phase TimeLeft::PhaseOf(const QString& step, int* number) {
    const QString phase = ProgressReport::Phase(step, number);
    if (*number >= 0) {
        if (phase == QStringLiteral("Mcu Programing")) return Phase::McuData;
        if (phase == QStringLiteral("Dsp Progrmming")) return Phase::DspBlocks;
        return Phase::Idle;
    }
    static const QString kIapSteps[] = {QStringLiteral("Connect"),
                                        QStringLiteral("Sync Package"),
                                        QStringLiteral("Get Firmware Version"),
                                        QStringLiteral("Get Device ID"),
                                        QStringLiteral("Read Config"),
                                        QStringLiteral("Sync Program")};
    for (const QString& s : kIapSteps)
        if (step == s) return Phase::IapSteps;
    if (step.startsWith(QStringLiteral("Device ID : "))) return Phase::IapSteps;
    if (step == QStringLiteral("Start Program")) return Phase::StartPacket;
    if (step == QStringLiteral("MCU Reset")) return Phase::McuReset;
    if (step == QStringLiteral("Parameter Data")) return Phase::ParameterRead;
    if (step == QStringLiteral("Dsp Program")) return Phase::DspPreparation;
    return Phase::Idle;
}

void TimeLeft::Begin(Start start, const QString& currentStep) {
    start_ = start;
    staleStep_ = currentStep;
    mcuPackets_ = 0;
    mcuPacketSent_ = 0;
    dspBlocksDone_ = 0;
    totalMs_ = 0;
    switch (start) {
        case Start::FullRun:
            phase_ = Phase::IntoUpdateMode;
            break;
        case Start::ParameterRead:
            phase_ = Phase::ParameterRead;
            break;
        case Start::DspOnly:
            phase_ = Phase::DspPreparation;
            break;
    }
}

void TimeLeft::End() {
    phase_ = Phase::Idle;
    totalMs_ = 0;
}

void TimeLeft::Observe(const QString& step, int maximum) {
    if (phase_ == Phase::Idle) return;
    if (!staleStep_.isNull()) {
        if (step == staleStep_) {
            // The MCU progress maximum is set at the press, before any step text.
            if (phase_ == Phase::IntoUpdateMode) mcuPackets_ = maximum;
            totalMs_ = std::max(totalMs_, RemainingMs());
            return;
        }
        staleStep_ = QString();
    }
    int number = -1;
    const Phase seen = PhaseOf(step, &number);
    if (seen != Phase::Idle) phase_ = seen;
    if (phase_ == Phase::IntoUpdateMode || phase_ == Phase::IapSteps ||
        phase_ == Phase::StartPacket || phase_ == Phase::McuData) {
        mcuPackets_ = std::max(mcuPackets_, maximum);
    }
    // The counts come from the step text: the bar drops to 0 when the link is torn down.
    if (seen == Phase::McuData) mcuPacketSent_ = std::max(mcuPacketSent_, number);
    if (seen == Phase::DspBlocks) dspBlocksDone_ = std::max(dspBlocksDone_, number);
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
        case Phase::Idle:
            return -1;
        case Phase::IntoUpdateMode:
            return kMcuLookMs + kIapStepsBeforeStart * kIapStepMs + fromStartPacket;
        case Phase::IapSteps:
            return kIapStepsBeforeStart * kIapStepMs + fromStartPacket;
        case Phase::StartPacket:
            return fromStartPacket;
        case Phase::McuData:
            // The packet just sent still waits for its answer.
            return DataPacketsMs(std::max(1, mcuPackets_ - 1 - mcuPacketSent_)) + AfterMcuDataMs();
        case Phase::McuReset:
            return AfterMcuDataMs();
        case Phase::ParameterRead:
            return kParameterBlocks * kExchangeMs + kRunStepMs + AfterParameterReadMs();
        case Phase::DspPreparation:
            return AfterParameterReadMs();
        case Phase::DspBlocks:
            return std::max(0, kDspBlocks - 1 - dspBlocksDone_) * kExchangeMs + kRunStepMs;
    }
    return -1;
}

double TimeLeft::Fraction() const {
    if (phase_ == Phase::Idle || totalMs_ <= 0) return 0.0;
    const double done = 1.0 - static_cast<double>(RemainingMs()) / static_cast<double>(totalMs_);
    return std::clamp(done, 0.0, 1.0);
}

QString TimeLeft::Format(qint64 ms) {
    const qint64 seconds = (std::max<qint64>(ms, 0) + 999) / 1000;
    return QStringLiteral("%1:%2 left")
        .arg(seconds / 60)
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
