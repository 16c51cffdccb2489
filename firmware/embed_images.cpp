// Build step: checks the two firmware images and turns them into C++ data.
//   embed_images --mcu <hex file> --dsp <word file> [--out <cpp file>]
// Without --out it only checks. Any fault is reported as "<file>:<line>: error: <reason>" and
// ends the build, so a damaged image never makes it into the program.
//
// MCU image: Intel HEX, one record per line (CR LF accepted). Every record must be well formed
// with a correct checksum; data must run contiguously from address 0 and stay below 0x11000,
// because the updater sends the bytes as one block and silently stops at that size. The end
// record must be the last record.
//
// DSP image: exactly 6144 32-bit words as hexadecimal tokens (optional 0x, 1 to 8 digits),
// separated by blanks, commas or line ends; "#" starts a comment running to the line's end.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/placeholder_mark.h"

namespace {

constexpr uint64_t kMcuImageLimit = 0x11000;
constexpr std::size_t kDspWordCount = 6144;

struct Failure {
    std::string file;
    std::size_t line;  // 0: the file as a whole
    std::string reason;
};

void Report(const Failure& f) {
    std::cerr << f.file;
    if (f.line != 0) std::cerr << ':' << f.line;
    std::cerr << ": error: " << f.reason << "\n";
}

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

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

// Checks the HEX text; on success fills `records` with the lines to embed.
std::optional<Failure> CheckMcu(const std::string& path, const std::string& text,
                                std::vector<std::string>& records) {
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
        auto fail = [&](const std::string& reason) { return Failure{path, number, reason}; };
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
    if (!sawData) return Failure{path, 0, "no data records"};
    if (!sawEnd) return Failure{path, 0, "no end-of-file record"};
    return std::nullopt;
}

std::optional<Failure> CheckDsp(const std::string& path, const std::string& text,
                                std::vector<uint32_t>& words) {
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
                return Failure{path, i + 1,
                               "not a 32-bit hexadecimal word: '" + std::string(token) + "'"};
            if (words.size() == kDspWordCount)
                return Failure{path, i + 1,
                               "more than " + std::to_string(kDspWordCount) + " words"};
            words.push_back(value);
            p = end;
        }
    }
    if (words.size() != kDspWordCount)
        return Failure{path, 0,
                       "holds " + std::to_string(words.size()) + " words, " +
                           std::to_string(kDspWordCount) + " needed"};
    return std::nullopt;
}

std::string Generate(const std::string& mcuPath, const std::vector<std::string>& records,
                     const std::string& dspPath, const std::vector<uint32_t>& words) {
    std::ostringstream out;
    out << "// Generated by embed_images from "
        << std::filesystem::path(mcuPath).filename().string() << " and "
        << std::filesystem::path(dspPath).filename().string() << "; do not edit.\n"
        << "#include \"firmware/images.h\"\n\n"
        << "const char* const kMcuHexLines[] = {\n";
    // Checked records hold only ':' and hex digits, so they need no escaping.
    for (const std::string& r : records)
        out << "    \"" << r << "\",\n";
    out << "};\n"
        << "const std::size_t kMcuHexLineCount = " << records.size() << ";\n\n"
        << "const uint32_t kDspImageWords[kDspImageWordCount] = {\n";
    char word[16];
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::snprintf(word, sizeof word, "0x%08Xu,", words[i]);
        out << (i % 8 == 0 ? "    " : " ") << word << (i % 8 == 7 ? "\n" : "");
    }
    out << "};\n";
    out << "\nconst bool kMcuImageIsPlaceholder = "
        << (firmware::McuImageIsPlaceholder(records) ? "true" : "false")
        << ";\nconst bool kDspImageIsPlaceholder = "
        << (firmware::DspImageIsPlaceholder(words) ? "true" : "false") << ";\n";
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    std::string mcuPath, dspPath, outPath;
    bool usage = argc % 2 == 0;
    for (int i = 1; !usage && i + 1 < argc; i += 2) {
        const std::string_view flag = argv[i];
        if (flag == "--mcu") {
            mcuPath = argv[i + 1];
        } else if (flag == "--dsp") {
            dspPath = argv[i + 1];
        } else if (flag == "--out") {
            outPath = argv[i + 1];
        } else {
            usage = true;
        }
    }
    if (usage || mcuPath.empty() || dspPath.empty()) {
        std::cerr << "usage: embed_images --mcu <hex file> --dsp <word file> [--out <cpp file>]\n";
        return 2;
    }

    bool ok = true;
    std::vector<std::string> records;
    std::vector<uint32_t> words;
    if (const auto text = ReadFile(mcuPath); !text) {
        Report({mcuPath, 0, "cannot read the file"});
        ok = false;
    } else if (const auto f = CheckMcu(mcuPath, *text, records)) {
        Report(*f);
        ok = false;
    }
    if (const auto text = ReadFile(dspPath); !text) {
        Report({dspPath, 0, "cannot read the file"});
        ok = false;
    } else if (const auto f = CheckDsp(dspPath, *text, words)) {
        Report(*f);
        ok = false;
    }
    if (!ok) return 1;
    if (outPath.empty()) return 0;

    // Written aside and renamed, so an interrupted run never leaves half a source file.
    const std::string temp = outPath + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << Generate(mcuPath, records, dspPath, words);
        if (!out) {
            Report({temp, 0, "cannot write the file"});
            return 1;
        }
    }
    std::error_code error;
    std::filesystem::rename(temp, outPath, error);
    if (error) {
        Report({outPath, 0, "cannot write the file: " + error.message()});
        return 1;
    }
    return 0;
}
