// Intel HEX text for the tests: single records, and whole images from bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

// One record; checksumDelta spoils its checksum.
inline std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data,
                             int checksumDelta = 0) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()),
                               static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = static_cast<uint8_t>(sum + b);
    bytes.push_back(static_cast<uint8_t>(-sum + checksumDelta));
    std::string line = ":";
    char hex[3];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line;
}

// Intel HEX text for bytes stored from address 0, recordSize bytes per data record, as the
// line table the program embeds.
struct HexImage {
    std::vector<std::string> lines;
    std::vector<const char*> pointers;

    void Add(const std::string& line) { lines.push_back(line); }
    // A record of n bytes (a data record unless type says otherwise); checksumDelta spoils its
    // checksum.
    void AddRecord(uint32_t address, const uint8_t* data, std::size_t n, uint8_t type = 0,
                   int checksumDelta = 0) {
        Add(HexRecord(type, static_cast<uint16_t>(address & 0xFFFF),
                      std::vector<uint8_t>(data, data + n), checksumDelta));
    }
    void AddData(const std::vector<uint8_t>& data, uint32_t base = 0, std::size_t recordSize = 16) {
        for (std::size_t off = 0; off < data.size(); off += recordSize) {
            const std::size_t n = std::min(recordSize, data.size() - off);
            AddRecord(base + static_cast<uint32_t>(off), data.data() + off, n);
        }
    }
    void AddEnd() { Add(":00000001FF"); }
    // Pointers for UpdateImages; valid while this object lives and is not changed.
    const char* const* Lines() {
        pointers.clear();
        for (const auto& l : lines)
            pointers.push_back(l.c_str());
        return pointers.data();
    }

    static HexImage Of(const std::vector<uint8_t>& data) {
        HexImage h;
        h.AddData(data);
        h.AddEnd();
        return h;
    }
};

}  // namespace testsupport
