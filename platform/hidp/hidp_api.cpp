// The HidP_ entry points over the preparsed data of one device.
//
// Reports start with the report-ID byte and must have exactly the caps length of their type.
// A Set call on a report whose ID byte is still 0 writes the ID of the report that holds the
// usage, so a freshly zeroed buffer can be filled without knowing the ID beforehand.
//
// A value field wider than 32 bits is a value array of its own: the single-value calls answer
// HIDP_STATUS_IS_VALUE_ARRAY and the value-array calls move its bits. An array item's field
// wider than 32 bits selects by its low 32 bits, as the kernel reads it.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "platform/hidp/hidp.h"
#include "platform/hidp/preparsed.h"

using hidp::Field;

namespace {

// The live data behind a handle, held for the length of one call; null for a handle that is
// not (or no longer) live.
using Held = std::shared_ptr<const HidpPreparsedData>;

Held Valid(PHIDP_PREPARSED_DATA data) {
    return hidp::Lookup(data);
}

bool ValidType(HIDP_REPORT_TYPE type) {
    return type == HidP_Input || type == HidP_Output || type == HidP_Feature;
}

// Common checks of the report-carrying calls, in the order the statuses are reported.
NTSTATUS CheckReport(const HidpPreparsedData* p, HIDP_REPORT_TYPE type, const char* report,
                     ULONG length) {
    if (p == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (!ValidType(type)) return HIDP_STATUS_INVALID_REPORT_TYPE;
    if (p->reportBytes[type] == 0) return HIDP_STATUS_REPORT_DOES_NOT_EXIST;
    if (report == nullptr || length != p->reportBytes[type]) {
        return HIDP_STATUS_INVALID_REPORT_LENGTH;
    }
    return HIDP_STATUS_SUCCESS;
}

uint8_t ReportId(const char* report) {
    return static_cast<uint8_t>(report[0]);
}

// The report ID a Set call works on: the report's own, or the cap's when the byte is unset.
bool IdMatches(const Field& f, const char* report, bool filling) {
    uint8_t id = ReportId(report);
    return id == f.reportId || (filling && id == 0);
}

// The field's low 32 bits at most.
uint32_t ReadBits(const char* report, uint32_t pos, uint32_t size) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < std::min<uint32_t>(size, 32); ++i) {
        uint32_t bit = pos + i;
        if ((static_cast<uint8_t>(report[bit / 8]) >> (bit % 8)) & 1u) v |= 1u << i;
    }
    return v;
}

// Bits of a field past the value's 32 take its sign when extendSign, else 0.
void WriteBits(char* report, uint32_t pos, uint32_t size, uint32_t value, bool extendSign = false) {
    for (uint32_t i = 0; i < size; ++i) {
        uint32_t bit = pos + i;
        auto mask = static_cast<uint8_t>(1u << (bit % 8));
        auto byte = static_cast<uint8_t>(report[bit / 8]);
        bool on = i < 32 ? ((value >> i) & 1u) != 0 : extendSign && (value >> 31) != 0;
        byte = on ? (byte | mask) : (byte & ~mask);
        report[bit / 8] = static_cast<char>(byte);
    }
}

int64_t SignExtend(uint32_t raw, uint32_t size) {
    if (size == 0 || size >= 32) return static_cast<int32_t>(raw);
    uint32_t sign = 1u << (size - 1);
    return static_cast<int64_t>(raw ^ sign) - static_cast<int64_t>(sign);
}

// Field value as a logical value: signed when the logical range is.
int64_t Logical(const Field& f, uint32_t raw) {
    return f.signedLogical() ? SignExtend(raw, f.bitSize) : raw;
}

bool FitsBits(int64_t v, uint32_t size) {
    if (size >= 32) return v >= std::numeric_limits<int32_t>::min() && v <= UINT32_MAX;
    int64_t top = int64_t{1} << size;
    return v >= -(top / 2) && v < top;
}

// Whether a logical value survives being written to the field and read back.
bool Representable(const Field& f, int64_t v) {
    uint32_t mask = f.bitSize >= 32 ? 0xFFFFFFFFu : (1u << f.bitSize) - 1;
    return Logical(f, static_cast<uint32_t>(v) & mask) == v;
}

bool LinkMatches(USHORT want, const Field& f) {
    return want == 0 || want == f.link;
}

bool HasUsage(const Field& f, USAGE usage) {
    return usage >= f.usageMin && usage <= f.usageMax;
}

// The usage a selector field value picks in this cap, or 0.
USAGE Selected(const Field& f, uint32_t raw) {
    int64_t v = Logical(f, raw);
    if (v < f.logMin || v > f.logMax) return 0;
    if (v < f.selectorBase || v > f.selectorBase + (f.usageMax - f.usageMin)) return 0;
    return static_cast<USAGE>(f.usageMin + (v - f.selectorBase));
}

// Whether any cap of the same array item maps this field value to a usage.
bool SlotUsed(const std::vector<Field>& caps, const Field& f, uint32_t raw) {
    for (const Field& o : caps) {
        if (o.item == f.item && Selected(o, raw) != 0) return true;
    }
    return false;
}

uint32_t SlotPos(const Field& f, uint32_t slot) {
    return f.bitPos + slot * f.bitSize;
}

// Finds the cap holding a usage among the button or value caps of a type. Reports
// INCOMPATIBLE_REPORT_ID when the usage exists only in reports with another ID.
template <typename Pred>
NTSTATUS Find(const HidpPreparsedData* p, HIDP_REPORT_TYPE type, const char* report, bool filling,
              Pred pred, const Field** found) {
    bool elsewhere = false;
    for (const Field& f : p->fields[type]) {
        if (!pred(f)) continue;
        if (IdMatches(f, report, filling)) {
            *found = &f;
            return HIDP_STATUS_SUCCESS;
        }
        elsewhere = true;
    }
    return elsewhere ? HIDP_STATUS_INCOMPATIBLE_REPORT_ID : HIDP_STATUS_USAGE_NOT_FOUND;
}

void ClaimId(const Field& f, char* report) {
    report[0] = static_cast<char>(f.reportId);
}

template <typename Caps>
void FillCommon(const Field& f, const HidpPreparsedData& p, Caps& c) {
    c = Caps{};
    c.UsagePage = f.page;
    c.ReportID = f.reportId;
    c.BitField = f.bitField;
    c.LinkCollection = f.link;
    c.LinkUsage = p.nodes[f.link].LinkUsage;
    c.LinkUsagePage = p.nodes[f.link].LinkUsagePage;
    c.IsRange = f.isRange;
    c.IsStringRange = f.stringRange;
    c.IsDesignatorRange = f.designatorRange;
    c.IsAbsolute = f.absolute;
    if (f.isRange) {
        c.Range.UsageMin = f.usageMin;
        c.Range.UsageMax = f.usageMax;
        c.Range.DataIndexMin = f.dataIndexMin;
        c.Range.DataIndexMax = static_cast<USHORT>(f.dataIndexMin + f.usageCount() - 1);
    } else {
        c.NotRange.Usage = f.usageMin;
        c.NotRange.DataIndex = f.dataIndexMin;
    }
    // The string and designator members sit at the same place in both union views.
    c.Range.StringMin = f.stringMin;
    c.Range.StringMax = f.stringRange ? f.stringMax : c.Range.StringMax;
    c.Range.DesignatorMin = f.designatorMin;
    c.Range.DesignatorMax = f.designatorRange ? f.designatorMax : c.Range.DesignatorMax;
}

template <typename Caps, typename Fill>
NTSTATUS GetSpecificCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE usage,
                         Caps* caps, USHORT* length, PHIDP_PREPARSED_DATA data, bool buttons,
                         Fill fill) {
    const Held held = Valid(data);
    const HidpPreparsedData* p = held.get();
    if (p == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (!ValidType(type)) return HIDP_STATUS_INVALID_REPORT_TYPE;
    if (length == nullptr) return HIDP_STATUS_BUFFER_TOO_SMALL;
    USHORT capacity = caps == nullptr ? 0 : *length;
    USHORT copied = 0;
    bool any = false;
    for (const Field& f : p->fields[type]) {
        if (f.button != buttons) continue;
        if (usagePage != 0 && f.page != usagePage) continue;
        if (!LinkMatches(link, f)) continue;
        if (usage != 0 && !HasUsage(f, usage)) continue;
        any = true;
        if (copied < capacity) fill(f, *p, caps[copied++]);
    }
    *length = copied;
    return any ? HIDP_STATUS_SUCCESS : HIDP_STATUS_USAGE_NOT_FOUND;
}

// Collects the pressed buttons of the report: calls out(page, usage, dataIndex).
template <typename Out>
void PressedButtons(const HidpPreparsedData& p, HIDP_REPORT_TYPE type, const char* report,
                    Out out) {
    uint8_t id = ReportId(report);
    for (const Field& f : p.fields[type]) {
        if (!f.button || f.reportId != id) continue;
        if (f.selector) {
            for (uint32_t slot = 0; slot < f.count; ++slot) {
                USAGE u = Selected(f, ReadBits(report, SlotPos(f, slot), f.bitSize));
                if (u != 0) out(f, u);
            }
        } else {
            for (uint32_t k = 0; k < f.usageCount(); ++k) {
                if (ReadBits(report, f.bitPos + k, 1) != 0) {
                    out(f, static_cast<USAGE>(f.usageMin + k));
                }
            }
        }
    }
}

// Presses or releases one button; the caller has matched the cap and report ID.
NTSTATUS SetButton(const HidpPreparsedData& p, HIDP_REPORT_TYPE type, const Field& f, USAGE usage,
                   bool on, char* report) {
    if (!f.selector) {
        uint32_t pos = f.bitPos + (usage - f.usageMin);
        if (!on && ReadBits(report, pos, 1) == 0) return HIDP_STATUS_BUTTON_NOT_PRESSED;
        WriteBits(report, pos, 1, on ? 1 : 0);
        return HIDP_STATUS_SUCCESS;
    }
    const std::vector<Field>& caps = p.fields[type];
    for (uint32_t slot = 0; slot < f.count; ++slot) {
        uint32_t raw = ReadBits(report, SlotPos(f, slot), f.bitSize);
        if (Selected(f, raw) == usage) {
            if (!on) WriteBits(report, SlotPos(f, slot), f.bitSize, 0);
            return HIDP_STATUS_SUCCESS;
        }
    }
    if (!on) return HIDP_STATUS_BUTTON_NOT_PRESSED;
    // A usage whose selector value lies outside the logical range cannot be reported.
    int64_t value = f.selectorBase + (usage - f.usageMin);
    if (value < f.logMin || value > f.logMax || !Representable(f, value)) {
        return HIDP_STATUS_VALUE_OUT_OF_RANGE;
    }
    for (uint32_t slot = 0; slot < f.count; ++slot) {
        if (!SlotUsed(caps, f, ReadBits(report, SlotPos(f, slot), f.bitSize))) {
            WriteBits(report, SlotPos(f, slot), f.bitSize, static_cast<uint32_t>(value),
                      f.signedLogical());
            return HIDP_STATUS_SUCCESS;
        }
    }
    return HIDP_STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS ChangeUsages(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE* list,
                      ULONG* length, PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength,
                      bool on) {
    const Held held = Valid(data);
    const HidpPreparsedData* p = held.get();
    NTSTATUS s = CheckReport(p, type, report, reportLength);
    if (s != HIDP_STATUS_SUCCESS) return s;
    if (length == nullptr || (list == nullptr && *length != 0)) return HIDP_STATUS_BUFFER_TOO_SMALL;
    for (ULONG i = 0; i < *length; ++i) {
        USAGE usage = list[i];
        if (usage == 0) continue;  // an empty entry of a usage list
        const Field* f = nullptr;
        s = Find(
            p, type, report, on,
            [&](const Field& c) {
                return c.button && c.page == usagePage && LinkMatches(link, c) &&
                       HasUsage(c, usage);
            },
            &f);
        if (s == HIDP_STATUS_SUCCESS) {
            s = SetButton(*p, type, *f, usage, on, report);
            if (s == HIDP_STATUS_SUCCESS && on) ClaimId(*f, report);
        }
        if (s != HIDP_STATUS_SUCCESS) {
            *length = i;  // the entry that failed
            return s;
        }
    }
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS FindValue(const HidpPreparsedData* p, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link,
                   USAGE usage, const char* report, bool filling, const Field** f) {
    return Find(
        p, type, report, filling,
        [&](const Field& c) {
            return !c.button && c.page == usagePage && LinkMatches(link, c) && HasUsage(c, usage);
        },
        f);
}

// The value cap holding a usage in a checked report, for the calls on single values (array
// false) or on value arrays (array true).
NTSTATUS FindValueCap(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE usage,
                      const HidpPreparsedData* p, const char* report, ULONG reportLength,
                      bool filling, bool array, const Field** f) {
    NTSTATUS s = CheckReport(p, type, report, reportLength);
    if (s != HIDP_STATUS_SUCCESS) return s;
    s = FindValue(p, type, usagePage, link, usage, report, filling, f);
    if (s != HIDP_STATUS_SUCCESS) return s;
    if ((*f)->valueArray() != array)
        return array ? HIDP_STATUS_NOT_VALUE_ARRAY : HIDP_STATUS_IS_VALUE_ARRAY;
    return HIDP_STATUS_SUCCESS;
}

uint32_t ValuePos(const Field& f, USAGE usage) {
    return f.bitPos + static_cast<uint32_t>(usage - f.usageMin) * f.bitSize;
}

struct Scale {
    int64_t logMin, logMax, phyMin, phyMax;
};

// Physical bounds of 0..0 mean "same as logical".
bool ScaleOf(const Field& f, Scale* s) {
    *s = {f.logMin, f.logMax, f.phyMin, f.phyMax};
    if (s->phyMin == 0 && s->phyMax == 0) {
        s->phyMin = s->logMin;
        s->phyMax = s->logMax;
    }
    return s->logMin < s->logMax && s->phyMin < s->phyMax;
}

// 32-bit ranges multiply past 64 bits.
__extension__ typedef __int128 Wide;

// a * b / den rounded to the nearest integer, halves away from zero; den > 0 and the result
// lies within the 32-bit ranges it maps between.
int64_t MulDivRound(int64_t a, int64_t b, int64_t den) {
    Wide num = static_cast<Wide>(a) * b;
    Wide q = num >= 0 ? (num + den / 2) / den : -((-num + den / 2) / den);
    return static_cast<int64_t>(q);
}

NTSTATUS ValueArray(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE usage, char* value,
                    USHORT valueLength, PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength,
                    bool set) {
    const Held held = Valid(data);
    const Field* f = nullptr;
    NTSTATUS s =
        FindValueCap(type, usagePage, link, usage, held.get(), report, reportLength, set, true, &f);
    if (s != HIDP_STATUS_SUCCESS) return s;
    // A range of wide fields gives each usage its own field; a single usage has them all.
    uint32_t pos = f->isRange ? ValuePos(*f, usage) : f->bitPos;
    uint32_t bits = static_cast<uint32_t>(f->bitSize) * (f->isRange ? 1 : f->count);
    if (value == nullptr || valueLength < (bits + 7) / 8) return HIDP_STATUS_BUFFER_TOO_SMALL;
    // Field bits are packed into the caller's buffer in report order, little-endian.
    for (uint32_t i = 0; i < bits; ++i) {
        if (set) {
            WriteBits(report, pos + i, 1, ReadBits(value, i, 1));
        } else {
            WriteBits(value, i, 1, ReadBits(report, pos + i, 1));
        }
    }
    if (set) ClaimId(*f, report);
    return HIDP_STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
    const Held held = Valid(data);
    const HidpPreparsedData* p = held.get();
    if (p == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (caps == nullptr) return HIDP_STATUS_BUFFER_TOO_SMALL;
    *caps = p->caps;
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_GetLinkCollectionNodes(HIDP_LINK_COLLECTION_NODE* nodes, ULONG* length,
                                     PHIDP_PREPARSED_DATA data) {
    const Held held = Valid(data);
    const HidpPreparsedData* p = held.get();
    if (p == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (length == nullptr) return HIDP_STATUS_BUFFER_TOO_SMALL;
    ULONG capacity = nodes == nullptr ? 0 : *length;
    *length = static_cast<ULONG>(p->nodes.size());
    if (capacity < p->nodes.size()) return HIDP_STATUS_BUFFER_TOO_SMALL;
    std::copy(p->nodes.begin(), p->nodes.end(), nodes);
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link,
                                    USAGE usage, HIDP_BUTTON_CAPS* caps, USHORT* length,
                                    PHIDP_PREPARSED_DATA data) {
    return GetSpecificCaps(type, usagePage, link, usage, caps, length, data, true,
                           [](const Field& f, const HidpPreparsedData& p, HIDP_BUTTON_CAPS& c) {
                               FillCommon(f, p, c);
                           });
}

NTSTATUS HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE usage,
                                   HIDP_VALUE_CAPS* caps, USHORT* length,
                                   PHIDP_PREPARSED_DATA data) {
    return GetSpecificCaps(type, usagePage, link, usage, caps, length, data, false,
                           [](const Field& f, const HidpPreparsedData& p, HIDP_VALUE_CAPS& c) {
                               FillCommon(f, p, c);
                               c.HasNull = f.hasNull;
                               c.BitSize = f.bitSize;
                               c.ReportCount = f.count;
                               c.UnitsExp = f.unitsExp;
                               c.Units = f.units;
                               c.LogicalMin = f.logMin;
                               c.LogicalMax = f.logMax;
                               c.PhysicalMin = f.phyMin;
                               c.PhysicalMax = f.phyMax;
                           });
}

NTSTATUS HidP_GetData(HIDP_REPORT_TYPE type, HIDP_DATA* list, ULONG* length,
                      PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength) {
    const Held held = Valid(data);
    const HidpPreparsedData* p = held.get();
    NTSTATUS s = CheckReport(p, type, report, reportLength);
    if (s != HIDP_STATUS_SUCCESS) return s;
    if (length == nullptr) return HIDP_STATUS_BUFFER_TOO_SMALL;
    uint8_t id = ReportId(report);
    if (!p->hasReport[type][id]) return HIDP_STATUS_REPORT_DOES_NOT_EXIST;
    ULONG capacity = list == nullptr ? 0 : *length;
    ULONG n = 0;
    auto put = [&](USHORT index, ULONG raw) {
        if (n < capacity) {
            list[n] = HIDP_DATA{};
            list[n].DataIndex = index;
            list[n].RawValue = raw;
        }
        ++n;
    };
    PressedButtons(*p, type, report, [&](const Field& f, USAGE u) {
        put(static_cast<USHORT>(f.dataIndexMin + (u - f.usageMin)), 1);
    });
    for (const Field& f : p->fields[type]) {
        if (f.button || f.reportId != id || f.valueArray()) continue;
        for (uint32_t k = 0; k < f.usageCount(); ++k) {
            put(static_cast<USHORT>(f.dataIndexMin + k),
                ReadBits(report, f.bitPos + k * f.bitSize, f.bitSize));
        }
    }
    *length = n;
    return n > capacity ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_SetData(HIDP_REPORT_TYPE type, HIDP_DATA* list, ULONG* length,
                      PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength) {
    const Held held = Valid(data);
    const HidpPreparsedData* p = held.get();
    NTSTATUS s = CheckReport(p, type, report, reportLength);
    if (s != HIDP_STATUS_SUCCESS) return s;
    if (length == nullptr || (list == nullptr && *length != 0)) return HIDP_STATUS_BUFFER_TOO_SMALL;
    for (ULONG i = 0; i < *length; ++i) {
        USHORT index = list[i].DataIndex;
        const Field* f = nullptr;
        s = Find(
            p, type, report, true,
            [&](const Field& c) {
                return index >= c.dataIndexMin &&
                       static_cast<uint32_t>(index - c.dataIndexMin) < c.usageCount();
            },
            &f);
        if (s == HIDP_STATUS_USAGE_NOT_FOUND) s = HIDP_STATUS_DATA_INDEX_NOT_FOUND;
        if (s == HIDP_STATUS_SUCCESS) {
            auto usage = static_cast<USAGE>(f->usageMin + (index - f->dataIndexMin));
            if (f->button) {
                s = SetButton(*p, type, *f, usage, list[i].On != 0, report);
                // Releasing a button that is not pressed leaves the report as wanted.
                if (s == HIDP_STATUS_BUTTON_NOT_PRESSED) s = HIDP_STATUS_SUCCESS;
            } else if (f->valueArray()) {
                s = HIDP_STATUS_IS_VALUE_ARRAY;
            } else if (!FitsBits(list[i].RawValue, f->bitSize) &&
                       !FitsBits(static_cast<LONG>(list[i].RawValue), f->bitSize)) {
                s = HIDP_STATUS_VALUE_OUT_OF_RANGE;
            } else {
                WriteBits(report, ValuePos(*f, usage), f->bitSize, list[i].RawValue);
            }
            if (s == HIDP_STATUS_SUCCESS) ClaimId(*f, report);
        }
        if (s != HIDP_STATUS_SUCCESS) {
            *length = i;
            return s;
        }
    }
    return HIDP_STATUS_SUCCESS;
}

ULONG HidP_MaxDataListLength(HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA data) {
    const Held held = Valid(data);
    const HidpPreparsedData* p = held.get();
    if (p == nullptr || !ValidType(type)) return 0;
    ULONG n = 0;
    uint32_t lastItem = UINT32_MAX;
    for (const Field& f : p->fields[type]) {
        if (f.selector) {
            if (f.item != lastItem) n += f.count;  // caps of one array share its fields
            lastItem = f.item;
        } else if (!f.valueArray()) {
            n += f.usageCount();
        }
    }
    return n;
}

NTSTATUS HidP_GetUsages(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE* list,
                        ULONG* length, PHIDP_PREPARSED_DATA data, char* report,
                        ULONG reportLength) {
    const Held held = Valid(data);
    const HidpPreparsedData* p = held.get();
    NTSTATUS s = CheckReport(p, type, report, reportLength);
    if (s != HIDP_STATUS_SUCCESS) return s;
    if (length == nullptr) return HIDP_STATUS_BUFFER_TOO_SMALL;
    bool any = false, here = false;
    for (const Field& f : p->fields[type]) {
        if (!f.button || f.page != usagePage || !LinkMatches(link, f)) continue;
        any = true;
        here = here || f.reportId == ReportId(report);
    }
    if (!any) return HIDP_STATUS_USAGE_NOT_FOUND;
    if (!here) return HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
    ULONG capacity = list == nullptr ? 0 : *length;
    ULONG n = 0;
    PressedButtons(*p, type, report, [&](const Field& f, USAGE u) {
        if (f.page != usagePage || !LinkMatches(link, f)) return;
        if (n < capacity) list[n] = u;
        ++n;
    });
    *length = n;
    return n > capacity ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_GetUsagesEx(HIDP_REPORT_TYPE type, USHORT link, USAGE_AND_PAGE* list, ULONG* length,
                          PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength) {
    const Held held = Valid(data);
    const HidpPreparsedData* p = held.get();
    NTSTATUS s = CheckReport(p, type, report, reportLength);
    if (s != HIDP_STATUS_SUCCESS) return s;
    if (length == nullptr) return HIDP_STATUS_BUFFER_TOO_SMALL;
    bool any = false, here = false;
    for (const Field& f : p->fields[type]) {
        if (!f.button || !LinkMatches(link, f)) continue;
        any = true;
        here = here || f.reportId == ReportId(report);
    }
    if (!any) return HIDP_STATUS_USAGE_NOT_FOUND;
    if (!here) return HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
    ULONG capacity = list == nullptr ? 0 : *length;
    ULONG n = 0;
    PressedButtons(*p, type, report, [&](const Field& f, USAGE u) {
        if (!LinkMatches(link, f)) return;
        if (n < capacity) list[n] = USAGE_AND_PAGE{u, f.page};
        ++n;
    });
    *length = n;
    return n > capacity ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_SetUsages(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE* list,
                        ULONG* length, PHIDP_PREPARSED_DATA data, char* report,
                        ULONG reportLength) {
    return ChangeUsages(type, usagePage, link, list, length, data, report, reportLength, true);
}

NTSTATUS HidP_UnsetUsages(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE* list,
                          ULONG* length, PHIDP_PREPARSED_DATA data, char* report,
                          ULONG reportLength) {
    return ChangeUsages(type, usagePage, link, list, length, data, report, reportLength, false);
}

ULONG HidP_MaxUsageListLength(HIDP_REPORT_TYPE type, USAGE usagePage, PHIDP_PREPARSED_DATA data) {
    const Held held = Valid(data);
    const HidpPreparsedData* p = held.get();
    if (p == nullptr || !ValidType(type)) return 0;
    ULONG n = 0;
    uint32_t lastItem = UINT32_MAX;
    for (const Field& f : p->fields[type]) {
        if (!f.button || (usagePage != 0 && f.page != usagePage)) continue;
        if (f.selector) {
            if (f.item != lastItem) n += f.count;
            lastItem = f.item;
        } else {
            n += f.usageCount();
        }
    }
    return n;
}

NTSTATUS HidP_GetUsageValue(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE usage,
                            ULONG* value, PHIDP_PREPARSED_DATA data, char* report,
                            ULONG reportLength) {
    const Held held = Valid(data);
    const Field* f = nullptr;
    NTSTATUS s = FindValueCap(type, usagePage, link, usage, held.get(), report, reportLength, false,
                              false, &f);
    if (s != HIDP_STATUS_SUCCESS) return s;
    if (value == nullptr) return HIDP_STATUS_BUFFER_TOO_SMALL;
    *value = ReadBits(report, ValuePos(*f, usage), f->bitSize);
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_GetScaledUsageValue(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE usage,
                                  LONG* value, PHIDP_PREPARSED_DATA data, char* report,
                                  ULONG reportLength) {
    const Held held = Valid(data);
    const Field* f = nullptr;
    NTSTATUS s = FindValueCap(type, usagePage, link, usage, held.get(), report, reportLength, false,
                              false, &f);
    if (s != HIDP_STATUS_SUCCESS) return s;
    if (value == nullptr) return HIDP_STATUS_BUFFER_TOO_SMALL;
    Scale sc{};
    if (!ScaleOf(*f, &sc)) return HIDP_STATUS_BAD_LOG_PHY_VALUES;
    int64_t v = Logical(*f, ReadBits(report, ValuePos(*f, usage), f->bitSize));
    // Outside the logical range: the null state when the field has one, else a bad value.
    if (v < sc.logMin || v > sc.logMax) {
        return f->hasNull ? HIDP_STATUS_NULL : HIDP_STATUS_VALUE_OUT_OF_RANGE;
    }
    int64_t scaled =
        sc.phyMin + MulDivRound(v - sc.logMin, sc.phyMax - sc.phyMin, sc.logMax - sc.logMin);
    *value = static_cast<LONG>(scaled);
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_GetUsageValueArray(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE usage,
                                 char* value, USHORT valueLength, PHIDP_PREPARSED_DATA data,
                                 char* report, ULONG reportLength) {
    return ValueArray(type, usagePage, link, usage, value, valueLength, data, report, reportLength,
                      false);
}

NTSTATUS HidP_SetUsageValue(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE usage,
                            ULONG value, PHIDP_PREPARSED_DATA data, char* report,
                            ULONG reportLength) {
    const Held held = Valid(data);
    const Field* f = nullptr;
    NTSTATUS s = FindValueCap(type, usagePage, link, usage, held.get(), report, reportLength, true,
                              false, &f);
    if (s != HIDP_STATUS_SUCCESS) return s;
    // A raw value that does not fit the field would be cut silently; negative values written
    // as their 32-bit pattern are taken when they fit sign-extended.
    if (!FitsBits(value, f->bitSize) && !FitsBits(static_cast<LONG>(value), f->bitSize)) {
        return HIDP_STATUS_VALUE_OUT_OF_RANGE;
    }
    WriteBits(report, ValuePos(*f, usage), f->bitSize, value);
    ClaimId(*f, report);
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_SetScaledUsageValue(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE usage,
                                  LONG value, PHIDP_PREPARSED_DATA data, char* report,
                                  ULONG reportLength) {
    const Held held = Valid(data);
    const Field* f = nullptr;
    NTSTATUS s = FindValueCap(type, usagePage, link, usage, held.get(), report, reportLength, true,
                              false, &f);
    if (s != HIDP_STATUS_SUCCESS) return s;
    Scale sc{};
    if (!ScaleOf(*f, &sc)) return HIDP_STATUS_BAD_LOG_PHY_VALUES;
    if (value < sc.phyMin || value > sc.phyMax) {
        // A field with a null state reports "no value" as a value outside its logical range.
        if (!f->hasNull) return HIDP_STATUS_VALUE_OUT_OF_RANGE;
        int64_t null = Representable(*f, sc.logMax + 1) ? sc.logMax + 1 : sc.logMin - 1;
        if (!Representable(*f, null)) return HIDP_STATUS_VALUE_OUT_OF_RANGE;
        WriteBits(report, ValuePos(*f, usage), f->bitSize, static_cast<uint32_t>(null));
        ClaimId(*f, report);
        return HIDP_STATUS_NULL;
    }
    int64_t raw =
        sc.logMin + MulDivRound(value - sc.phyMin, sc.logMax - sc.logMin, sc.phyMax - sc.phyMin);
    if (!Representable(*f, raw)) return HIDP_STATUS_VALUE_OUT_OF_RANGE;
    WriteBits(report, ValuePos(*f, usage), f->bitSize, static_cast<uint32_t>(raw));
    ClaimId(*f, report);
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_SetUsageValueArray(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT link, USAGE usage,
                                 char* value, USHORT valueLength, PHIDP_PREPARSED_DATA data,
                                 char* report, ULONG reportLength) {
    return ValueArray(type, usagePage, link, usage, value, valueLength, data, report, reportLength,
                      true);
}

NTSTATUS HidP_UsageListDifference(USAGE* previous, USAGE* current, USAGE* breaks, USAGE* makes,
                                  ULONG length) {
    if (length != 0 &&
        (previous == nullptr || current == nullptr || breaks == nullptr || makes == nullptr)) {
        return HIDP_STATUS_BUFFER_TOO_SMALL;
    }
    // Lists end at the first 0 or at length; results are padded with 0.
    auto end = [length](const USAGE* l) { return std::find(l, l + length, USAGE{0}); };
    const USAGE* prev = previous;
    const USAGE* cur = current;
    const USAGE* prevEnd = end(prev);
    const USAGE* curEnd = end(cur);
    ULONG nb = 0, nm = 0;
    std::vector<USAGE> br, mk;
    for (const USAGE* u = prev; u != prevEnd; ++u) {
        if (std::find(cur, curEnd, *u) == curEnd) br.push_back(*u);
    }
    for (const USAGE* u = cur; u != curEnd; ++u) {
        if (std::find(prev, prevEnd, *u) == prevEnd) mk.push_back(*u);
    }
    // Written only after both inputs are read: an output may share memory with an input.
    for (USAGE u : br)
        breaks[nb++] = u;
    for (USAGE u : mk)
        makes[nm++] = u;
    std::fill(breaks + nb, breaks + length, USAGE{0});
    std::fill(makes + nm, makes + length, USAGE{0});
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_TranslateUsagesToI8042ScanCodes(USAGE*, ULONG, HIDP_KEYBOARD_DIRECTION,
                                              HIDP_KEYBOARD_MODIFIER_STATE*, PHIDP_INSERT_SCANCODES,
                                              void*) {
    return HIDP_STATUS_NOT_IMPLEMENTED;
}

}  // extern "C"
