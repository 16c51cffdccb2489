#include "hid/unit_identity.h"

#include <QString>

#include "hid/jvhiddevice.h"
#include "hid/jvhidpnpinfo.h"

bool UnitIdentity::SameUnit(const UnitIdentity& other) const {
    if (located && other.located && port != other.port) return false;
    return serial.empty() || other.serial.empty() || serial == other.serial;
}

std::string UnitIdentity::Describe() const {
    return serial.empty() ? port : port + " (serial " + serial + ")";
}

bool UnitRequest::Accepts(const UnitIdentity& unit) const {
    return (port.empty() || port == unit.port) && (serial.empty() || serial == unit.serial);
}

std::string UnitRequest::Describe() const {
    if (serial.empty()) return "port " + port;
    if (port.empty()) return "serial " + serial;
    return "port " + port + " with serial " + serial;
}

UnitIdentity IdentityOf(TJvHidDevice& device) {
    UnitIdentity unit;
    unit.located = false;
    if (device.PnPInfo != nullptr) {
        const auto& paths = device.PnPInfo->LocationPaths;
        unit.located = !paths.empty() && !paths.front().empty();
        unit.port = unit.located ? paths.front() : device.PnPInfo->DevicePath;
    }
    // Strings come from the device: kept to what a terminal line and a file name can take.
    if (device.IsPluggedIn())
        unit.serial =
            PrintableText(QString::fromStdU16String(device.GetSerialNumber()).toStdString());
    unit.port = PrintableText(unit.port);
    return unit;
}

std::string PrintableText(const std::string& text) {
    std::string out = text.substr(0, 128);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}
