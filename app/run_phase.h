// Where an update run stands, as far as the unit is concerned: what it is waiting for, and so
// what state the unit is probably left in when it goes away or falls silent there.
#pragma once

#include <QString>

enum class RunPhase {
    Idle,
    ModeSwitch,    // run mode: told to restart in update mode, waiting for it to come back so
    McuHandshake,  // update mode: Connect .. Sync Program, nothing written yet
    McuStart,      // "Start Program": the flash is being erased and written from here on
    McuData,       // the MCU firmware's data packets
    McuReset,      // the last packet is out: waiting for the unit back in run mode
    ParamRead,     // run mode: the parameter read that yields the program-data mask
    DspPrepare,    // the DSP program's link is open, its first block not yet answered
    DspProgram,    // the DSP program's blocks
};

namespace runphase {

// "the parameter read": for sentences and dialogs.
QString Name(RunPhase phase);
// The unit left in this phase unasked: the state it is probably in and what brings it back.
// Empty where leaving is part of the run (the restarts into and out of update mode).
QString LeftSentence(RunPhase phase);
// The error dialog when the unit stays but this phase's wait ran out.
QString SilenceText(RunPhase phase, int seconds);
// The step text once the run has stopped in this phase: it carries no count, so that it
// agrees with a progress bar that is back at 0.
QString StoppedText(RunPhase phase);
// How long the phase waits for the unit before it gives up; 0: it does not wait.
int TimeoutMs(RunPhase phase);

}  // namespace runphase
