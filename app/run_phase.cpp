#include "app/run_phase.h"

namespace {

// Answers come within milliseconds and a restart takes about half a second; these are far
// above both, and short enough that nobody mistakes the wait for a hang.
constexpr int kAnswerWaitMs = 10000;
constexpr int kRestartWaitMs = 15000;

}  // namespace

namespace runphase {

QString Name(RunPhase phase) {
    switch (phase) {
        case RunPhase::ModeSwitch:
            return QStringLiteral("the switch to update mode");
        case RunPhase::McuHandshake:
            return QStringLiteral("the update's handshake");
        case RunPhase::McuStart:
            return QStringLiteral("the start of the MCU firmware");
        case RunPhase::McuData:
            return QStringLiteral("the MCU firmware");
        case RunPhase::McuReset:
            return QStringLiteral("the restart after the MCU firmware");
        case RunPhase::ParamRead:
            return QStringLiteral("the parameter read");
        case RunPhase::DspPrepare:
        case RunPhase::DspProgram:
            return QStringLiteral("the DSP program");
        case RunPhase::Idle:
            break;
    }
    return QStringLiteral("no update");
}

QString LeftSentence(RunPhase phase) {
    switch (phase) {
        case RunPhase::McuHandshake:
            return QStringLiteral(
                "the unit left during the update's handshake, before its firmware was touched: "
                "it will come back in update mode; Start Program updates it from there");
        case RunPhase::McuStart:
        case RunPhase::McuData:
            return QStringLiteral(
                "the unit left while its MCU firmware was written: the MCU firmware is "
                "incomplete: the unit will come back in update mode; Start Program finishes it");
        case RunPhase::ParamRead:
            return QStringLiteral(
                "the unit left during the parameter read: its MCU firmware is new and its DSP "
                "program unchanged; it will come back in run mode; Start Program runs the "
                "update again");
        case RunPhase::DspPrepare:
        case RunPhase::DspProgram:
            return QStringLiteral(
                "the unit left while its DSP program was written: the DSP program is "
                "incomplete: the unit will come back in run mode; Start Program writes it again");
        case RunPhase::Idle:
        case RunPhase::ModeSwitch:
        case RunPhase::McuReset:
            break;
    }
    return {};
}

QString SilenceText(RunPhase phase, int seconds) {
    QString state;
    switch (phase) {
        case RunPhase::ModeSwitch:
            state = QStringLiteral("it did not restart in update mode; its firmware is unchanged");
            break;
        case RunPhase::McuReset:
            state = QStringLiteral(
                "it did not come back in run mode after its MCU firmware was written; "
                "unplug it and plug it in again, then press Start Program");
            break;
        case RunPhase::McuHandshake:
            state = QStringLiteral("its firmware is unchanged");
            break;
        case RunPhase::McuStart:
        case RunPhase::McuData:
            state = QStringLiteral("the MCU firmware is incomplete; Start Program finishes it");
            break;
        case RunPhase::ParamRead:
            state = QStringLiteral("its DSP program is unchanged");
            break;
        case RunPhase::DspPrepare:
        case RunPhase::DspProgram:
            state = QStringLiteral("the DSP program is incomplete; Start Program writes it again");
            break;
        case RunPhase::Idle:
            break;
    }
    return QStringLiteral("No answer from the unit for %1 s during %2: the update has stopped. %3.")
        .arg(seconds)
        .arg(Name(phase), state.isEmpty() ? state : state.at(0).toUpper() + state.mid(1));
}

QString StoppedText(RunPhase phase) {
    return QStringLiteral("Stopped in ") + Name(phase);
}

int TimeoutMs(RunPhase phase) {
    switch (phase) {
        case RunPhase::ModeSwitch:
        case RunPhase::McuReset:
            return kRestartWaitMs;
        case RunPhase::McuHandshake:
        case RunPhase::McuStart:
        case RunPhase::McuData:
        case RunPhase::ParamRead:
        case RunPhase::DspPrepare:
        case RunPhase::DspProgram:
            return kAnswerWaitMs;
        case RunPhase::Idle:
            break;
    }
    return 0;
}

}  // namespace runphase
