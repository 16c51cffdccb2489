// Command frames as the protocol writes them, built here from its rules rather than by the
// code under test: DLE STX, sender, receiver, length (command and payload), command, payload,
// DLE ETX, then the XOR of every byte before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

inline constexpr uint8_t kHostAddress = 0x00;
inline constexpr uint8_t kDeviceAddress = 0x01;

// checkDelta spoils the check byte.
inline std::vector<uint8_t> Frame(uint8_t sender, uint8_t receiver, uint8_t cmd,
                                  const std::vector<uint8_t>& payload = {},
                                  uint8_t checkDelta = 0) {
    std::vector<uint8_t> f = {
        0x10, 0x02, sender, receiver, static_cast<uint8_t>(payload.size() + 1), cmd};
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(0x10);
    f.push_back(0x03);
    uint8_t x = 0;
    for (uint8_t b : f)
        x ^= b;
    f.push_back(static_cast<uint8_t>(x ^ checkDelta));
    return f;
}

// What the host sends the device.
inline std::vector<uint8_t> HostFrame(uint8_t cmd, const std::vector<uint8_t>& payload = {}) {
    return Frame(kHostAddress, kDeviceAddress, cmd, payload);
}

// What the device answers the host.
inline std::vector<uint8_t> DeviceFrame(uint8_t cmd, const std::vector<uint8_t>& payload = {},
                                        uint8_t checkDelta = 0) {
    return Frame(kDeviceAddress, kHostAddress, cmd, payload, checkDelta);
}

// A 65-byte output report: report ID 0, then the frame cut or zero-padded to 64 bytes.
inline std::vector<uint8_t> OutputReport(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> report(65, 0);
    for (std::size_t i = 0; i < frame.size() && i < 64; ++i)
        report[1 + i] = frame[i];
    return report;
}

}  // namespace testsupport
