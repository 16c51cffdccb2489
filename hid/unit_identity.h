// A Velto unit as the people at a bench know it: the port it is plugged into and, where it
// tells one, its serial number. Both stay the same when the unit restarts into its update mode
// and back, while its device path and instance change.
#pragma once

#include <string>
#include <vector>

class TJvHidDevice;

struct UnitIdentity {
    std::string port;    // a USB port path ("1-2.3"), or where the platform places it
    std::string serial;  // empty when the unit has none
    // The port came from the platform. Without one the device path stands in, which changes
    // when the unit restarts: such a unit is told apart by its serial alone, where it has one.
    bool located = true;

    // The same unit: the same port, and the same serial where both modes report one.
    bool SameUnit(const UnitIdentity& other) const;
    // "1-2.3 (serial A123)", or just the port.
    std::string Describe() const;
    bool operator==(const UnitIdentity&) const = default;
};

// What a choice on the command line (--port, --serial) asks for; an empty field asks nothing.
struct UnitRequest {
    std::string port;
    std::string serial;

    bool Empty() const { return port.empty() && serial.empty(); }
    bool Accepts(const UnitIdentity& unit) const;
    std::string Describe() const;
};

// The identity of a device as the controller lists it. Without a place from the platform the
// device path stands in (it does not survive a restart, but it is never another unit's).
UnitIdentity IdentityOf(TJvHidDevice& device);

// Text that a line-oriented reader takes whole: control characters become '?'.
std::string PrintableText(const std::string& text);
