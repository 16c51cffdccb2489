// Text of the program-data window: a hexadecimal dump, 16 bytes to a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Each line: the address as "%08X  ", "%02X " per byte ("   " for each byte missing from a
// last, partial line), "; ", the bytes as characters (0x20..0x7E as themselves, others "."),
// "\r\n". No bytes give an empty text.
std::string FormatDump(const uint8_t* bytes, std::size_t count, uint32_t startAddress);
