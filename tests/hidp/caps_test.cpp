// Capabilities of real descriptor shapes; the expected figures are worked out by hand from
// the item lists in descriptors.h.
#include <gtest/gtest.h>

#include "tests/hidp/descriptors.h"

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
