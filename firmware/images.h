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

// Whether each image is a placeholder that stands in for the product's own (the build step
// tells by the text the placeholders begin with). Placeholders are written to the simulated
// device only: a program that carries one has no firmware for a real device.
extern const bool kMcuImageIsPlaceholder;
extern const bool kDspImageIsPlaceholder;
