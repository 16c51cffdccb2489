// The HID report-descriptor parser behind the HidP_ entry points. Each backend links it,
// turns a device's report descriptor into preparsed data for HidD_GetPreparsedData, and so
// exports the HidP_ entry points of hid_platform.h that this library defines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/hid_platform.h"

namespace hidp {

// Parses a report descriptor. Returns null when the descriptor is malformed (the caller then
// fails HidD_GetPreparsedData), with the reason in words in *refusal when given (the item's
// prefix and byte offset, then what is wrong; cleared on success). The result is a handle to
// the parsed data, not its address: handles are never reused, so a stale one is refused by
// every call instead of reaching freed memory or a newer object. Freed with FreePreparsedData.
PHIDP_PREPARSED_DATA ParseDescriptor(const uint8_t* descriptor, std::size_t length,
                                     std::string* refusal = nullptr);
// False (and nothing freed) for a handle that is not live: null, freed before, or not ours.
bool FreePreparsedData(PHIDP_PREPARSED_DATA data);

}  // namespace hidp
