// How far an update run has come, as the session keeps it: the phase the window shows the run
// in and the count of its packets or blocks, so that nobody has to read them back from the
// window's step text.
#pragma once

#include "app/run_phase.h"

// The button that started a run: it decides the phases that lie ahead.
enum class RunStart {
    FullRun,        // "Start Program " or "Mcu Prog": the MCU firmware, then on to the end
    ParameterRead,  // "Security": the parameter read, then the DSP program
    DspOnly,        // "Dsp Prog": the DSP program alone
};

struct RunProgress {
    // Idle once the run has ended or stopped.
    RunPhase phase = RunPhase::Idle;
    // The MCU data packet or DSP block the step shows (0 in the other phases).
    int done = 0;
    // The progress bar's maximum for them, as the run last set it.
    int total = 0;
    RunStart start = RunStart::FullRun;

    bool operator==(const RunProgress&) const = default;
};
