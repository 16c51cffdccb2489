// The report-descriptor parser and the HidP_ calls on what it parsed.
//
// Input: descriptor length (2 bytes, little-endian), the descriptor, then bytes that fill the
// reports (repeated as needed).
// Checks beyond memory safety: the link-collection tree is well formed; the caps counts agree
// with the caps handed out and the data indices are dense; HidP_GetData, HidP_GetUsages and
// HidP_GetUsagesEx never need more room than the max-length calls report; a value or a button
// written reads back (a field wider than 32 bits, or a value array, through the array calls
// only); freed data is refused, and a stale pointer freed again leaves a later object alone.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "platform/hidp/hidp.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr HIDP_REPORT_TYPE kTypes[] = {HidP_Input, HidP_Output, HidP_Feature};
constexpr std::size_t kMaxIdsPerType = 8;
constexpr uint32_t kMaxUsagesPerCap = 8;

// Report contents from the input's tail, repeated.
class Filler {
  public:
    Filler(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t Next() { return size_ == 0 ? static_cast<uint8_t>(pos_++) : data_[pos_++ % size_]; }
    uint32_t Next32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | Next();
        return v;
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void CheckTree(PHIDP_PREPARSED_DATA p, const HIDP_CAPS& caps) {
    const ULONG n = caps.NumberLinkCollectionNodes;
    FUZZ_CHECK(n >= 1);
    std::vector<HIDP_LINK_COLLECTION_NODE> nodes(n);
    ULONG length = n - 1;
    if (n > 1)
        FUZZ_CHECK(HidP_GetLinkCollectionNodes(nodes.data(), &length, p) ==
                   HIDP_STATUS_BUFFER_TOO_SMALL);
    length = n;
    FUZZ_CHECK(HidP_GetLinkCollectionNodes(nodes.data(), &length, p) == HIDP_STATUS_SUCCESS);
    FUZZ_CHECK(length == n);
    FUZZ_CHECK(nodes[0].Parent == 0);
    FUZZ_CHECK(caps.Usage == nodes[0].LinkUsage && caps.UsagePage == nodes[0].LinkUsagePage);

    // Every node but the root is reached exactly once through its parent's child list.
    std::vector<bool> seen(n, false);
    seen[0] = true;
    std::vector<ULONG> todo{0};
    while (!todo.empty()) {
        const ULONG i = todo.back();
        todo.pop_back();
        USHORT child = nodes[i].FirstChild;
        for (ULONG k = 0; k < nodes[i].NumberOfChildren; ++k) {
            FUZZ_CHECK(child != 0 && child < n && !seen[child]);
            FUZZ_CHECK(nodes[child].Parent == i);
            seen[child] = true;
            todo.push_back(child);
            child = nodes[child].NextSibling;
        }
        FUZZ_CHECK(child == 0 || nodes[i].NumberOfChildren == 0);
    }
    FUZZ_CHECK(std::all_of(seen.begin(), seen.end(), [](bool s) { return s; }));
}

struct TypeCaps {
    std::vector<HIDP_BUTTON_CAPS> buttons;
    std::vector<HIDP_VALUE_CAPS> values;
};

template <typename Caps, typename Get>
std::vector<Caps> AllCaps(USHORT count, Get get) {
    std::vector<Caps> caps(count + 1u);
    USHORT length = static_cast<USHORT>(caps.size());
    const NTSTATUS s = get(caps.data(), &length);
    FUZZ_CHECK(s == (count == 0 ? HIDP_STATUS_USAGE_NOT_FOUND : HIDP_STATUS_SUCCESS));
    FUZZ_CHECK(length == count);
    caps.resize(count);
    return caps;
}

void MarkIndices(std::vector<bool>& used, bool isRange, USHORT min, USHORT max) {
    if (!isRange) max = min;
    FUZZ_CHECK(min <= max && max < used.size());
    for (uint32_t i = min; i <= max; ++i) {
        FUZZ_CHECK(!used[i]);
        used[i] = true;
    }
}

TypeCaps CheckCaps(PHIDP_PREPARSED_DATA p, const HIDP_CAPS& caps, int t) {
    const HIDP_REPORT_TYPE type = kTypes[t];
    const USHORT buttonCount[] = {caps.NumberInputButtonCaps, caps.NumberOutputButtonCaps,
                                  caps.NumberFeatureButtonCaps};
    const USHORT valueCount[] = {caps.NumberInputValueCaps, caps.NumberOutputValueCaps,
                                 caps.NumberFeatureValueCaps};
    const USHORT indexCount[] = {caps.NumberInputDataIndices, caps.NumberOutputDataIndices,
                                 caps.NumberFeatureDataIndices};
    TypeCaps out;
    out.buttons = AllCaps<HIDP_BUTTON_CAPS>(buttonCount[t], [&](HIDP_BUTTON_CAPS* c, USHORT* n) {
        return HidP_GetSpecificButtonCaps(type, 0, 0, 0, c, n, p);
    });
    out.values = AllCaps<HIDP_VALUE_CAPS>(valueCount[t], [&](HIDP_VALUE_CAPS* c, USHORT* n) {
        return HidP_GetSpecificValueCaps(type, 0, 0, 0, c, n, p);
    });
    std::vector<bool> used(indexCount[t], false);
    for (const HIDP_BUTTON_CAPS& c : out.buttons) {
        FUZZ_CHECK(c.LinkCollection < caps.NumberLinkCollectionNodes);
        MarkIndices(used, c.IsRange, c.Range.DataIndexMin, c.Range.DataIndexMax);
    }
    for (const HIDP_VALUE_CAPS& c : out.values) {
        FUZZ_CHECK(c.LinkCollection < caps.NumberLinkCollectionNodes);
        FUZZ_CHECK(c.BitSize >= 1 && c.BitSize <= 256);
        MarkIndices(used, c.IsRange, c.Range.DataIndexMin, c.Range.DataIndexMax);
    }
    FUZZ_CHECK(std::all_of(used.begin(), used.end(), [](bool u) { return u; }));
    return out;
}

USAGE UsageMin(const HIDP_BUTTON_CAPS& c) {
    return c.IsRange ? c.Range.UsageMin : c.NotRange.Usage;
}
USAGE UsageMax(const HIDP_BUTTON_CAPS& c) {
    return c.IsRange ? c.Range.UsageMax : c.NotRange.Usage;
}
USAGE UsageMin(const HIDP_VALUE_CAPS& c) {
    return c.IsRange ? c.Range.UsageMin : c.NotRange.Usage;
}
USAGE UsageMax(const HIDP_VALUE_CAPS& c) {
    return c.IsRange ? c.Range.UsageMax : c.NotRange.Usage;
}

// The list calls on one report: never more room needed than the max-length calls report.
void CheckLists(PHIDP_PREPARSED_DATA p, HIDP_REPORT_TYPE type, const TypeCaps& tc,
                std::vector<char>& report) {
    const auto length = static_cast<ULONG>(report.size());
    const ULONG maxData = HidP_MaxDataListLength(type, p);
    std::vector<HIDP_DATA> data(maxData + 1);
    ULONG n = maxData;
    NTSTATUS s = HidP_GetData(type, data.data(), &n, p, report.data(), length);
    FUZZ_CHECK(s != HIDP_STATUS_BUFFER_TOO_SMALL);
    if (s == HIDP_STATUS_SUCCESS) FUZZ_CHECK(n <= maxData);

    std::set<USAGE> pages;
    for (const HIDP_BUTTON_CAPS& c : tc.buttons)
        pages.insert(c.UsagePage);
    for (USAGE page : pages) {
        const ULONG maxUsages = HidP_MaxUsageListLength(type, page, p);
        std::vector<USAGE> usages(maxUsages + 1);
        n = maxUsages;
        s = HidP_GetUsages(type, page, 0, usages.data(), &n, p, report.data(), length);
        FUZZ_CHECK(s != HIDP_STATUS_BUFFER_TOO_SMALL);
        if (s == HIDP_STATUS_SUCCESS) FUZZ_CHECK(n <= maxUsages);
    }
    const ULONG maxAll = HidP_MaxUsageListLength(type, 0, p);
    std::vector<USAGE_AND_PAGE> all(maxAll + 1);
    n = maxAll;
    s = HidP_GetUsagesEx(type, 0, all.data(), &n, p, report.data(), length);
    FUZZ_CHECK(s != HIDP_STATUS_BUFFER_TOO_SMALL);
    if (s == HIDP_STATUS_SUCCESS) FUZZ_CHECK(n <= maxAll);

    for (const HIDP_VALUE_CAPS& c : tc.values) {
        LONG scaled = 0;
        HidP_GetScaledUsageValue(type, c.UsagePage, c.LinkCollection, UsageMin(c), &scaled, p,
                                 report.data(), length);
    }
}

// Whether the value calls reach values[k] for a usage: no earlier cap of the same report claims
// it (a descriptor may name one usage twice; the calls take the first).
bool FirstHolder(const std::vector<HIDP_VALUE_CAPS>& values, std::size_t k, USAGE usage) {
    const HIDP_VALUE_CAPS& c = values[k];
    for (std::size_t j = 0; j < k; ++j) {
        const HIDP_VALUE_CAPS& e = values[j];
        if (e.UsagePage == c.UsagePage && e.ReportID == c.ReportID &&
            (c.LinkCollection == 0 || e.LinkCollection == c.LinkCollection) &&
            usage >= UsageMin(e) && usage <= UsageMax(e))
            return false;
    }
    return true;
}

// Values and buttons written into a report read back.
void CheckWrites(PHIDP_PREPARSED_DATA p, HIDP_REPORT_TYPE type, const TypeCaps& tc,
                 const std::vector<char>& report, Filler& fill) {
    const auto length = static_cast<ULONG>(report.size());
    for (std::size_t k = 0; k < tc.values.size(); ++k) {
        const HIDP_VALUE_CAPS& c = tc.values[k];
        std::vector<char> r = report;
        r[0] = static_cast<char>(c.ReportID);
        const bool wide = c.BitSize > 32;
        const bool array = wide || (!c.IsRange && c.ReportCount > 1);
        const uint32_t last = std::min<uint32_t>(UsageMax(c), UsageMin(c) + kMaxUsagesPerCap - 1);
        if (array) {
            // A range of wide fields has one field per usage; a single usage has them all.
            const uint32_t bits =
                static_cast<uint32_t>(c.BitSize) * (c.IsRange ? 1 : c.ReportCount);
            const uint32_t bytes = (bits + 7) / 8;
            if (bytes > 0xFFFF) continue;
            for (uint32_t u = UsageMin(c); u <= last; ++u) {
                const auto usage = static_cast<USAGE>(u);
                if (!FirstHolder(tc.values, k, usage)) continue;
                ULONG single = 0;
                FUZZ_CHECK(HidP_GetUsageValue(type, c.UsagePage, c.LinkCollection, usage, &single,
                                              p, r.data(), length) == HIDP_STATUS_IS_VALUE_ARRAY);
                std::vector<char> in(bytes), out(bytes, 0);
                for (char& b : in)
                    b = static_cast<char>(fill.Next());
                if (bits % 8 != 0)
                    in.back() = static_cast<char>(in.back() & ((1 << (bits % 8)) - 1));
                const NTSTATUS s =
                    HidP_SetUsageValueArray(type, c.UsagePage, c.LinkCollection, usage, in.data(),
                                            static_cast<USHORT>(bytes), p, r.data(), length);
                if (s != HIDP_STATUS_SUCCESS) continue;
                FUZZ_CHECK(HidP_GetUsageValueArray(type, c.UsagePage, c.LinkCollection, usage,
                                                   out.data(), static_cast<USHORT>(bytes), p,
                                                   r.data(), length) == HIDP_STATUS_SUCCESS);
                FUZZ_CHECK(in == out);
            }
            continue;
        }
        for (uint32_t u = UsageMin(c); u <= last; ++u) {
            const uint32_t mask = c.BitSize >= 32 ? 0xFFFFFFFFu : (1u << c.BitSize) - 1;
            const ULONG value = fill.Next32() & mask;
            const auto usage = static_cast<USAGE>(u);
            if (!FirstHolder(tc.values, k, usage)) continue;
            if (HidP_SetUsageValue(type, c.UsagePage, c.LinkCollection, usage, value, p, r.data(),
                                   length) != HIDP_STATUS_SUCCESS)
                continue;
            ULONG back = ~value;
            FUZZ_CHECK(HidP_GetUsageValue(type, c.UsagePage, c.LinkCollection, usage, &back, p,
                                          r.data(), length) == HIDP_STATUS_SUCCESS);
            FUZZ_CHECK(back == value);
        }
    }
    for (const HIDP_BUTTON_CAPS& c : tc.buttons) {
        std::vector<char> r(report.size(), 0);
        r[0] = static_cast<char>(c.ReportID);
        const uint32_t span = static_cast<uint32_t>(UsageMax(c) - UsageMin(c)) + 1;
        USAGE usage = static_cast<USAGE>(UsageMin(c) + fill.Next() % span);
        if (usage == 0) continue;  // an empty entry of a usage list, not a button
        ULONG one = 1;
        if (HidP_SetUsages(type, c.UsagePage, c.LinkCollection, &usage, &one, p, r.data(),
                           length) != HIDP_STATUS_SUCCESS)
            continue;
        const ULONG max = HidP_MaxUsageListLength(type, c.UsagePage, p);
        std::vector<USAGE> pressed(max + 1);
        ULONG n = max;
        FUZZ_CHECK(HidP_GetUsages(type, c.UsagePage, c.LinkCollection, pressed.data(), &n, p,
                                  r.data(), length) == HIDP_STATUS_SUCCESS);
        FUZZ_CHECK(std::find(pressed.begin(), pressed.begin() + n, usage) != pressed.begin() + n);
    }
}

void CheckReports(PHIDP_PREPARSED_DATA p, const HIDP_CAPS& caps, int t, const TypeCaps& tc,
                  Filler& fill) {
    const USHORT lengths[] = {caps.InputReportByteLength, caps.OutputReportByteLength,
                              caps.FeatureReportByteLength};
    const USHORT length = lengths[t];
    if (length == 0) {
        FUZZ_CHECK(tc.buttons.empty() && tc.values.empty());
        return;
    }
    std::set<UCHAR> ids;
    for (const auto& c : tc.buttons)
        ids.insert(c.ReportID);
    for (const auto& c : tc.values)
        ids.insert(c.ReportID);
    std::size_t done = 0;
    for (UCHAR id : ids) {
        if (done++ == kMaxIdsPerType) break;
        std::vector<char> report(length);
        for (char& b : report)
            b = static_cast<char>(fill.Next());
        report[0] = static_cast<char>(id);
        CheckLists(p, kTypes[t], tc, report);
        CheckWrites(p, kTypes[t], tc, report, fill);
    }
}

void CheckFree(PHIDP_PREPARSED_DATA p, const uint8_t* descriptor, std::size_t length) {
    HIDP_CAPS caps{};
    hidp::FreePreparsedData(p);
    FUZZ_CHECK(HidP_GetCaps(p, &caps) == HIDP_STATUS_INVALID_PREPARSED_DATA);
    // The allocator may hand the freed block to the next object: a stale pointer freed again
    // must not destroy it.
    PHIDP_PREPARSED_DATA again = hidp::ParseDescriptor(descriptor, length);
    FUZZ_CHECK(again != nullptr);
    hidp::FreePreparsedData(p);
    FUZZ_CHECK(HidP_GetCaps(again, &caps) == HIDP_STATUS_SUCCESS);
    hidp::FreePreparsedData(again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t length = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
    const uint8_t* descriptor = data + 2;
    Filler fill(descriptor + length, size - 2 - length);

    PHIDP_PREPARSED_DATA p = hidp::ParseDescriptor(descriptor, length);
    if (p == nullptr) return 0;
    HIDP_CAPS caps{};
    FUZZ_CHECK(HidP_GetCaps(p, &caps) == HIDP_STATUS_SUCCESS);
    CheckTree(p, caps);
    for (int t = 0; t < 3; ++t) {
        const TypeCaps tc = CheckCaps(p, caps, t);
        CheckReports(p, caps, t, tc, fill);
    }
    CheckFree(p, descriptor, length);
    return 0;
}
