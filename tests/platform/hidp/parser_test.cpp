// Descriptor rules the parser follows, descriptors it must refuse, and damaged descriptors
// that must never lead to a read or write out of bounds (run under ASan).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "tests/platform/hidp/descriptors.h"

using namespace hidp_test;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& b : parts)
        out.insert(out.end(), b.begin(), b.end());
    return out;
}

// An application collection on the vendor page around the given items.
Bytes App(const Bytes& items) {
    return Cat({{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01}, items, {0xC0}});
}

std::vector<HIDP_VALUE_CAPS> ValueCaps(const Parsed& p, HIDP_REPORT_TYPE type) {
    std::vector<HIDP_VALUE_CAPS> caps(64);
    USHORT n = 64;
    if (HidP_GetSpecificValueCaps(type, 0, 0, 0, caps.data(), &n, p.get()) != HIDP_STATUS_SUCCESS) {
        n = 0;
    }
    caps.resize(n);
    return caps;
}

std::vector<HIDP_BUTTON_CAPS> ButtonCaps(const Parsed& p, HIDP_REPORT_TYPE type) {
    std::vector<HIDP_BUTTON_CAPS> caps(64);
    USHORT n = 64;
    if (HidP_GetSpecificButtonCaps(type, 0, 0, 0, caps.data(), &n, p.get()) !=
        HIDP_STATUS_SUCCESS) {
        n = 0;
    }
    caps.resize(n);
    return caps;
}

TEST(HidpParser, PushPopRestoresGlobals) {
    // Push with size 8 / logical 0..100, change to size 1 for one button, pop: the next value
    // is 8 bits again with its logical range. Input: 1 + 8 = 9 bits -> 2 bytes + ID = 3.
    Parsed p(App({0x75, 0x08, 0x95, 0x01, 0x15, 0x00, 0x25, 0x64, 0xA4,  // push
                  0x75, 0x01, 0x25, 0x01, 0x09, 0x10, 0x81, 0x02,        // 1 bit
                  0xB4, 0x09, 0x20, 0x81, 0x02}));                       // pop
    ASSERT_TRUE(p);
    HIDP_CAPS c{};
    HidP_GetCaps(p.get(), &c);
    EXPECT_EQ(c.InputReportByteLength, 3);
    auto v = ValueCaps(p, HidP_Input);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].NotRange.Usage, 0x20);
    EXPECT_EQ(v[0].BitSize, 8);
    EXPECT_EQ(v[0].LogicalMax, 100);
    EXPECT_EQ(ButtonCaps(p, HidP_Input).size(), 1u);
}

TEST(HidpParser, UsageForms) {
    // Extended usage 0x0009'0003 (button 3) under the vendor page; a range written max
    // first; two usages over four 8-bit fields (the last covers three: a value array).
    Parsed p(App({0x75, 0x01, 0x95, 0x01, 0x0B, 0x03, 0x00, 0x09, 0x00, 0x81, 0x02,
                  0x29, 0x07, 0x19, 0x05, 0x95, 0x03, 0x81, 0x02, 0x75, 0x08, 0x95,
                  0x04, 0x26, 0xFF, 0x00, 0x09, 0x30, 0x09, 0x31, 0x81, 0x02}));
    ASSERT_TRUE(p);
    auto b = ButtonCaps(p, HidP_Input);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].UsagePage, 0x09);
    EXPECT_EQ(b[0].NotRange.Usage, 0x03);
    EXPECT_EQ(b[1].UsagePage, 0xFF00);
    EXPECT_EQ(b[1].Range.UsageMin, 5);
    EXPECT_EQ(b[1].Range.UsageMax, 7);
    auto v = ValueCaps(p, HidP_Input);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].ReportCount, 1);
    EXPECT_EQ(v[1].NotRange.Usage, 0x31);
    EXPECT_EQ(v[1].ReportCount, 3);
    // Bits 1 + 3 + 32 = 36 -> 5 bytes + ID.
    HIDP_CAPS c{};
    HidP_GetCaps(p.get(), &c);
    EXPECT_EQ(c.InputReportByteLength, 6);
}

TEST(HidpParser, RangeLongerThanFieldsIsCut) {
    // Usages 1..16 over 4 one-bit fields: buttons 1..4 only, 4 data indices.
    Parsed p(App({0x05, 0x09, 0x19, 0x01, 0x29, 0x10, 0x75, 0x01, 0x95, 0x04, 0x81, 0x02}));
    ASSERT_TRUE(p);
    auto b = ButtonCaps(p, HidP_Input);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].Range.UsageMax, 4);
    HIDP_CAPS c{};
    HidP_GetCaps(p.get(), &c);
    EXPECT_EQ(c.NumberInputDataIndices, 4);
}

TEST(HidpParser, DelimiterSetTakesFirstUsage) {
    Parsed p(
        App({0xA9, 0x01, 0x09, 0x40, 0x09, 0x41, 0xA9, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}));
    ASSERT_TRUE(p);
    auto v = ValueCaps(p, HidP_Input);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].NotRange.Usage, 0x40);
}

TEST(HidpParser, SecondTopLevelCollectionAndLongItems) {
    // A long item is skipped; the second application collection hangs below node 0. Both
    // write unnumbered output, so one report carries 64 + 2 bytes: length 67.
    Bytes second = {0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x09, 0xE9,
                    0x75, 0x10, 0x95, 0x01, 0x91, 0x02, 0xC0};
    Parsed p(Cat({kVendor64, {0xFE, 0x02, 0x10, 0xAA, 0xBB}, second}));
    ASSERT_TRUE(p);
    HIDP_CAPS c{};
    HidP_GetCaps(p.get(), &c);
    EXPECT_EQ(c.UsagePage, 0xFF00);
    EXPECT_EQ(c.OutputReportByteLength, 67);
    EXPECT_EQ(c.NumberLinkCollectionNodes, 2);
    HIDP_LINK_COLLECTION_NODE nodes[2]{};
    ULONG n = 2;
    ASSERT_EQ(HidP_GetLinkCollectionNodes(nodes, &n, p.get()), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(nodes[0].FirstChild, 1);
    EXPECT_EQ(nodes[1].LinkUsagePage, 0x0C);
    auto v = ValueCaps(p, HidP_Output);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[1].LinkCollection, 1);
    EXPECT_EQ(v[1].LinkUsage, 0x01);
}

TEST(HidpParser, ItemsWithoutCollection) {
    Parsed p({0x06, 0x00, 0xFF, 0x09, 0x01, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02});
    ASSERT_TRUE(p);
    HIDP_CAPS c{};
    HidP_GetCaps(p.get(), &c);
    EXPECT_EQ(c.NumberLinkCollectionNodes, 1);
    EXPECT_EQ(c.InputReportByteLength, 3);
    EXPECT_EQ(c.UsagePage, 0);
}

TEST(HidpParser, MalformedDescriptorsAreRefused) {
    const std::vector<Bytes> bad = {
        {},
        {0x05},                                                        // truncated 1-byte item
        {0x06, 0x00},                                                  // truncated 2-byte item
        {0x27, 0x01, 0x02, 0x03},                                      // truncated 4-byte item
        {0xFE, 0x05, 0x10, 0x01},                                      // truncated long item
        {0xB4},                                                        // pop without push
        {0xC0},                                                        // end without collection
        {0x09, 0x01, 0xA1, 0x01},                                      // collection left open
        {0x85, 0x00},                                                  // report ID 0
        {0x86, 0x00, 0x01},                                            // report ID 256
        {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01},              // ID after unnumbered data
        {0x76, 0x01, 0x01, 0x95, 0x01, 0x09, 0x01, 0x81, 0x02},        // 257-bit data field
        {0x75, 0x20, 0x96, 0xFF, 0xFF, 0x81, 0x03},                    // 256 KiB report
        {0x19, 0x05, 0x29, 0x03, 0x81, 0x02},                          // usage range backwards
        {0x19, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02},              // half a usage range
        {0x1B, 0x01, 0x00, 0x09, 0x00, 0x2B, 0x05, 0x00, 0x01, 0x00},  // range over two pages
        {0xA9, 0x01, 0xA9, 0x01},                                      // nested delimiter set
        {0xA9, 0x00},                                                  // delimiter closed unopened
        {0xA9, 0x01},                                                  // delimiter left open
        // An array over usages 0..65535: more data indices than a report type can have.
        {0x15, 0x00, 0x27, 0xFF, 0xFF, 0x00, 0x00, 0x19, 0x00, 0x2A, 0xFF, 0xFF, 0x75, 0x10, 0x95,
         0x01, 0x81, 0x00},
    };
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_FALSE(Parsed(bad[i])) << "descriptor " << i;
    }
    EXPECT_EQ(hidp::ParseDescriptor(nullptr, 10), nullptr);
    Bytes pushes(33, 0xA4);
    EXPECT_FALSE(Parsed(pushes));
    EXPECT_TRUE(Parsed(Bytes(32, 0xA4)));
    Bytes deep;
    for (int i = 0; i < 65; ++i)
        deep.insert(deep.end(), {0xA1, 0x00});
    deep.insert(deep.end(), 65, 0xC0);
    EXPECT_FALSE(Parsed(deep));
    Bytes huge(70000, 0xB4);
    EXPECT_EQ(hidp::ParseDescriptor(huge.data(), huge.size()), nullptr);
}

// Calls every entry point on parsed data with reports of the right length and random
// content, and checks that Set/Get agree and that lists never exceed their stated maxima.
void Exercise(PHIDP_PREPARSED_DATA data, std::mt19937& rng) {
    HIDP_CAPS caps{};
    ASSERT_EQ(HidP_GetCaps(data, &caps), HIDP_STATUS_SUCCESS);
    std::vector<HIDP_LINK_COLLECTION_NODE> nodes(caps.NumberLinkCollectionNodes);
    ULONG n = static_cast<ULONG>(nodes.size());
    ASSERT_EQ(HidP_GetLinkCollectionNodes(nodes.data(), &n, data), HIDP_STATUS_SUCCESS);
    for (const auto& node : nodes) {
        ASSERT_LT(node.Parent, nodes.size());
        ASSERT_LT(node.FirstChild, nodes.size());
        ASSERT_LT(node.NextSibling, nodes.size());
    }
    const USHORT lengths[3] = {caps.InputReportByteLength, caps.OutputReportByteLength,
                               caps.FeatureReportByteLength};
    for (int t = 0; t < 3; ++t) {
        auto type = static_cast<HIDP_REPORT_TYPE>(t);
        std::vector<char> report(std::max<USHORT>(lengths[t], 1));
        for (char& ch : report)
            ch = static_cast<char>(rng());
        auto len = static_cast<ULONG>(lengths[t]);

        std::vector<HIDP_BUTTON_CAPS> buttons(512);
        USHORT nb = 512;
        if (HidP_GetSpecificButtonCaps(type, 0, 0, 0, buttons.data(), &nb, data) !=
            HIDP_STATUS_SUCCESS) {
            nb = 0;
        }
        const ULONG maxUsages = HidP_MaxUsageListLength(type, 0, data);
        for (USHORT i = 0; i < nb; ++i) {
            const HIDP_BUTTON_CAPS& b = buttons[i];
            report[0] = static_cast<char>(b.ReportID);
            USAGE u = b.IsRange ? b.Range.UsageMax : b.NotRange.Usage;
            SCOPED_TRACE("type " + std::to_string(t) + " button cap " + std::to_string(i) +
                         " usage " + std::to_string(u));
            ULONG one = 1;
            if (u != 0 && HidP_SetUsages(type, b.UsagePage, b.LinkCollection, &u, &one, data,
                                         report.data(), len) == HIDP_STATUS_SUCCESS) {
                std::vector<USAGE> got(maxUsages + 1);
                ULONG m = static_cast<ULONG>(got.size());
                ASSERT_EQ(HidP_GetUsages(type, b.UsagePage, b.LinkCollection, got.data(), &m, data,
                                         report.data(), len),
                          HIDP_STATUS_SUCCESS);
                ASSERT_LE(m, maxUsages);
                ASSERT_NE(std::find(got.begin(), got.begin() + m, u), got.begin() + m);
                one = 1;
                ASSERT_EQ(HidP_UnsetUsages(type, b.UsagePage, b.LinkCollection, &u, &one, data,
                                           report.data(), len),
                          HIDP_STATUS_SUCCESS);
            }
            std::vector<USAGE_AND_PAGE> ex(maxUsages + 1);
            ULONG m = static_cast<ULONG>(ex.size());
            if (HidP_GetUsagesEx(type, 0, ex.data(), &m, data, report.data(), len) ==
                HIDP_STATUS_SUCCESS) {
                ASSERT_LE(m, maxUsages);
            }
        }

        std::vector<HIDP_VALUE_CAPS> values(512);
        USHORT nv = 512;
        if (HidP_GetSpecificValueCaps(type, 0, 0, 0, values.data(), &nv, data) !=
            HIDP_STATUS_SUCCESS) {
            nv = 0;
        }
        for (USHORT i = 0; i < nv; ++i) {
            const HIDP_VALUE_CAPS& v = values[i];
            report[0] = static_cast<char>(v.ReportID);
            USAGE u = v.IsRange ? v.Range.UsageMin : v.NotRange.Usage;
            ULONG mask = v.BitSize >= 32 ? 0xFFFFFFFFu : (1u << v.BitSize) - 1;
            ULONG want = static_cast<ULONG>(rng()) & mask;
            if (HidP_SetUsageValue(type, v.UsagePage, v.LinkCollection, u, want, data,
                                   report.data(), len) == HIDP_STATUS_SUCCESS) {
                ULONG got = ~want;
                ASSERT_EQ(HidP_GetUsageValue(type, v.UsagePage, v.LinkCollection, u, &got, data,
                                             report.data(), len),
                          HIDP_STATUS_SUCCESS);
                ASSERT_EQ(got, want);
            }
            LONG scaled = 0;
            if (HidP_GetScaledUsageValue(type, v.UsagePage, v.LinkCollection, u, &scaled, data,
                                         report.data(), len) == HIDP_STATUS_SUCCESS) {
                // Scaling back and forth is stable (rounding to nearest both ways).
                ASSERT_EQ(HidP_SetScaledUsageValue(type, v.UsagePage, v.LinkCollection, u, scaled,
                                                   data, report.data(), len),
                          HIDP_STATUS_SUCCESS);
                LONG again = ~scaled;
                ASSERT_EQ(HidP_GetScaledUsageValue(type, v.UsagePage, v.LinkCollection, u, &again,
                                                   data, report.data(), len),
                          HIDP_STATUS_SUCCESS);
                ASSERT_EQ(again, scaled);
            }
            std::vector<char> array((v.BitSize * v.ReportCount + 7) / 8 + 1);
            auto alen = static_cast<USHORT>(std::min<std::size_t>(array.size(), 0xFFFF));
            if (HidP_GetUsageValueArray(type, v.UsagePage, v.LinkCollection, u, array.data(), alen,
                                        data, report.data(), len) == HIDP_STATUS_SUCCESS) {
                HidP_SetUsageValueArray(type, v.UsagePage, v.LinkCollection, u, array.data(), alen,
                                        data, report.data(), len);
            }
        }

        const ULONG maxData = HidP_MaxDataListLength(type, data);
        std::vector<HIDP_DATA> list(maxData + 1);
        ULONG m = static_cast<ULONG>(list.size());
        if (HidP_GetData(type, list.data(), &m, data, report.data(), len) == HIDP_STATUS_SUCCESS) {
            ASSERT_LE(m, maxData);
            HidP_SetData(type, list.data(), &m, data, report.data(), len);
        }
        HIDP_DATA random{};
        random.DataIndex = static_cast<USHORT>(rng());
        random.RawValue = static_cast<ULONG>(rng());
        m = 1;
        HidP_SetData(type, &random, &m, data, report.data(), len);
    }
}

void ParseAndExercise(const Bytes& d, std::mt19937& rng) {
    std::string hex;
    for (uint8_t b : d)
        hex += " " + std::to_string(b);
    SCOPED_TRACE("descriptor:" + hex);
    Parsed p(d);
    if (p) Exercise(p.get(), rng);
}

TEST(HidpFuzz, TruncatedDescriptors) {
    std::mt19937 rng(1);
    for (const Bytes* d : {&kKeyboard, &kMouse, &kGamepad, &kVendor64}) {
        for (std::size_t len = 0; len < d->size(); ++len) {
            Bytes cut(d->begin(), d->begin() + static_cast<std::ptrdiff_t>(len));
            ParseAndExercise(cut, rng);
            // Closed up, many cuts become valid descriptors with partial items.
            cut.insert(cut.end(), 2, 0xC0);
            ParseAndExercise(cut, rng);
            if (HasFatalFailure()) return;
        }
    }
}

TEST(HidpFuzz, FlippedBytes) {
    std::mt19937 rng(2);
    for (const Bytes* d : {&kKeyboard, &kMouse, &kGamepad, &kVendor64}) {
        for (std::size_t i = 0; i < d->size(); ++i) {
            for (uint8_t x : {0x01, 0x02, 0x10, 0x80, 0xFF}) {
                Bytes b = *d;
                b[i] ^= x;
                ParseAndExercise(b, rng);
            }
            Bytes b = *d;
            b[i] = static_cast<uint8_t>(rng());
            ParseAndExercise(b, rng);
            if (HasFatalFailure()) return;
        }
    }
}

// A random item of a kind a descriptor uses, with random data of a random size; report
// sizes and counts stay small so that most streams describe something.
struct Stream {
    Bytes d;
    int pushes = 0, collections = 0;
};

void RandomItem(std::mt19937& rng, Stream& st) {
    Bytes& d = st.d;
    static const uint8_t kTags[] = {0x04, 0x14, 0x24, 0x34, 0x44, 0x54, 0x64, 0x74, 0x84, 0x94,
                                    0xA4, 0xB4, 0x08, 0x08, 0x08, 0x18, 0x38, 0x78, 0x88, 0x98,
                                    0xA8, 0x80, 0x80, 0x80, 0x90, 0x90, 0xB0, 0xA0, 0xC0};
    uint8_t tag = kTags[rng() % sizeof kTags];
    // Mostly balanced: pops and ends only when something is open.
    if (tag == 0xB4 && st.pushes == 0 && rng() % 8 != 0) tag = 0xA4;
    if (tag == 0xC0 && st.collections == 0 && rng() % 8 != 0) tag = 0xA0;
    if (tag == 0xA4) ++st.pushes;
    if (tag == 0xB4) --st.pushes;
    if (tag == 0xA0) ++st.collections;
    if (tag == 0xC0) --st.collections;
    if (tag == 0x18) {  // a usage range: minimum, then maximum after it
        uint32_t lo = rng() % 64;
        d.insert(d.end(),
                 {0x19, static_cast<uint8_t>(lo), 0x29, static_cast<uint8_t>(lo + rng() % 16)});
        return;
    }
    if (rng() % 50 == 0) tag = static_cast<uint8_t>(rng() & 0xFC);
    uint32_t value = static_cast<uint32_t>(rng());
    switch (tag) {
        case 0x74:
            value = std::array<uint32_t, 6>{1, 1, 4, 8, 16, 32}[rng() % 6];
            break;
        case 0x84:
            value = 1 + rng() % 3;
            break;
        case 0x94:
            value = 1 + rng() % 12;
            break;
        case 0xA8:
            value = rng() % 2;
            break;
        case 0x80:
        case 0x90:
        case 0xB0:
            value &= rng() % 2 ? 0x42u : 0x1FFu;
            break;
        case 0xA0:
            value %= 7;
            break;
        case 0xA4:
        case 0xB4:
        case 0xC0:
            d.push_back(tag);
            return;
        default:
            value %= std::array<uint32_t, 3>{16, 256, 0x10000}[rng() % 3];
            if (rng() % 8 == 0) value = static_cast<uint32_t>(rng());
    }
    int bytes = value > 0xFFFF ? 4 : value > 0xFF ? 2 : std::array<int, 3>{1, 2, 4}[rng() % 3];
    d.push_back(static_cast<uint8_t>(tag | (bytes == 4 ? 3 : bytes)));
    for (int k = 0; k < bytes; ++k)
        d.push_back(static_cast<uint8_t>(value >> (8 * k)));
}

TEST(HidpFuzz, RandomItemStreams) {
    std::mt19937 rng(3);
    int parsed = 0;
    for (int round = 0; round < 3000; ++round) {
        Stream st;
        st.d = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01};
        int items = 4 + static_cast<int>(rng() % 40);
        for (int i = 0; i < items; ++i)
            RandomItem(rng, st);
        Bytes& d = st.d;
        d.insert(d.end(), static_cast<std::size_t>(std::max(st.collections, 0)) + 1, 0xC0);
        Parsed p(d);
        parsed += p ? 1 : 0;
        ParseAndExercise(d, rng);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(parsed, 600);  // the stream generator still reaches the Get/Set paths
}

}  // namespace
