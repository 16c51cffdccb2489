#include "sim/memory_check.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "firmware/dsp_image.h"
#include "firmware/images.h"
#include "firmware/mcu_image.h"

namespace simdev {

MemoryCheck CheckMemories(const VeltoDevice& device) {
    MemoryCheck check;
    std::vector<uint8_t> buffer(std::max(kMcuImageSize, kDspBufferSize));
    const McuImage mcu =
        PrepareMcuImage(kMcuHexLines, kMcuHexLineCount, buffer.data(), kMcuImageSize);
    check.mcuImageLength = mcu.ImageLength;
    check.flashOk = !mcu.ChecksumError &&
                    device.FlashMatches(buffer.data(), static_cast<std::size_t>(mcu.ImageLength));

    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    check.dspImageLength =
        PrepareDspBuffer(kDspImageWords, kDspImageWordCount, buffer.data(), buffer.size());
    check.dspBlocksStored = device.DspBlocksStored();
    // Every block, the zero tail of the last one included; the count adds up over runs.
    check.dspOk = check.dspImageLength > 0 && check.dspBlocksStored >= kDspBlockCount &&
                  device.DspMatches(buffer.data(), kDspMemorySize);
    return check;
}

}  // namespace simdev
