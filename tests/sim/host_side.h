// What the host puts on the wire, written out here from the protocol rules rather than taken
// from the device's own code, so that the tests check the device against the protocol.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/frames.h"

namespace simdev::testing {

// The host's frame as its output report: ID 0, then the frame zero-padded to 64 bytes.
inline std::vector<uint8_t> HostReport(uint8_t cmd, const std::vector<uint8_t>& payload = {}) {
    return testsupport::OutputReport(testsupport::HostFrame(cmd, payload));
}

// A 70-byte IAP packet as the host builds it, cut to the 64-byte output report (ID first).
struct IapPacket {
    uint8_t bytes[70] = {};
    uint32_t Sum() const {
        uint32_t s = 0;
        for (uint8_t b : bytes)
            s += b;
        return s;
    }
    void SetLe32(int at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    std::vector<uint8_t> Report() const {
        std::vector<uint8_t> r(65, 0);
        for (int i = 0; i < 64; ++i)
            r[1 + i] = bytes[i];
        return r;
    }
};

// A packet of the given kind (byte 0) and packet number (bytes 4..7), the rest zero.
inline IapPacket Packet(uint8_t op, uint32_t number) {
    IapPacket p;
    p.bytes[0] = op;
    p.SetLe32(4, number);
    return p;
}

inline uint32_t Le32(const std::vector<uint8_t>& v, std::size_t at) {
    return static_cast<uint32_t>(v[at]) | static_cast<uint32_t>(v[at + 1]) << 8 |
           static_cast<uint32_t>(v[at + 2]) << 16 | static_cast<uint32_t>(v[at + 3]) << 24;
}

// The DSP block payload: block MSB first, then 32 bytes, each 4-byte group read little-endian
// and XORed with the mask.
inline std::vector<uint8_t> DspBlockPayload(int block, const uint8_t* image, uint32_t mask) {
    std::vector<uint8_t> p = {static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)};
    for (int i = 0; i < 32; ++i)
        p.push_back(static_cast<uint8_t>(image[block * 32 + i] ^ (mask >> (8 * (i % 4)))));
    return p;
}

}  // namespace simdev::testing
