// The HID report-descriptor parser behind the HidP_ entry points. Each backend links it,
// turns a device's report descriptor into preparsed data for HidD_GetPreparsedData, and so
// exports the HidP_ entry points of hid_platform.h that this library defines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/hid_platform.h"

namespace hidp {

// Parses a report descriptor. Returns null when the descriptor is malformed (the caller then
// fails HidD_GetPreparsedData). The result is freed with FreePreparsedData.
PHIDP_PREPARSED_DATA ParseDescriptor(const uint8_t* descriptor, std::size_t length);
void FreePreparsedData(PHIDP_PREPARSED_DATA data);

}  // namespace hidp
