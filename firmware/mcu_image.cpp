#include "firmware/mcu_image.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The value of `digits` hex characters at `pos`, or nothing when the line is too short or the
// text is not hexadecimal.
std::optional<uint32_t> HexField(std::string_view line, std::size_t pos, std::size_t digits) {
    if (pos > line.size() || line.size() - pos < digits) return std::nullopt;
    uint32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int d = HexDigit(line[pos + i]);
        if (d < 0) return std::nullopt;
        value = value << 4 | static_cast<uint32_t>(d);
    }
    return value;
}

bool IsHex(std::string_view line, std::size_t pos, std::size_t digits) {
    if (pos > line.size() || line.size() - pos < digits) return false;
    for (std::size_t i = 0; i < digits; ++i)
        if (HexDigit(line[pos + i]) < 0) return false;
    return true;
}

enum class Extended { None, Segment, Linear };

}  // namespace

McuImage PrepareMcuImage(const char* const* lines, std::size_t count, uint8_t* buffer,
                         std::size_t size) {
    McuImage result;
    if (size > 0) std::memset(buffer, 0, size);
    if (lines == nullptr) return result;

    Extended mode = Extended::None;
    uint64_t extended = 0;
    auto corrupt = [&result] {
        result.ChecksumError = true;
        return result;
    };

    for (std::size_t n = 0; n < count; ++n) {
        if (lines[n] == nullptr || lines[n][0] != ':') break;
        const std::string_view line(lines[n]);

        const auto byteCount = HexField(line, 1, 2);
        const auto address = HexField(line, 3, 4);
        const auto type = HexField(line, 7, 2);
        if (!byteCount || !address || !type) return corrupt();

        if (*type == 1) break;
        if (*type != 0 && *type != 2 && *type != 4) continue;

        // The whole record is checked for shape first, so a damaged one stores nothing.
        const std::size_t bytes = *byteCount;
        const auto checksum = HexField(line, 9 + 2 * bytes, 2);
        if (!checksum || !IsHex(line, 9, 2 * bytes)) return corrupt();
        uint8_t sum = static_cast<uint8_t>((*address >> 8) + (*address & 0xFF) + bytes + *type);

        if (*type != 0) {
            // An extended address moves every later record: checked in full before it counts.
            if (bytes != 2) return corrupt();
            const uint32_t value = *HexField(line, 9, 4);
            sum = static_cast<uint8_t>(sum + (value >> 8) + (value & 0xFF));
            if (*checksum != static_cast<uint8_t>(-sum)) return corrupt();
            mode = *type == 2 ? Extended::Segment : Extended::Linear;
            extended = value;
            continue;
        }

        uint64_t at = *address;
        if (mode == Extended::Segment) at += extended * 16;
        if (mode == Extended::Linear) at += extended * 65536;
        if (at >= size || at + bytes > size) break;

        // The length is the extent of the data from address 0, not the sum of the records: a
        // record written twice counts once, and a gap goes out as the zeros that fill it.
        if (bytes > 0)
            result.ImageLength = std::max(result.ImageLength, static_cast<int>(at + bytes));
        for (std::size_t i = 0; i < bytes; ++i) {
            const auto value = static_cast<uint8_t>(*HexField(line, 9 + 2 * i, 2));
            buffer[at + i] = value;
            sum = static_cast<uint8_t>(sum + value);
        }
        if (*checksum != static_cast<uint8_t>(-sum)) return corrupt();
    }
    return result;
}
