// Report-descriptor parser: short and long items, global state with push/pop, local usages
// (extended 32-bit forms, ranges, delimiter sets), report IDs and collections. It takes what
// the kernel's own parser takes: items of an undefined main tag or of the reserved type are
// skipped (several devices end their descriptor with a 0x00 byte), and data fields may be up
// to 256 bits wide. A refusal names the item and the reason.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/hidp/hidp.h"
#include "platform/hidp/preparsed.h"

namespace hidp {
namespace {

// Limits that keep a hostile descriptor from costing more than its own size in memory.
constexpr std::size_t kMaxDescriptor = 65535;  // wDescriptorLength is 16 bits
constexpr std::size_t kMaxPushDepth = 32;
constexpr std::size_t kMaxCollectionDepth = 64;
constexpr uint32_t kMaxReportBytes = 65534;  // plus the ID byte must fit a USHORT
constexpr uint32_t kMaxFieldBits = 256;
constexpr uint32_t kMaxDataIndices = 65535;

struct Globals {
    uint32_t usagePage = 0;
    int64_t logMin = 0, logMax = 0, phyMin = 0, phyMax = 0;
    // The maxima read unsigned, for descriptors that write 255 as "0x25 0xFF".
    int64_t logMaxUnsigned = 0, phyMaxUnsigned = 0;
    uint32_t unitsExp = 0, units = 0;
    uint32_t reportSize = 0, reportCount = 0;
    uint32_t reportId = 0;
};

// A local usage as written: the page is resolved when the main item closes the set.
struct LocalUsage {
    uint32_t min = 0, max = 0;
    bool extended = false;  // 4-byte form: the page is in the top 16 bits
    bool range = false;
};

struct Locals {
    std::vector<LocalUsage> usages;
    std::optional<uint32_t> usageMin;
    bool usageMinExtended = false;
    std::optional<uint32_t> usageMax;
    bool usageMaxExtended = false;
    std::optional<uint32_t> stringIndex, stringMin, stringMax;
    std::optional<uint32_t> designatorIndex, designatorMin, designatorMax;
    int delimiterDepth = 0;
    bool delimiterTaken = false;  // only the first usage of a delimiter set counts
};

struct ResolvedUsage {
    USAGE page, min, max;
    bool range;
};

uint32_t Unsigned(const uint8_t* p, std::size_t n) {
    uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

int64_t Signed(const uint8_t* p, std::size_t n) {
    uint32_t v = Unsigned(p, n);
    switch (n) {
        case 1:
            return static_cast<int8_t>(v);
        case 2:
            return static_cast<int16_t>(v);
        case 4:
            return static_cast<int32_t>(v);
        default:
            return 0;
    }
}

class Parser {
  public:
    std::unique_ptr<HidpPreparsedData> Run(const uint8_t* d, std::size_t n);
    const std::string& Refusal() const { return why_; }

  private:
    // Keeps the first reason; always false, so that a check reads "return Refuse(...)".
    bool Refuse(std::string why) {
        if (why_.empty()) why_ = std::move(why);
        return false;
    }

    bool Global(uint8_t tag, const uint8_t* data, std::size_t size);
    bool Local(uint8_t tag, const uint8_t* data, std::size_t size);
    bool Main(uint8_t tag, uint32_t value);
    bool AddUsage(uint32_t value, std::size_t size);
    bool CloseUsageRange();
    bool DataItem(HIDP_REPORT_TYPE type, uint32_t flags);
    std::optional<std::vector<ResolvedUsage>> Resolve();
    void Finish();

    std::unique_ptr<HidpPreparsedData> out_ = std::make_unique<HidpPreparsedData>();
    Globals g_;
    std::vector<Globals> stack_;
    Locals l_;
    std::vector<USHORT> open_;       // node indices of open collections
    std::vector<USHORT> lastChild_;  // per node: its last child, so appending is constant time
    std::array<std::array<uint32_t, 256>, 3> bits_{};
    std::array<uint32_t, 3> nextDataIndex_{};
    uint32_t items_ = 0;
    bool dataBeforeId_ = false;
    bool haveTopLevel_ = false;
    std::string why_;
};

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

std::unique_ptr<HidpPreparsedData> Parser::Run(const uint8_t* d, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        uint8_t prefix = d[i];
        auto at = [prefix, i] {
            return "item " + Hex(prefix) + " at byte " + std::to_string(i) + ": ";
        };
        if (prefix == 0xFE) {  // long item: size, tag, data; none are defined, so skip it
            if (n - i < 3 || n - i - 3 < d[i + 1]) {
                Refuse(at() + "the descriptor ends inside this long item");
                return nullptr;
            }
            i += 3 + d[i + 1];
            continue;
        }
        std::size_t size = prefix & 0x03;
        if (size == 3) size = 4;
        if (n - i - 1 < size) {
            Refuse(at() + "the descriptor ends inside this item");
            return nullptr;
        }
        const uint8_t* data = d + i + 1;
        uint8_t type = (prefix >> 2) & 0x03;
        uint8_t tag = prefix >> 4;
        bool ok = true;
        switch (type) {
            case 0:
                ok = Main(tag, Unsigned(data, size));
                break;
            case 1:
                ok = Global(tag, data, size);
                break;
            case 2:
                ok = Local(tag, data, size);
                break;
            default:
                break;  // reserved item type: nothing defined, skipped as the kernel does
        }
        if (!ok) {
            why_ = at() + why_;
            return nullptr;
        }
        i += 1 + size;
    }
    if (!open_.empty()) {
        Refuse(std::to_string(open_.size()) + " collection(s) still open at the end");
        return nullptr;
    }
    if (l_.delimiterDepth != 0) {
        Refuse("a delimiter set still open at the end");
        return nullptr;
    }
    Finish();
    return std::move(out_);
}

bool Parser::Global(uint8_t tag, const uint8_t* data, std::size_t size) {
    uint32_t u = Unsigned(data, size);
    int64_t s = Signed(data, size);
    switch (tag) {
        case 0x0:
            g_.usagePage = u;
            return u <= 0xFFFF || Refuse("Usage Page over 0xFFFF");
        case 0x1:
            g_.logMin = s;
            return true;
        case 0x2:
            g_.logMax = s;
            g_.logMaxUnsigned = u;
            return true;
        case 0x3:
            g_.phyMin = s;
            return true;
        case 0x4:
            g_.phyMax = s;
            g_.phyMaxUnsigned = u;
            return true;
        case 0x5:
            g_.unitsExp = u;
            return true;
        case 0x6:
            g_.units = u;
            return true;
        case 0x7:
            g_.reportSize = u;
            return u <= 0xFFFF || Refuse("Report Size " + std::to_string(u) + " over 65535");
        case 0x8:
            if (u == 0 || u > 0xFF) return Refuse("Report ID " + std::to_string(u) + " not 1..255");
            if (dataBeforeId_) return Refuse("a Report ID after data items without one");
            g_.reportId = u;
            out_->numbered = true;
            return true;
        case 0x9:
            g_.reportCount = u;
            return u <= 0xFFFF || Refuse("Report Count " + std::to_string(u) + " over 65535");
        case 0xA:
            if (stack_.size() >= kMaxPushDepth) return Refuse("Push nested deeper than 32");
            stack_.push_back(g_);
            return true;
        case 0xB:
            if (stack_.empty()) return Refuse("Pop without a Push");
            g_ = stack_.back();
            stack_.pop_back();
            return true;
        default:
            return true;  // reserved global tags carry nothing we use
    }
}

bool Parser::AddUsage(uint32_t value, std::size_t size) {
    if (l_.delimiterDepth > 0) {
        if (l_.delimiterTaken) return true;
        l_.delimiterTaken = true;
    }
    if (l_.usages.size() >= kMaxDataIndices) return Refuse("more than 65535 usages on one item");
    l_.usages.push_back({value, value, size == 4, false});
    return true;
}

bool Parser::CloseUsageRange() {
    if (!l_.usageMin || !l_.usageMax) return true;
    uint32_t lo = *l_.usageMin, hi = *l_.usageMax;
    bool ext = l_.usageMinExtended || l_.usageMaxExtended;
    if (ext) {
        // Both ends must name the same page; a short end takes the other's page.
        if (!l_.usageMinExtended) lo |= hi & 0xFFFF0000u;
        if (!l_.usageMaxExtended) hi |= lo & 0xFFFF0000u;
        if ((lo >> 16) != (hi >> 16)) return Refuse("Usage Minimum and Maximum on different pages");
    }
    if ((hi & 0xFFFF) < (lo & 0xFFFF)) return Refuse("Usage Maximum below Usage Minimum");
    l_.usageMin.reset();
    l_.usageMax.reset();
    if (l_.delimiterDepth > 0) {
        if (l_.delimiterTaken) return true;
        l_.delimiterTaken = true;
    }
    if (l_.usages.size() >= kMaxDataIndices) return Refuse("more than 65535 usages on one item");
    l_.usages.push_back({lo, hi, ext, true});
    return true;
}

bool Parser::Local(uint8_t tag, const uint8_t* data, std::size_t size) {
    uint32_t u = Unsigned(data, size);
    if (size != 4 && tag <= 0x2) u &= 0xFFFF;
    switch (tag) {
        case 0x0:
            return AddUsage(u, size);
        case 0x1:
            l_.usageMin = u;
            l_.usageMinExtended = size == 4;
            return CloseUsageRange();
        case 0x2:
            l_.usageMax = u;
            l_.usageMaxExtended = size == 4;
            return CloseUsageRange();
        case 0x3:
            l_.designatorIndex = u;
            return true;
        case 0x4:
            l_.designatorMin = u;
            return true;
        case 0x5:
            l_.designatorMax = u;
            return true;
        case 0x7:
            l_.stringIndex = u;
            return true;
        case 0x8:
            l_.stringMin = u;
            return true;
        case 0x9:
            l_.stringMax = u;
            return true;
        case 0xA:
            if (u == 1) {
                if (l_.delimiterDepth != 0) return Refuse("delimiter sets nested");
                l_.delimiterDepth = 1;
                l_.delimiterTaken = false;
                return true;
            }
            if (u == 0) {
                if (l_.delimiterDepth != 1) return Refuse("a delimiter set closed but not open");
                l_.delimiterDepth = 0;
                return true;
            }
            return Refuse("Delimiter " + std::to_string(u) + " neither 0 nor 1");
        default:
            return true;
    }
}

std::optional<std::vector<ResolvedUsage>> Parser::Resolve() {
    if (l_.usageMin || l_.usageMax) {
        Refuse("a Usage Minimum without its Maximum, or the reverse");
        return std::nullopt;
    }
    std::vector<ResolvedUsage> r;
    r.reserve(l_.usages.size());
    for (const LocalUsage& u : l_.usages) {
        USAGE page =
            u.extended ? static_cast<USAGE>(u.min >> 16) : static_cast<USAGE>(g_.usagePage);
        r.push_back({page, static_cast<USAGE>(u.min & 0xFFFF), static_cast<USAGE>(u.max & 0xFFFF),
                     u.range});
    }
    return r;
}

bool Parser::Main(uint8_t tag, uint32_t value) {
    bool ok = true;
    switch (tag) {
        case 0x8:
            ok = DataItem(HidP_Input, value);
            break;
        case 0x9:
            ok = DataItem(HidP_Output, value);
            break;
        case 0xB:
            ok = DataItem(HidP_Feature, value);
            break;
        case 0xA: {
            auto usages = Resolve();
            if (!usages) return false;
            if (open_.size() >= kMaxCollectionDepth)
                return Refuse("collections nested deeper than 64");
            if (out_->nodes.size() >= 0xFFFF) return Refuse("more than 65535 collections");
            HIDP_LINK_COLLECTION_NODE node{};
            if (!usages->empty()) {
                node.LinkUsage = usages->front().min;
                node.LinkUsagePage = usages->front().page;
            }
            node.CollectionType = value & 0xFF;
            auto index = static_cast<USHORT>(out_->nodes.size());
            // Node 0 is the first top-level collection; later top-level collections hang
            // below it so every node stays reachable from node 0.
            bool topLevel = open_.empty();
            if (topLevel && !haveTopLevel_) {
                haveTopLevel_ = true;
            } else {
                USHORT parent = topLevel ? 0 : open_.back();
                node.Parent = parent;
                HIDP_LINK_COLLECTION_NODE& p = out_->nodes[parent];
                if (p.NumberOfChildren == 0) {
                    p.FirstChild = index;
                } else {
                    out_->nodes[lastChild_[parent]].NextSibling = index;
                }
                lastChild_[parent] = index;
                ++p.NumberOfChildren;
            }
            out_->nodes.push_back(node);
            lastChild_.push_back(0);
            open_.push_back(index);
            break;
        }
        case 0xC:
            if (open_.empty()) return Refuse("End Collection without a Collection");
            open_.pop_back();
            break;
        default:
            break;  // undefined main tag: skipped as the kernel does, its locals dropped
    }
    l_ = Locals{};
    return ok;
}

bool Parser::DataItem(HIDP_REPORT_TYPE type, uint32_t flags) {
    auto usages = Resolve();
    if (!usages) return false;
    if (g_.reportId == 0) dataBeforeId_ = true;
    uint64_t itemBits = static_cast<uint64_t>(g_.reportSize) * g_.reportCount;
    uint32_t& reportBits = bits_[type][g_.reportId];
    if (reportBits + itemBits > kMaxReportBytes * 8ull)
        return Refuse("report " + std::to_string(g_.reportId) + " longer than 65534 bytes");
    uint32_t start = 8 + reportBits;
    reportBits += static_cast<uint32_t>(itemBits);
    if (itemBits > 0) out_->hasReport[type][g_.reportId] = true;
    uint32_t item = items_++;

    bool constant = flags & 0x01;
    if (constant || itemBits == 0) return true;  // padding
    if (g_.reportSize > kMaxFieldBits)
        return Refuse("Report Size " + std::to_string(g_.reportSize) +
                      " of a data field over 256 bits");

    bool variable = flags & 0x02;
    if (usages->empty()) usages->push_back({static_cast<USAGE>(g_.usagePage), 0, 0, false});

    Field base;
    base.reportId = static_cast<uint8_t>(g_.reportId);
    base.bitSize = static_cast<USHORT>(g_.reportSize);
    base.item = item;
    // A negative maximum over a non-negative minimum was meant unsigned ("0x25 0xFF" = 255).
    auto maximum = [](int64_t min, int64_t max, int64_t asUnsigned) {
        return min >= 0 && max < 0 && asUnsigned <= INT32_MAX ? asUnsigned : max;
    };
    int64_t logMax = maximum(g_.logMin, g_.logMax, g_.logMaxUnsigned);
    int64_t phyMax = maximum(g_.phyMin, g_.phyMax, g_.phyMaxUnsigned);
    base.logMin = static_cast<LONG>(g_.logMin);
    base.logMax = static_cast<LONG>(logMax);
    base.phyMin = static_cast<LONG>(g_.phyMin);
    base.phyMax = static_cast<LONG>(phyMax);
    base.units = g_.units;
    base.unitsExp = g_.unitsExp;
    base.bitField = static_cast<USHORT>(flags & 0x1FF);
    base.link = open_.empty() ? 0 : open_.back();
    base.absolute = !(flags & 0x04);
    base.hasNull = flags & 0x40;
    if (l_.stringMin && l_.stringMax) {
        base.stringRange = true;
        base.stringMin = static_cast<USHORT>(*l_.stringMin);
        base.stringMax = static_cast<USHORT>(*l_.stringMax);
    } else if (l_.stringIndex) {
        base.stringMin = base.stringMax = static_cast<USHORT>(*l_.stringIndex);
    }
    if (l_.designatorMin && l_.designatorMax) {
        base.designatorRange = true;
        base.designatorMin = static_cast<USHORT>(*l_.designatorMin);
        base.designatorMax = static_cast<USHORT>(*l_.designatorMax);
    } else if (l_.designatorIndex) {
        base.designatorMin = base.designatorMax = static_cast<USHORT>(*l_.designatorIndex);
    }

    std::vector<Field>& caps = out_->fields[type];
    uint32_t& dataIndex = nextDataIndex_[type];
    auto add = [&](Field f) {
        if (dataIndex + f.usageCount() > kMaxDataIndices)
            return Refuse("more than 65535 data indices in one report type");
        f.dataIndexMin = static_cast<USHORT>(dataIndex);
        dataIndex += f.usageCount();
        caps.push_back(f);
        return true;
    };

    if (!variable) {
        // Array: every field holds the logical value that selects one usage of the list.
        base.button = true;
        base.selector = true;
        base.bitPos = start;
        base.count = static_cast<USHORT>(g_.reportCount);
        int64_t ordinal = 0;
        for (const ResolvedUsage& u : *usages) {
            Field f = base;
            f.page = u.page;
            f.usageMin = u.min;
            f.usageMax = u.max;
            f.isRange = u.range;
            f.selectorBase = g_.logMin + ordinal;
            ordinal += f.usageCount();
            if (!add(f)) return false;
        }
        return true;
    }

    // Variable: usages are laid on the fields in order; the last single usage covers any
    // fields left over (a value array); fields without a usage are ignored.
    bool button = g_.reportSize == 1;
    uint32_t pos = 0;
    const uint32_t count = g_.reportCount;
    for (std::size_t k = 0; k < usages->size() && pos < count; ++k) {
        const ResolvedUsage& u = (*usages)[k];
        Field f = base;
        f.button = button;
        f.page = u.page;
        f.usageMin = u.min;
        f.bitPos = start + pos * g_.reportSize;
        if (u.range) {
            uint32_t len = std::min<uint32_t>(u.max - u.min + 1, count - pos);
            f.isRange = true;
            f.usageMax = static_cast<USAGE>(u.min + len - 1);
            f.count = static_cast<USHORT>(len);
            pos += len;
        } else {
            f.usageMax = u.min;
            bool last = k + 1 == usages->size();
            f.count = static_cast<USHORT>(last && !button ? count - pos : 1);
            pos += f.count;
        }
        if (!add(f)) return false;
    }
    return true;
}

void Parser::Finish() {
    HidpPreparsedData& p = *out_;
    if (p.nodes.empty()) {
        // Items outside any collection still need a node 0 to belong to.
        HIDP_LINK_COLLECTION_NODE node{};
        node.CollectionType = 1;
        p.nodes.push_back(node);
    }
    for (int t = 0; t < 3; ++t) {
        uint32_t longest = 0;
        bool any = false;
        for (int id = 0; id < 256; ++id) {
            if (!p.hasReport[t][id]) continue;
            any = true;
            longest = std::max(longest, (bits_[t][id] + 7) / 8);
        }
        p.reportBytes[t] = any ? static_cast<USHORT>(longest + 1) : 0;
    }
    HIDP_CAPS& c = p.caps;
    c.Usage = p.nodes[0].LinkUsage;
    c.UsagePage = p.nodes[0].LinkUsagePage;
    c.InputReportByteLength = p.reportBytes[HidP_Input];
    c.OutputReportByteLength = p.reportBytes[HidP_Output];
    c.FeatureReportByteLength = p.reportBytes[HidP_Feature];
    c.NumberLinkCollectionNodes = static_cast<USHORT>(p.nodes.size());
    std::array<USHORT*, 3> buttons{&c.NumberInputButtonCaps, &c.NumberOutputButtonCaps,
                                   &c.NumberFeatureButtonCaps};
    std::array<USHORT*, 3> values{&c.NumberInputValueCaps, &c.NumberOutputValueCaps,
                                  &c.NumberFeatureValueCaps};
    std::array<USHORT*, 3> indices{&c.NumberInputDataIndices, &c.NumberOutputDataIndices,
                                   &c.NumberFeatureDataIndices};
    for (int t = 0; t < 3; ++t) {
        for (const Field& f : p.fields[t])
            ++*(f.button ? buttons[t] : values[t]);
        *indices[t] = static_cast<USHORT>(nextDataIndex_[t]);
    }
}

}  // namespace

namespace {

// The live parsed data by handle, as the handle table keeps handles: values count up and are
// never reused. Never destroyed, so that a call during a module's exit still finds it.
struct Registry {
    std::mutex mutex;
    uintptr_t next = 0x48494400;  // steps of 16, so a handle looks like an aligned pointer
    std::unordered_map<uintptr_t, std::shared_ptr<const HidpPreparsedData>> live;
};

Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

}  // namespace

PHIDP_PREPARSED_DATA ParseDescriptor(const uint8_t* descriptor, std::size_t length,
                                     std::string* refusal) {
    std::string ignored;
    std::string& why = refusal != nullptr ? *refusal : ignored;
    why.clear();
    if (descriptor == nullptr || length == 0) {
        why = "the report descriptor is empty";
        return nullptr;
    }
    if (length > kMaxDescriptor) {
        why = "the report descriptor is " + std::to_string(length) + " bytes, over 65535";
        return nullptr;
    }
    try {
        Parser parser;
        std::shared_ptr<const HidpPreparsedData> data = parser.Run(descriptor, length);
        if (!data) {
            why = parser.Refusal();
            return nullptr;
        }
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        const uintptr_t handle = r.next;
        r.next += 16;
        r.live.emplace(handle, std::move(data));
        return reinterpret_cast<PHIDP_PREPARSED_DATA>(handle);
    } catch (const std::bad_alloc&) {
        why = "out of memory";
        return nullptr;
    }
}

bool FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    std::shared_ptr<const HidpPreparsedData> gone;  // destroyed outside the lock
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.live.find(reinterpret_cast<uintptr_t>(data));
    if (it == r.live.end()) return false;
    gone = std::move(it->second);
    r.live.erase(it);
    return true;
}

std::shared_ptr<const HidpPreparsedData> Lookup(PHIDP_PREPARSED_DATA handle) {
    if (handle == nullptr) return nullptr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.live.find(reinterpret_cast<uintptr_t>(handle));
    return it == r.live.end() ? nullptr : it->second;
}

}  // namespace hidp
