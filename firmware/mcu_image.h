// Preparation of the microcontroller image (Intel HEX lines) into the byte block that the
// IAP update sends.
#pragma once

#include <cstddef>
#include <cstdint>

// The prepared region of the program buffer.
inline constexpr std::size_t kMcuImageSize = 0x11000;

struct McuImage {
    int ImageLength = 0;         // bytes to send, from the start of the buffer
    bool ChecksumError = false;  // the caller shows "Check sum error!" once
};

// Clears the first `size` bytes of `buffer` and stores the data records of `lines` in it.
// Reading stops at the first line not beginning with ':' (or a null line), at the end record,
// at a data record reaching beyond `size` (silently, keeping the length so far), or at a
// record with a wrong checksum (ChecksumError; the bytes stored before it, and its own, stay).
// Extended segment (02) and linear (04) records move the addresses of the data records after
// them; they are checked like data records (count, hex text, checksum) and must carry two
// bytes. Other record types are skipped.
// A record too short for its fields or holding non-hex text counts as a checksum error.
// ImageLength is the extent of the data stored, from address 0 to the end of the highest
// record: never beyond `size`, so sending ImageLength bytes from the buffer stays inside it.
// Nothing outside `size` bytes is written.
// Note: inside TfmIsp, whose member shares the name, call it as ::PrepareMcuImage.
McuImage PrepareMcuImage(const char* const* lines, std::size_t count, uint8_t* buffer,
                         std::size_t size);
