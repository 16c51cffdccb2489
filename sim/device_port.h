// The narrow connection between the simulated device and whatever bus carries its reports.
// The device only ever plugs itself in, unplugs, and queues input reports; the bus calls back
// with output reports. Keeping this small lets the device run over the in-memory HID bus in
// the program and over a recording fake in unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/sim/sim_bus.h"

namespace simdev {

// What a host sees of the device while it is plugged in: the bus's own description, so the
// real port hands it on as it is.
using DeviceIdentity = simbus::DeviceInfo;

// Called with an output report as the host wrote it: report ID first, then the report bytes.
// May run on any host thread, also while the device is being unplugged.
using OutputHandler = simbus::OutputHandler;

class DevicePort {
  public:
    virtual ~DevicePort() = default;

    // Presents the device to the host. False when the bus refused it.
    virtual bool Plug(const DeviceIdentity& identity, OutputHandler onOutput) = 0;
    // Removes the device from the bus; no-op when it is not plugged.
    virtual void Unplug() = 0;
    // Queues one input report (report ID first). False when not plugged or the bus refused.
    virtual bool SendInput(const uint8_t* report, std::size_t length) = 0;
};

// An input report's bytes as a kernel-facing port sends them: the device's reports are
// unnumbered, so the ID byte goes; shortInput drops trailing zero bytes (one byte stays).
inline std::span<const uint8_t> WireInput(const uint8_t* report, std::size_t length,
                                          bool shortInput) {
    std::size_t skip = report[0] == 0 ? 1 : 0;
    std::size_t n = length - skip;
    if (shortInput) {
        while (n > 1 && report[skip + n - 1] == 0)
            --n;
    }
    return {report + skip, n};
}

}  // namespace simdev
