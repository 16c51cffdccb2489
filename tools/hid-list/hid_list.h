// The HID interface listing of velto-hid-list, kept apart from main() so that it can be
// exercised over the simulated bus.
#pragma once

#include <string>

class TJvHidDevice;
class TJvHidDeviceController;

namespace hidlist {

inline constexpr unsigned kVeltoVendor = 0x0168;
inline constexpr unsigned kVeltoRunProduct = 0x0821;
inline constexpr unsigned kVeltoUpdateProduct = 0x0904;

// "run mode" / "update mode" for the Velto device, "" for anything else.
std::string VeltoMode(unsigned VendorID, unsigned ProductID);

// One block of text per interface the controller lists, then a summary. Opens no interface
// for reading or writing: the access shown is the one the listing found out. VeltoCount, when
// given, gets the number of Velto devices listed.
std::string Describe(TJvHidDeviceController& Controller, int* VeltoCount = nullptr);

}  // namespace hidlist
