// The signal processor's program as the DSP flow sends it, and the program-data mask built
// from the device's parameter table.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes cleared before the DSP program is laid out.
inline constexpr std::size_t kDspBufferSize = 0x10000;
// Length of the prepared buffer for the full 6144-word image.
inline constexpr int kDspImageLength = 24580;
inline constexpr std::size_t kParamTableSize = 516;

// Clears kDspBufferSize bytes of `buffer` and lays the program out in it:
//   0..1  length (4 + 4 * count), most significant byte first
//   2..3  check value: the sum of the four bytes of the last word, most significant byte first
//   4..   the words in order, each most significant byte first
// Returns the length (24580 for 6144 words). Returns 0 and writes nothing when `bufferSize`
// is below kDspBufferSize or the words do not fit the 16-bit length.
int PrepareDspBuffer(const uint32_t* words, std::size_t count, uint8_t* buffer,
                     std::size_t bufferSize);

// Builds the mask from the kParamTableSize-byte parameter table. Row r = paramTable[0] holds
// the key; false (mask untouched) when r is above 31, whose row would lie beyond the table.
bool BuildDspMask(const uint8_t* paramTable, uint32_t& mask);
