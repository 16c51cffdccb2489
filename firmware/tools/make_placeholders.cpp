// Writes the placeholder images that stand in for the product's firmware:
//   make_placeholders <folder>  ->  <folder>/mcu_image.hex and <folder>/dsp_image.txt
// Both are deterministic, so running this again reproduces the committed files byte for byte.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kMcuMarker = "VELTO PLACEHOLDER MCU IMAGE - NOT FOR DEVICES";
constexpr std::string_view kDspMarker = "VELTO PLACEHOLDER DSP IMAGE - NOT FOR DEVICES";

// 3629 records: one extended linear address record, 3625 full data records, one short one,
// a start address record and the end record. 58013 bytes: the first IAP packet carries 48
// of them and the last 56-byte data packet only 5.
constexpr int kFullRecords = 3625;
constexpr int kRecordSize = 16;
constexpr int kLastRecordSize = 13;
constexpr int kDspWords = 6144;

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

std::vector<uint8_t> McuBytes() {
    const std::size_t length = kFullRecords * kRecordSize + kLastRecordSize;
    std::vector<uint8_t> image(kMcuMarker.begin(), kMcuMarker.end());
    image.push_back(0);
    Lcg lcg{0x5645u};
    while (image.size() < length)
        image.push_back(static_cast<uint8_t>(lcg.Next() >> 24));
    return image;
}

bool WriteMcu(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    const std::vector<uint8_t> image = McuBytes();
    out << Record(4, 0, {0, 0}) << '\n';
    for (std::size_t pos = 0; pos < image.size(); pos += kRecordSize) {
        const std::size_t n = std::min<std::size_t>(kRecordSize, image.size() - pos);
        out << Record(0, static_cast<uint16_t>(pos),
                      std::vector<uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(pos),
                                           image.begin() + static_cast<std::ptrdiff_t>(pos + n)))
            << '\n';
    }
    out << Record(5, 0, {0, 0, 0, 0}) << '\n';
    out << Record(1, 0, {}) << '\n';
    return static_cast<bool>(out);
}

bool WriteDsp(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "# " << kDspMarker << "\n";
    out << "# " << kDspWords << " 32-bit words, hexadecimal, one per line.\n";
    std::string marker(kDspMarker);
    marker.resize((marker.size() + 4) / 4 * 4, '\0');
    Lcg lcg{0x44535030u};
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
        std::snprintf(word, sizeof word, "0x%08X\n", value);
        out << word;
    }
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_placeholders <folder>\n";
        return 2;
    }
    const std::string folder = argv[1];
    if (!WriteMcu(folder + "/mcu_image.hex") || !WriteDsp(folder + "/dsp_image.txt")) {
        std::cerr << "make_placeholders: cannot write into " << folder << "\n";
        return 1;
    }
    return 0;
}
