// The simulated device's memories against the embedded images, prepared as the updater
// prepares them: what a finished update must have left in flash and in DSP memory.
#pragma once

#include <cstddef>

#include "sim/velto_device.h"

namespace simdev {

struct MemoryCheck {
    bool flashOk = false;
    int mcuImageLength = 0;  // bytes of the prepared MCU image
    bool dspOk = false;
    int dspImageLength = 0;  // bytes of the prepared DSP program
    std::size_t dspBlocksStored = 0;
    bool Ok() const { return flashOk && dspOk; }
};

MemoryCheck CheckMemories(const VeltoDevice& device);

}  // namespace simdev
