#include "firmware/image_check.h"

#include <cstdio>
#include <string_view>

namespace firmware {
namespace {

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// A bad token is quoted by no more than this many bytes.
constexpr std::size_t kExcerpt = 16;

}  // namespace

std::string Printable(std::string_view text, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (text.size() > limit) out += "...";
    return out;
}

std::optional<ImageFault> CheckMcuImage(const std::string& text, std::vector<std::string>& records,
                                        std::vector<uint8_t>& data) {
    records.clear();
    data.clear();
    const std::vector<std::string> lines = SplitLines(text);
    // Blank lines are tolerated only after the last record (a trailing newline or two).
    std::size_t used = lines.size();
    while (used > 0 && lines[used - 1].empty())
        --used;

    uint64_t base = 0;
    uint64_t next = 0;  // where the next data record must start
    bool sawData = false;
    bool sawEnd = false;
    for (std::size_t i = 0; i < used; ++i) {
        const std::string& line = lines[i];
        const std::size_t number = i + 1;
        auto fail = [&](const std::string& reason) { return ImageFault{number, reason}; };
        if (sawEnd) return fail("record after the end-of-file record");
        if (line.empty()) return fail("empty line inside the image");
        if (line[0] != ':') return fail("record does not begin with ':'");
        if (line.size() < 11 || (line.size() - 1) % 2 != 0)
            return fail("malformed record: odd or too short length");
        std::vector<uint8_t> bytes;
        for (std::size_t p = 1; p < line.size(); p += 2) {
            const int hi = HexDigit(line[p]);
            const int lo = HexDigit(line[p + 1]);
            if (hi < 0 || lo < 0)
                return fail("malformed record: non-hexadecimal character at column " +
                            std::to_string(hi < 0 ? p + 1 : p + 2));
            bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
        const std::size_t count = bytes[0];
        if (bytes.size() != count + 5)
            return fail("malformed record: byte count " + std::to_string(count) +
                        " does not match the record's " + std::to_string(bytes.size() - 5) +
                        " data bytes");
        uint8_t sum = 0;
        for (std::size_t b = 0; b + 1 < bytes.size(); ++b)
            sum = static_cast<uint8_t>(sum + bytes[b]);
        const uint8_t expected = static_cast<uint8_t>(-sum);
        if (bytes.back() != expected)
            return fail("bad record checksum " + Hex(bytes.back()) + ", expected " + Hex(expected));
        const uint64_t address = static_cast<uint64_t>(bytes[1]) << 8 | bytes[2];
        const uint8_t type = bytes[3];
        switch (type) {
            case 0: {
                const uint64_t start = base + address;
                if (start != next)
                    return fail(
                        (start > next ? "gap: record starts at " : "overlap: record starts at ") +
                        Hex(start) + " but the data so far ends at " + Hex(next));
                if (start + count > kMcuImageLimit)
                    return fail("data beyond " + Hex(kMcuImageLimit) + " (record ends at " +
                                Hex(start + count) + ")");
                next = start + count;
                data.insert(data.end(), bytes.begin() + 4, bytes.end() - 1);
                sawData = sawData || count > 0;
                break;
            }
            case 1:
                if (count != 0) return fail("end-of-file record with data");
                sawEnd = true;
                break;
            case 2:
            case 4:
                if (count != 2) return fail("extended address record needs 2 data bytes");
                base = (static_cast<uint64_t>(bytes[4]) << 8 | bytes[5]) << (type == 2 ? 4 : 16);
                break;
            case 3:
            case 5:
                if (count != 4) return fail("start address record needs 4 data bytes");
                break;
            default:
                return fail("unknown record type " + Hex(type));
        }
        records.push_back(line);
    }
    if (!sawData) return ImageFault{0, "no data records"};
    if (!sawEnd) return ImageFault{0, "no end-of-file record"};
    return std::nullopt;
}

std::optional<ImageFault> CheckDspImage(const std::string& text, std::vector<uint32_t>& words) {
    words.clear();
    const std::vector<std::string> lines = SplitLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        std::size_t p = 0;
        while (p < line.size()) {
            if (line[p] == ' ' || line[p] == '\t' || line[p] == ',') {
                ++p;
                continue;
            }
            std::size_t end = p;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != ',')
                ++end;
            const std::string_view token = line.substr(p, end - p);
            std::string_view digits = token;
            if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
                digits.remove_prefix(2);
            uint32_t value = 0;
            bool ok = !digits.empty() && digits.size() <= 8;
            for (char c : digits) {
                const int d = HexDigit(c);
                if (d < 0) ok = false;
                value = value << 4 | static_cast<uint32_t>(d < 0 ? 0 : d);
            }
            if (!ok)
                return ImageFault{
                    i + 1, "not a 32-bit hexadecimal word: '" + Printable(token, kExcerpt) + "'"};
            if (words.size() == kDspWordCount)
                return ImageFault{i + 1, "more than " + std::to_string(kDspWordCount) + " words"};
            words.push_back(value);
            p = end;
        }
    }
    if (words.size() != kDspWordCount)
        return ImageFault{0, "holds " + std::to_string(words.size()) + " words, " +
                                 std::to_string(kDspWordCount) + " needed"};
    return std::nullopt;
}

}  // namespace firmware
