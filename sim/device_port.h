// The narrow connection between the simulated device and whatever bus carries its reports.
// The device only ever plugs itself in, unplugs, and queues input reports; the bus calls back
// with output reports. Keeping this small lets the device run over the in-memory HID bus in
// the program and over a recording fake in unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace simdev {

// What a host sees of the device while it is plugged in.
struct DeviceIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t version = 0;
    std::u16string manufacturer;
    std::u16string product;
    std::u16string serial;
    std::vector<uint8_t> reportDescriptor;
};

// Called with an output report as the host wrote it: report ID first, then the report bytes.
// May run on any host thread, also while the device is being unplugged.
using OutputHandler = std::function<void(const uint8_t* report, std::size_t length)>;

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

}  // namespace simdev
