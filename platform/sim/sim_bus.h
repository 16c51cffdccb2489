// The simulated HID bus: virtual HID devices living in this process, seen through the same
// platform ABI (hid_platform.h) as real hidraw devices. The sim backend module exports both
// that ABI and this C++ API; a program that plugs simulated devices links the module, and the
// HID layer's run-time binding of the same module then sees the same bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace simbus {

// What the host sees of a virtual device.
struct DeviceInfo {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t version = 0;
    std::u16string manufacturer;
    std::u16string product;
    std::u16string serial;
    // Where the device is plugged in, as a USB port path ("1-1"); the same in every mode.
    std::string location;
    std::vector<uint8_t> reportDescriptor;
};

// Called on the thread that writes an output report (WriteFile), with the report as the host
// wrote it: report ID first, then the report's bytes.
using OutputHandler = std::function<void(const uint8_t* report, std::size_t length)>;

// Answers a feature report (HidD_GetFeature with set false, HidD_SetFeature with set true) on
// the caller's thread, with no bus lock held. Byte 0 is the report ID; a get fills the rest.
// false fails the call.
using FeatureHandler = std::function<bool(bool set, uint8_t* report, std::size_t length)>;

using DeviceId = int;

class Bus {
  public:
    static Bus& instance();

    // Plugs a device in: it appears in the next enumeration, and the device-change
    // notification fires. Each plug gets a new device instance number (as a re-enumerated
    // USB device does). Returns an id for the calls below.
    DeviceId plug(const DeviceInfo& info, OutputHandler onOutput);
    // Unplugs the device: open handles fail from now on with ERROR_DEVICE_NOT_CONNECTED,
    // pending reads complete with that error, and the device-change notification fires.
    // Safe to call from inside the device's own OutputHandler.
    void unplug(DeviceId id);
    // Unplugs the device and plugs it in again as another product (a device that restarts
    // in another mode). Returns the new id.
    DeviceId replug(DeviceId id, uint16_t newProductId);
    // Queues an input report (report ID first) for the device's readers; false when the
    // device is not plugged in. The queue holds at most kInputQueueDepth reports; when it is
    // full the new report is dropped, as the kernel's hidraw buffer does.
    bool sendInput(DeviceId id, const uint8_t* report, std::size_t length);
    bool isPlugged(DeviceId id) const;
    // Feature reports of the device go to handler; without one they fail.
    void setFeatureHandler(DeviceId id, FeatureHandler handler);
    // While set, opening the device for reading or writing fails with ERROR_ACCESS_DENIED;
    // query-only opens still work (a device node the user may not open). A change fires the
    // device-change notification, as a node's new permissions do.
    void setAccessDenied(DeviceId id, bool denied);
    // While set, read/write opens fail with ERROR_SHARING_VIOLATION (another program holds the
    // device). A change fires the device-change notification.
    void setHeldByOtherProgram(DeviceId id, bool held);
    // The interface path enumeration reports for the device; empty when it is not plugged.
    std::string devicePath(DeviceId id) const;
    // Removes every device (for tests); fires the notification if any was plugged.
    void reset();

    static constexpr std::size_t kInputQueueDepth = 64;

  private:
    Bus() = default;
};

}  // namespace simbus
