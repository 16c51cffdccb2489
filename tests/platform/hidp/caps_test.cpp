// Capabilities of real descriptor shapes; the expected figures are worked out by hand from
// the item lists in descriptors.h.
#include <gtest/gtest.h>

#include "tests/platform/hidp/descriptors.h"

using namespace hidp_test;

namespace {

HIDP_CAPS CapsOf(const std::vector<uint8_t>& d) {
    Parsed p(d);
    EXPECT_TRUE(p);
    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(p.get(), &caps), HIDP_STATUS_SUCCESS);
    return caps;
}

TEST(HidpCaps, BootKeyboard) {
    // In: 8 modifier bits + 8 reserved + 6x8 keys = 64 bits = 8 bytes, +1 ID byte = 9.
    // Out: 5 LED bits + 3 padding = 1 byte, +1 = 2. No feature items.
    // Buttons in: modifier range and key array; data indices 8 modifiers + 102 keys = 110.
    HIDP_CAPS c = CapsOf(kKeyboard);
    EXPECT_EQ(c.UsagePage, 0x01);
    EXPECT_EQ(c.Usage, 0x06);
    EXPECT_EQ(c.InputReportByteLength, 9);
    EXPECT_EQ(c.OutputReportByteLength, 2);
    EXPECT_EQ(c.FeatureReportByteLength, 0);
    EXPECT_EQ(c.NumberLinkCollectionNodes, 1);
    EXPECT_EQ(c.NumberInputButtonCaps, 2);
    EXPECT_EQ(c.NumberInputValueCaps, 0);
    EXPECT_EQ(c.NumberInputDataIndices, 110);
    EXPECT_EQ(c.NumberOutputButtonCaps, 1);
    EXPECT_EQ(c.NumberOutputDataIndices, 5);
    EXPECT_EQ(c.NumberFeatureButtonCaps + c.NumberFeatureValueCaps, 0);
}

TEST(HidpCaps, BootMouse) {
    // In: 3 buttons + 5 padding + X + Y bytes = 3 bytes, +1 = 4. Two collections
    // (application, physical). Button range 1 cap; X and Y each a value cap; 3 + 2 indices.
    HIDP_CAPS c = CapsOf(kMouse);
    EXPECT_EQ(c.UsagePage, 0x01);
    EXPECT_EQ(c.Usage, 0x02);
    EXPECT_EQ(c.InputReportByteLength, 4);
    EXPECT_EQ(c.OutputReportByteLength, 0);
    EXPECT_EQ(c.NumberLinkCollectionNodes, 2);
    EXPECT_EQ(c.NumberInputButtonCaps, 1);
    EXPECT_EQ(c.NumberInputValueCaps, 2);
    EXPECT_EQ(c.NumberInputDataIndices, 5);
}

TEST(HidpCaps, NumberedGamepad) {
    // ID 1: 10 buttons + 6 padding + X + Y = 4 bytes. ID 2: Z, Rz 16 bits each + hat 4 +
    // padding 4 = 5 bytes. Input length = 1 + longest (5) = 6. Feature ID 3: 1 byte -> 2.
    // Values: X, Y, Z, Rz, hat = 5 caps; indices 10 + 5 = 15.
    HIDP_CAPS c = CapsOf(kGamepad);
    EXPECT_EQ(c.UsagePage, 0x01);
    EXPECT_EQ(c.Usage, 0x05);
    EXPECT_EQ(c.InputReportByteLength, 6);
    EXPECT_EQ(c.OutputReportByteLength, 0);
    EXPECT_EQ(c.FeatureReportByteLength, 2);
    EXPECT_EQ(c.NumberInputButtonCaps, 1);
    EXPECT_EQ(c.NumberInputValueCaps, 5);
    EXPECT_EQ(c.NumberInputDataIndices, 15);
    EXPECT_EQ(c.NumberFeatureValueCaps, 1);
    EXPECT_EQ(c.NumberFeatureDataIndices, 1);
}

TEST(HidpCaps, Vendor64ByteDevice) {
    // 64 one-byte fields each way, unnumbered: 64 + the ID byte (0) = 65. One usage over 64
    // fields is one value cap (a value array) with one data index.
    HIDP_CAPS c = CapsOf(kVendor64);
    EXPECT_EQ(c.UsagePage, 0xFF00);
    EXPECT_EQ(c.Usage, 0x01);
    EXPECT_EQ(c.InputReportByteLength, 65);
    EXPECT_EQ(c.OutputReportByteLength, 65);
    EXPECT_EQ(c.FeatureReportByteLength, 0);
    EXPECT_EQ(c.NumberLinkCollectionNodes, 1);
    EXPECT_EQ(c.NumberInputValueCaps, 1);
    EXPECT_EQ(c.NumberOutputValueCaps, 1);
    EXPECT_EQ(c.NumberInputDataIndices, 1);
    EXPECT_EQ(c.NumberOutputDataIndices, 1);
}

}  // namespace

namespace {

TEST(HidpCaps, MouseLinkCollections) {
    // Node 0: the application collection (Mouse), one child. Node 1: the physical collection
    // (Pointer) below it.
    Parsed p(kMouse);
    HIDP_LINK_COLLECTION_NODE nodes[3]{};
    ULONG n = 1;
    EXPECT_EQ(HidP_GetLinkCollectionNodes(nodes, &n, p.get()), HIDP_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 2u);
    n = 3;
    ASSERT_EQ(HidP_GetLinkCollectionNodes(nodes, &n, p.get()), HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(nodes[0].LinkUsagePage, 0x01);
    EXPECT_EQ(nodes[0].LinkUsage, 0x02);
    EXPECT_EQ(nodes[0].CollectionType, 1u);
    EXPECT_EQ(nodes[0].NumberOfChildren, 1);
    EXPECT_EQ(nodes[0].FirstChild, 1);
    EXPECT_EQ(nodes[1].LinkUsage, 0x01);
    EXPECT_EQ(nodes[1].Parent, 0);
    EXPECT_EQ(nodes[1].CollectionType, 0u);
    EXPECT_EQ(nodes[1].NumberOfChildren, 0);
}

TEST(HidpCaps, MouseButtonAndValueCaps) {
    // Data indices in descriptor order: buttons 1..3 -> 0..2, X -> 3, Y -> 4. All in the
    // physical collection (node 1).
    Parsed p(kMouse);
    HIDP_BUTTON_CAPS b[2]{};
    USHORT n = 2;
    ASSERT_EQ(HidP_GetSpecificButtonCaps(HidP_Input, 0, 0, 0, b, &n, p.get()), HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(b[0].UsagePage, 0x09);
    EXPECT_TRUE(b[0].IsRange);
    EXPECT_EQ(b[0].Range.UsageMin, 1);
    EXPECT_EQ(b[0].Range.UsageMax, 3);
    EXPECT_EQ(b[0].Range.DataIndexMin, 0);
    EXPECT_EQ(b[0].Range.DataIndexMax, 2);
    EXPECT_EQ(b[0].LinkCollection, 1);
    EXPECT_EQ(b[0].LinkUsage, 0x01);
    EXPECT_EQ(b[0].BitField, 0x02);

    HIDP_VALUE_CAPS v[2]{};
    n = 2;
    ASSERT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0x01, 1, 0x31, v, &n, p.get()),
              HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 1);
    EXPECT_FALSE(v[0].IsRange);
    EXPECT_EQ(v[0].NotRange.Usage, 0x31);
    EXPECT_EQ(v[0].NotRange.DataIndex, 4);
    EXPECT_EQ(v[0].LogicalMin, -127);
    EXPECT_EQ(v[0].LogicalMax, 127);
    EXPECT_EQ(v[0].BitSize, 8);
    EXPECT_EQ(v[0].ReportCount, 1);
    EXPECT_FALSE(v[0].IsAbsolute);

    // Capacity 1 of 2 matches: one copied, success.
    n = 1;
    EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0, 0, 0, v, &n, p.get()), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(v[0].NotRange.Usage, 0x30);

    n = 2;
    EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0x01, 0, 0x32, v, &n, p.get()),
              HIDP_STATUS_USAGE_NOT_FOUND);
    EXPECT_EQ(n, 0);
    n = 2;
    EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0x01, 2, 0, v, &n, p.get()),
              HIDP_STATUS_USAGE_NOT_FOUND);
    n = 2;
    EXPECT_EQ(HidP_GetSpecificButtonCaps(HidP_Output, 0, 0, 0, b, &n, p.get()),
              HIDP_STATUS_USAGE_NOT_FOUND);
    n = 2;
    EXPECT_EQ(HidP_GetSpecificButtonCaps(static_cast<HIDP_REPORT_TYPE>(3), 0, 0, 0, b, &n, p.get()),
              HIDP_STATUS_INVALID_REPORT_TYPE);
}

TEST(HidpCaps, GamepadValueCapsCarryRangesAndUnits) {
    // Hat: logical 0..7, physical 0..315, unit 0x14, null state; report ID 2, index 14.
    // Z: logical -32768..32767 in 16 bits; report ID 2, index 12.
    Parsed p(kGamepad);
    HIDP_VALUE_CAPS v{};
    USHORT n = 1;
    ASSERT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0x01, 0, 0x39, &v, &n, p.get()),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(v.ReportID, 2);
    EXPECT_EQ(v.PhysicalMax, 315);
    EXPECT_EQ(v.Units, 0x14u);
    EXPECT_TRUE(v.HasNull);
    EXPECT_EQ(v.BitSize, 4);
    EXPECT_EQ(v.NotRange.DataIndex, 14);
    n = 1;
    ASSERT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0x01, 0, 0x32, &v, &n, p.get()),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(v.LogicalMin, -32768);
    EXPECT_EQ(v.LogicalMax, 32767);
    EXPECT_EQ(v.NotRange.DataIndex, 12);
    // X: "0x26 0xFF 0x00" is 255.
    n = 1;
    ASSERT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0x01, 0, 0x30, &v, &n, p.get()),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(v.ReportID, 1);
    EXPECT_EQ(v.LogicalMax, 255);
}

TEST(HidpCaps, KeyboardCapsAndListLengths) {
    Parsed p(kKeyboard);
    HIDP_BUTTON_CAPS b[2]{};
    USHORT n = 2;
    ASSERT_EQ(HidP_GetSpecificButtonCaps(HidP_Input, 0x07, 0, 0, b, &n, p.get()),
              HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(b[0].Range.UsageMin, 0xE0);
    EXPECT_EQ(b[0].Range.DataIndexMax, 7);
    EXPECT_EQ(b[1].Range.UsageMin, 0x00);
    EXPECT_EQ(b[1].Range.UsageMax, 0x65);
    EXPECT_EQ(b[1].Range.DataIndexMin, 8);
    EXPECT_EQ(b[1].Range.DataIndexMax, 109);
    EXPECT_EQ(b[1].BitField, 0x00);  // array
    // A usage inside a range matches the range's cap.
    n = 2;
    EXPECT_EQ(HidP_GetSpecificButtonCaps(HidP_Input, 0x07, 0, 0x04, b, &n, p.get()),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(n, 1);
    // 8 modifier bits + 6 key slots can report at most 14 usages at once.
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0x07, p.get()), 14u);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0, p.get()), 14u);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Output, 0x08, p.get()), 5u);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Output, 0x07, p.get()), 0u);
    EXPECT_EQ(HidP_MaxDataListLength(HidP_Input, p.get()), 14u);
}

TEST(HidpCaps, InvalidPreparsedDataIsRefused) {
    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(nullptr, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    // A pointer to something that is not preparsed data.
    alignas(16) unsigned char garbage[256] = {0x5A};
    auto fake = reinterpret_cast<PHIDP_PREPARSED_DATA>(garbage);
    EXPECT_EQ(HidP_GetCaps(fake, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    ULONG n = 4;
    EXPECT_EQ(HidP_GetLinkCollectionNodes(nullptr, &n, fake), HIDP_STATUS_INVALID_PREPARSED_DATA);
    EXPECT_EQ(HidP_MaxDataListLength(HidP_Input, fake), 0u);
    char report[65] = {};
    ULONG value = 0;
    EXPECT_EQ(HidP_GetUsageValue(HidP_Input, 0xFF00, 0, 2, &value, fake, report, 65),
              HIDP_STATUS_INVALID_PREPARSED_DATA);
    hidp::FreePreparsedData(fake);  // ignored, not ours
    hidp::FreePreparsedData(nullptr);
}

}  // namespace
