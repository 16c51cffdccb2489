// Layout of the preparsed data that ParseDescriptor builds and the HidP_ entry points read.
// Internal to velto_hidp.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/hid_platform.h"

namespace hidp {

// One capability: a main item's fields bound to one usage or usage range.
struct Field {
    uint8_t reportId = 0;
    bool button = false;    // button caps (1-bit variables, arrays) vs. value caps
    bool selector = false;  // array item: each field holds the index of a pressed usage
    bool isRange = false;
    USAGE page = 0;
    USAGE usageMin = 0;
    USAGE usageMax = 0;
    USHORT dataIndexMin = 0;
    // Bit position in the report (the report-ID byte is bits 0..7) of this cap's first field;
    // selector caps of one item share the item's fields.
    uint32_t bitPos = 0;
    USHORT bitSize = 0;
    // Variable range: one field per usage. Variable single usage: the array length (>1 makes
    // a value array). Selector: the number of fields of the item.
    USHORT count = 0;
    uint32_t item = 0;         // main-item ordinal, groups the caps of one array item
    int64_t selectorBase = 0;  // field value that selects usageMin
    LONG logMin = 0, logMax = 0, phyMin = 0, phyMax = 0;
    ULONG units = 0, unitsExp = 0;
    USHORT bitField = 0;
    USHORT link = 0;
    bool absolute = true;
    bool hasNull = false;
    bool stringRange = false, designatorRange = false;
    USHORT stringMin = 0, stringMax = 0, designatorMin = 0, designatorMax = 0;

    uint32_t usageCount() const { return static_cast<uint32_t>(usageMax - usageMin) + 1; }
    // Wider than the ULONG of the single-value calls: each usage's field is reached through
    // the value-array calls only.
    bool wide() const { return bitSize > 32; }
    bool valueArray() const { return !button && (wide() || (!isRange && count > 1)); }
    bool signedLogical() const { return logMin < 0; }
};

}  // namespace hidp

struct HidpPreparsedData {
    HIDP_CAPS caps{};
    std::vector<HIDP_LINK_COLLECTION_NODE> nodes;
    std::array<std::vector<hidp::Field>, 3> fields;  // per HIDP_REPORT_TYPE, in descriptor order
    std::array<USHORT, 3> reportBytes{};             // caps byte length per type (0 = none)
    bool numbered = false;
    // Report IDs that have a report of each type.
    std::array<std::array<bool, 256>, 3> hasReport{};
};

namespace hidp {

// The live data behind a handle that ParseDescriptor gave out; null for any other value. The
// result keeps the data alive while a call works on it.
std::shared_ptr<const HidpPreparsedData> Lookup(PHIDP_PREPARSED_DATA handle);

}  // namespace hidp
