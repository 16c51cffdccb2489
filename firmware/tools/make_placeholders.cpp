// Writes the placeholder images that stand in for the product's firmware:
//   make_placeholders <folder>  ->  <folder>/mcu_image.hex and <folder>/dsp_image.txt
// Both are deterministic, so running this again reproduces the committed files byte for byte.
//
//   make_placeholders --other <folder>
// writes a second, different pair for testing a build that carries images other than the
// placeholders: another length, record size, layout and data, and no placeholder mark, so the
// build treats them as the product's. They are random bytes: never build a program for a real
// device from them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kDspWords = 6144;

struct PairShape {
    std::string_view mcuMarker;
    std::string_view dspMarker;
    std::size_t mcuBytes;
    std::size_t recordSize;
    bool addressRecords;  // an extended linear address record first, a start address last
    uint32_t mcuSeed;
    uint32_t dspSeed;
    int dspWordsPerLine;
};

// 3629 records: one extended linear address record, 3625 full data records, one short one,
// a start address record and the end record. 58013 bytes: the first IAP packet carries 48
// of them and the last 56-byte data packet only 5.
constexpr PairShape kPlaceholders{"VELTO PLACEHOLDER MCU IMAGE - NOT FOR DEVICES",
                                  "VELTO PLACEHOLDER DSP IMAGE - NOT FOR DEVICES",
                                  3625 * 16 + 13,
                                  16,
                                  true,
                                  0x5645u,
                                  0x44535030u,
                                  1};

// 1052 data records of 32 bytes and the end record, no address records. 33648 bytes: the
// first IAP packet carries 48 of them and the last 56-byte data packet is full. The DSP words
// go eight to a line, separated by commas.
constexpr PairShape kOther{"VELTO TEST IMAGE (MCU) - NOT FOR DEVICES",
                           "VELTO TEST IMAGE (DSP) - NOT FOR DEVICES",
                           48 + 600 * 56,
                           32,
                           false,
                           0x7E57u,
                           0x0D5Bu,
                           8};

struct Lcg {
    uint32_t state;
    uint32_t Next() {
        state = state * 1664525u + 1013904223u;
        return state;
    }
};

std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()),
                               static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = static_cast<uint8_t>(sum + b);
    bytes.push_back(static_cast<uint8_t>(-sum));
    std::string line = ":";
    char hex[3];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line;
}

std::vector<uint8_t> McuBytes(const PairShape& shape) {
    std::vector<uint8_t> image(shape.mcuMarker.begin(), shape.mcuMarker.end());
    image.push_back(0);
    Lcg lcg{shape.mcuSeed};
    while (image.size() < shape.mcuBytes)
        image.push_back(static_cast<uint8_t>(lcg.Next() >> 24));
    return image;
}

bool WriteMcu(const std::string& path, const PairShape& shape) {
    std::ofstream out(path, std::ios::binary);
    const std::vector<uint8_t> image = McuBytes(shape);
    if (shape.addressRecords) out << Record(4, 0, {0, 0}) << '\n';
    for (std::size_t pos = 0; pos < image.size(); pos += shape.recordSize) {
        const std::size_t n = std::min<std::size_t>(shape.recordSize, image.size() - pos);
        out << Record(0, static_cast<uint16_t>(pos),
                      std::vector<uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(pos),
                                           image.begin() + static_cast<std::ptrdiff_t>(pos + n)))
            << '\n';
    }
    if (shape.addressRecords) out << Record(5, 0, {0, 0, 0, 0}) << '\n';
    out << Record(1, 0, {}) << '\n';
    return static_cast<bool>(out);
}

bool WriteDsp(const std::string& path, const PairShape& shape) {
    std::ofstream out(path, std::ios::binary);
    out << "# " << shape.dspMarker << "\n";
    if (shape.dspWordsPerLine == 1)
        out << "# " << kDspWords << " 32-bit words, hexadecimal, one per line.\n";
    else
        out << "# " << kDspWords << " 32-bit words, hexadecimal, " << shape.dspWordsPerLine
            << " per line.\n";
    std::string marker(shape.dspMarker);
    marker.resize((marker.size() + 4) / 4 * 4, '\0');
    Lcg lcg{shape.dspSeed};
    char word[16];
    for (int i = 0; i < kDspWords; ++i) {
        uint32_t value;
        if (static_cast<std::size_t>(i) * 4 < marker.size()) {
            value = 0;
            for (int j = 0; j < 4; ++j)
                value = value << 8 |
                        static_cast<uint8_t>(
                            marker[static_cast<std::size_t>(i) * 4 + static_cast<std::size_t>(j)]);
        } else {
            value = lcg.Next();
        }
        const bool lineEnd = (i + 1) % shape.dspWordsPerLine == 0 || i + 1 == kDspWords;
        std::snprintf(word, sizeof word, lineEnd ? "0x%08X\n" : "0x%08X, ", value);
        out << word;
    }
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    const bool other = argc == 3 && std::string_view(argv[1]) == "--other";
    if (argc != 2 && !other) {
        std::cerr << "usage: make_placeholders [--other] <folder>\n";
        return 2;
    }
    const std::string folder = argv[argc - 1];
    const PairShape& shape = other ? kOther : kPlaceholders;
    if (!WriteMcu(folder + "/mcu_image.hex", shape) ||
        !WriteDsp(folder + "/dsp_image.txt", shape)) {
        std::cerr << "make_placeholders: cannot write into " << folder << "\n";
        return 1;
    }
    return 0;
}
