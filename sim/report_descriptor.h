// The device's report descriptor: vendor page 0xFF00, 64-byte input and output reports, no
// report IDs. The simulated device presents it, and the tests take the product's from here.
#pragma once

#include <array>
#include <cstdint>

namespace simdev {

inline constexpr auto kReportDescriptor = std::to_array<uint8_t>({
    0x06, 0x00, 0xFF,  // Usage Page (vendor defined 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x09, 0x02,        //   Usage (2)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x09, 0x03,        //   Usage (3)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
});

}  // namespace simdev
