// What sysfs tells about a hidraw interface, read without opening its device node.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velto::hidraw {

struct Roots {
    std::string sys = "/sys";
    std::string dev = "/dev";
};

Roots roots();
void setRoots(const char* sys, const char* dev);

struct Interface {
    std::string name;     // hidraw0
    std::string node;     // <dev>/hidraw0
    std::string sysPath;  // real path of <sys>/class/hidraw/hidraw0
    uint16_t bus = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t version = 0;  // the USB parent's bcdDevice, 0 without one
    std::string hidName;
    std::string hidPhys;
    std::string hidUniq;
    std::string driver;
    bool usb = false;
    std::string manufacturer;
    std::string product;
    std::string serial;
    uint32_t busNumber = 0;
    // Where the unit is plugged in, kept across its re-enumerations: the USB device's port
    // path ("1-2.3"), or for a device with no USB parent its HID_PHYS without "/inputN".
    std::string location;
    std::vector<uint8_t> descriptor;
};

// "hidraw" followed by digits only; anything else is not ours to open.
bool isInterfaceName(const std::string& name);
// Present interface names in numeric order.
std::vector<std::string> listInterfaces(const Roots& roots);
// Reads an interface's sysfs description; nothing when it is absent or not a HID device.
std::optional<Interface> readInterface(const Roots& roots, const std::string& name);
// Whether input reports carry their report ID. The kernel numbers reports per report type: an
// input report comes with its ID byte when some input report of the device has an ID, whatever
// the feature and output reports do.
bool inputReportsNumbered(const std::vector<uint8_t>& descriptor);

}  // namespace velto::hidraw
