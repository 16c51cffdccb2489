// The two firmware images built into the updater. The data is generated at build time from
// the image files chosen by VELTO_MCU_IMAGE and VELTO_DSP_IMAGE (checked while generating).
#pragma once

#include <cstddef>
#include <cstdint>

// Microcontroller image: Intel HEX records, one NUL-terminated line per entry, each
// beginning with ':'.
extern const char* const kMcuHexLines[];
extern const std::size_t kMcuHexLineCount;

// Signal processor program: 32-bit words in program order.
inline constexpr std::size_t kDspImageWordCount = 6144;
extern const uint32_t kDspImageWords[kDspImageWordCount];
