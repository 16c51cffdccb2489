#include "app/diag/dump.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr std::size_t kPerLine = 16;
// "%08X  " + 16 x "%02X " + "; " + 16 characters + "\r\n"
constexpr std::size_t kLineLength = 10 + 3 * kPerLine + 2 + kPerLine + 2;

}  // namespace

std::string FormatDump(const uint8_t* bytes, std::size_t count, uint32_t startAddress) {
    std::string text;
    if (count == 0 || bytes == nullptr) return text;
    text.reserve((count + kPerLine - 1) / kPerLine * kLineLength);
    for (std::size_t line = 0; line < count; line += kPerLine) {
        const auto address = static_cast<uint32_t>(startAddress + line);
        for (int shift = 28; shift >= 0; shift -= 4)
            text += kHex[(address >> shift) & 0xF];
        text += "  ";
        const std::size_t n = count - line < kPerLine ? count - line : kPerLine;
        for (std::size_t i = 0; i < n; ++i) {
            const uint8_t b = bytes[line + i];
            text += kHex[b >> 4];
            text += kHex[b & 0xF];
            text += ' ';
        }
        text.append(3 * (kPerLine - n), ' ');
        text += "; ";
        for (std::size_t i = 0; i < n; ++i) {
            const uint8_t b = bytes[line + i];
            text += (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
        }
        text += "\r\n";
    }
    return text;
}
