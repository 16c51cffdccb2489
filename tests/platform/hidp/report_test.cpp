// Set/Get round trips on reports and the status of each refused call. Bit positions are
// worked out from the item lists in descriptors.h (byte 0 is the report ID).
#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

#include "tests/platform/hidp/descriptors.h"

using namespace hidp_test;

namespace {

constexpr USAGE kKeys = 0x07, kLeds = 0x08, kButtons = 0x09, kDesktop = 0x01;

TEST(HidpButtons, KeyboardRoundTrip) {
    // Left Shift (0xE1) is modifier bit 1 of byte 1; keys 'a' (4) and 'b' (5) take the first
    // two key slots, bytes 3 and 4.
    Parsed p(kKeyboard);
    std::array<char, 9> r{};
    std::array<USAGE, 3> set{0xE1, 0x04, 0x05};
    ULONG n = 3;
    ASSERT_EQ(HidP_SetUsages(HidP_Input, kKeys, 0, set.data(), &n, p.get(), r.data(), 9),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r[1], 0x02);
    EXPECT_EQ(r[2], 0x00);
    EXPECT_EQ(r[3], 0x04);
    EXPECT_EQ(r[4], 0x05);
    EXPECT_EQ(r[5], 0x00);

    // Setting a pressed key again takes no second slot.
    USAGE again = 0x04;
    n = 1;
    ASSERT_EQ(HidP_SetUsages(HidP_Input, kKeys, 0, &again, &n, p.get(), r.data(), 9),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r[5], 0x00);

    std::array<USAGE, 14> got{};
    n = 14;
    ASSERT_EQ(HidP_GetUsages(HidP_Input, kKeys, 0, got.data(), &n, p.get(), r.data(), 9),
              HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(got[0], 0xE1);
    EXPECT_EQ(got[1], 0x04);
    EXPECT_EQ(got[2], 0x05);

    // Too small a list: what fits, and the count needed.
    n = 2;
    EXPECT_EQ(HidP_GetUsages(HidP_Input, kKeys, 0, got.data(), &n, p.get(), r.data(), 9),
              HIDP_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 3u);

    std::array<USAGE_AND_PAGE, 4> ex{};
    n = 4;
    ASSERT_EQ(HidP_GetUsagesEx(HidP_Input, 0, ex.data(), &n, p.get(), r.data(), 9),
              HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(ex[2].Usage, 0x05);
    EXPECT_EQ(ex[2].UsagePage, kKeys);

    // Unset: a pressed key frees its slot; one not pressed is reported.
    USAGE a = 0x04, z = 0x1D;
    n = 1;
    ASSERT_EQ(HidP_UnsetUsages(HidP_Input, kKeys, 0, &a, &n, p.get(), r.data(), 9),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r[3], 0x00);
    EXPECT_EQ(r[4], 0x05);
    n = 1;
    EXPECT_EQ(HidP_UnsetUsages(HidP_Input, kKeys, 0, &z, &n, p.get(), r.data(), 9),
              HIDP_STATUS_BUTTON_NOT_PRESSED);
    USAGE shiftRight = 0xE5;
    n = 1;
    EXPECT_EQ(HidP_UnsetUsages(HidP_Input, kKeys, 0, &shiftRight, &n, p.get(), r.data(), 9),
              HIDP_STATUS_BUTTON_NOT_PRESSED);
    EXPECT_EQ(r[1], 0x02);
}

TEST(HidpButtons, KeyboardSlotsRunOut) {
    // Six key slots: the seventh key fails, and the length names the failing entry.
    Parsed p(kKeyboard);
    std::array<char, 9> r{};
    std::array<USAGE, 7> keys{4, 5, 6, 7, 8, 9, 10};
    ULONG n = 7;
    EXPECT_EQ(HidP_SetUsages(HidP_Input, kKeys, 0, keys.data(), &n, p.get(), r.data(), 9),
              HIDP_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(r[8], 9);
    // A usage outside every cap of the page.
    USAGE beyond = 0x66;
    n = 1;
    EXPECT_EQ(HidP_SetUsages(HidP_Input, kKeys, 0, &beyond, &n, p.get(), r.data(), 9),
              HIDP_STATUS_USAGE_NOT_FOUND);
    EXPECT_EQ(n, 0u);
}

TEST(HidpButtons, KeyboardLedOutput) {
    // LEDs 1 and 3 are bits 0 and 2 of output byte 1.
    Parsed p(kKeyboard);
    std::array<char, 2> r{};
    std::array<USAGE, 2> leds{1, 3};
    ULONG n = 2;
    ASSERT_EQ(HidP_SetUsages(HidP_Output, kLeds, 0, leds.data(), &n, p.get(), r.data(), 2),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r[1], 0x05);
    n = 2;
    EXPECT_EQ(HidP_SetUsages(HidP_Input, kLeds, 0, leds.data(), &n, p.get(), r.data(), 2),
              HIDP_STATUS_INVALID_REPORT_LENGTH);
    n = 2;
    EXPECT_EQ(HidP_GetUsages(HidP_Output, kKeys, 0, leds.data(), &n, p.get(), r.data(), 2),
              HIDP_STATUS_USAGE_NOT_FOUND);
    n = 2;
    EXPECT_EQ(HidP_GetUsages(HidP_Feature, kLeds, 0, leds.data(), &n, p.get(), r.data(), 2),
              HIDP_STATUS_REPORT_DOES_NOT_EXIST);
}

TEST(HidpButtons, ArraySelectorsFollowLogicalRange) {
    // Two 8-bit slots, logical 1..3 over usages 0x10..0x13: value 1 picks 0x10, value 2 picks
    // 0x11; 0x13 would need value 4, outside the logical range; 0 is an empty slot.
    Parsed p({0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x01, 0x25, 0x03,
              0x19, 0x10, 0x29, 0x13, 0x75, 0x08, 0x95, 0x02, 0x81, 0x00, 0xC0});
    ASSERT_TRUE(p);
    std::array<char, 3> r{};
    USAGE u = 0x11;
    ULONG n = 1;
    ASSERT_EQ(HidP_SetUsages(HidP_Input, 0xFF00, 0, &u, &n, p.get(), r.data(), 3),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r[1], 2);
    u = 0x13;
    n = 1;
    EXPECT_EQ(HidP_SetUsages(HidP_Input, 0xFF00, 0, &u, &n, p.get(), r.data(), 3),
              HIDP_STATUS_VALUE_OUT_OF_RANGE);
    EXPECT_EQ(r[2], 0);
    r[2] = 1;
    std::array<USAGE, 2> got{};
    n = 2;
    ASSERT_EQ(HidP_GetUsages(HidP_Input, 0xFF00, 0, got.data(), &n, p.get(), r.data(), 3),
              HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(got[0], 0x11);
    EXPECT_EQ(got[1], 0x10);
    r[1] = 4;  // outside the logical range: no usage
    n = 2;
    ASSERT_EQ(HidP_GetUsages(HidP_Input, 0xFF00, 0, got.data(), &n, p.get(), r.data(), 3),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(n, 1u);
}

TEST(HidpButtons, MouseButtonsInPhysicalCollection) {
    Parsed p(kMouse);
    std::array<char, 4> r{0, 0x05, 0, 0};  // buttons 1 and 3
    std::array<USAGE, 3> got{};
    ULONG n = 3;
    ASSERT_EQ(HidP_GetUsages(HidP_Input, kButtons, 1, got.data(), &n, p.get(), r.data(), 4),
              HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(got[0], 1);
    EXPECT_EQ(got[1], 3);
    n = 3;
    EXPECT_EQ(HidP_GetUsages(HidP_Input, kButtons, 0, got.data(), &n, p.get(), r.data(), 4),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(n, 2u);
    // Collection 0 is "any"; a collection holding no buttons finds none.
    n = 3;
    EXPECT_EQ(HidP_GetUsages(HidP_Input, kButtons, 5, got.data(), &n, p.get(), r.data(), 4),
              HIDP_STATUS_USAGE_NOT_FOUND);
    // The padding bits above the buttons are not buttons.
    r[1] = static_cast<char>(0xF8);
    n = 3;
    EXPECT_EQ(HidP_GetUsages(HidP_Input, kButtons, 0, got.data(), &n, p.get(), r.data(), 4),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(n, 0u);
}

TEST(HidpValues, MouseSignedAndScaled) {
    // X is byte 2, Y byte 3; logical -127..127, no physical range (taken as logical).
    Parsed p(kMouse);
    std::array<char, 4> r{};
    ASSERT_EQ(HidP_SetUsageValue(HidP_Input, kDesktop, 0, 0x30, static_cast<ULONG>(-5), p.get(),
                                 r.data(), 4),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<uint8_t>(r[2]), 0xFB);
    ULONG raw = 0;
    ASSERT_EQ(HidP_GetUsageValue(HidP_Input, kDesktop, 0, 0x30, &raw, p.get(), r.data(), 4),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(raw, 0xFBu);
    LONG scaled = 0;
    ASSERT_EQ(
        HidP_GetScaledUsageValue(HidP_Input, kDesktop, 0, 0x30, &scaled, p.get(), r.data(), 4),
        HIDP_STATUS_SUCCESS);
    EXPECT_EQ(scaled, -5);

    ASSERT_EQ(HidP_SetScaledUsageValue(HidP_Input, kDesktop, 0, 0x31, 127, p.get(), r.data(), 4),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r[3], 127);
    EXPECT_EQ(HidP_SetScaledUsageValue(HidP_Input, kDesktop, 0, 0x31, 128, p.get(), r.data(), 4),
              HIDP_STATUS_VALUE_OUT_OF_RANGE);
    EXPECT_EQ(r[3], 127);
    // 300 does not fit 8 bits: refused rather than cut to 44.
    EXPECT_EQ(HidP_SetUsageValue(HidP_Input, kDesktop, 0, 0x31, 300, p.get(), r.data(), 4),
              HIDP_STATUS_VALUE_OUT_OF_RANGE);
    EXPECT_EQ(r[3], 127);
    // -128 is outside the logical range.
    r[2] = static_cast<char>(0x80);
    EXPECT_EQ(
        HidP_GetScaledUsageValue(HidP_Input, kDesktop, 0, 0x30, &scaled, p.get(), r.data(), 4),
        HIDP_STATUS_VALUE_OUT_OF_RANGE);
    EXPECT_EQ(HidP_GetUsageValue(HidP_Input, kDesktop, 0, 0x32, &raw, p.get(), r.data(), 4),
              HIDP_STATUS_USAGE_NOT_FOUND);
    EXPECT_EQ(HidP_GetUsageValue(HidP_Input, kButtons, 0, 0x01, &raw, p.get(), r.data(), 4),
              HIDP_STATUS_USAGE_NOT_FOUND);
}

TEST(HidpValues, GamepadReportIds) {
    // Z is bytes 1-2 of report 2; a zeroed buffer takes the ID of the report it is set in.
    Parsed p(kGamepad);
    std::array<char, 6> r{};
    ASSERT_EQ(HidP_SetUsageValue(HidP_Input, kDesktop, 0, 0x32, 0x1234, p.get(), r.data(), 6),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r[0], 2);
    EXPECT_EQ(r[1], 0x34);
    EXPECT_EQ(r[2], 0x12);
    // X lives in report 1.
    EXPECT_EQ(HidP_SetUsageValue(HidP_Input, kDesktop, 0, 0x30, 1, p.get(), r.data(), 6),
              HIDP_STATUS_INCOMPATIBLE_REPORT_ID);
    std::array<USAGE, 10> got{};
    ULONG n = 10;
    EXPECT_EQ(HidP_GetUsages(HidP_Input, kButtons, 0, got.data(), &n, p.get(), r.data(), 6),
              HIDP_STATUS_INCOMPATIBLE_REPORT_ID);
    // Rz is signed 16 bits: -2 reads back raw 0xFFFE, scaled -2.
    ASSERT_EQ(HidP_SetScaledUsageValue(HidP_Input, kDesktop, 0, 0x35, -2, p.get(), r.data(), 6),
              HIDP_STATUS_SUCCESS);
    ULONG raw = 0;
    ASSERT_EQ(HidP_GetUsageValue(HidP_Input, kDesktop, 0, 0x35, &raw, p.get(), r.data(), 6),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(raw, 0xFFFEu);

    // Hat: 4 bits in the low half of byte 5, logical 0..7 over 0..315 degrees: raw 2 is
    // 2 * 315 / 7 = 90; 270 degrees is raw 6; raw 8 is the null state.
    r[5] = 0x02;
    LONG degrees = 0;
    ASSERT_EQ(
        HidP_GetScaledUsageValue(HidP_Input, kDesktop, 0, 0x39, &degrees, p.get(), r.data(), 6),
        HIDP_STATUS_SUCCESS);
    EXPECT_EQ(degrees, 90);
    r[5] = static_cast<char>(0xF0);  // padding bits set: must stay untouched
    ASSERT_EQ(HidP_SetScaledUsageValue(HidP_Input, kDesktop, 0, 0x39, 270, p.get(), r.data(), 6),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<uint8_t>(r[5]), 0xF6);
    // The hat has a null state: a bearing outside 0..315 writes it (raw 8, just past the
    // logical maximum) and reading it back says "null", not a bearing.
    EXPECT_EQ(HidP_SetScaledUsageValue(HidP_Input, kDesktop, 0, 0x39, 316, p.get(), r.data(), 6),
              HIDP_STATUS_NULL);
    EXPECT_EQ(static_cast<uint8_t>(r[5]), 0xF8);
    EXPECT_EQ(
        HidP_GetScaledUsageValue(HidP_Input, kDesktop, 0, 0x39, &degrees, p.get(), r.data(), 6),
        HIDP_STATUS_NULL);
    // Z has none: out of range stays an error and the report is untouched.
    EXPECT_EQ(HidP_SetScaledUsageValue(HidP_Input, kDesktop, 0, 0x32, 40000, p.get(), r.data(), 6),
              HIDP_STATUS_VALUE_OUT_OF_RANGE);
    EXPECT_EQ(r[1], 0x34);

    // Report 1: button 10 is bit 1 of byte 2; X byte 3.
    std::array<char, 6> r1{};
    USAGE ten = 10;
    n = 1;
    ASSERT_EQ(HidP_SetUsages(HidP_Input, kButtons, 0, &ten, &n, p.get(), r1.data(), 6),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r1[0], 1);
    EXPECT_EQ(r1[2], 0x02);
    ASSERT_EQ(HidP_SetUsageValue(HidP_Input, kDesktop, 0, 0x30, 200, p.get(), r1.data(), 6),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<uint8_t>(r1[3]), 200);
    // An ID with no input report.
    r1[0] = 3;
    n = 10;
    EXPECT_EQ(HidP_GetUsages(HidP_Input, kButtons, 0, got.data(), &n, p.get(), r1.data(), 6),
              HIDP_STATUS_INCOMPATIBLE_REPORT_ID);
}

TEST(HidpValues, GamepadFeatureWithoutPhysicalRange) {
    // Feature 3: one vendor byte, logical 0..255, physical 0..0 (= logical), 2 bytes long.
    Parsed p(kGamepad);
    std::array<char, 2> r{3, 0};
    ASSERT_EQ(HidP_SetScaledUsageValue(HidP_Feature, 0xFF00, 0, 1, 255, p.get(), r.data(), 2),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<uint8_t>(r[1]), 255);
    EXPECT_EQ(HidP_SetUsageValue(HidP_Feature, 0xFF00, 0, 1, 1, p.get(), r.data(), 3),
              HIDP_STATUS_INVALID_REPORT_LENGTH);
    EXPECT_EQ(HidP_SetUsageValue(HidP_Output, 0xFF00, 0, 1, 1, p.get(), r.data(), 2),
              HIDP_STATUS_REPORT_DOES_NOT_EXIST);
}

TEST(HidpValues, BadLogicalOrPhysicalRange) {
    // One 8-bit value with logical 10..10: nothing to scale over.
    const std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15,
                                    0x0A, 0x25, 0x0A, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0};
    Parsed p(d);
    ASSERT_TRUE(p);
    std::array<char, 2> r{};
    LONG v = 0;
    EXPECT_EQ(HidP_GetScaledUsageValue(HidP_Input, 0xFF00, 0, 2, &v, p.get(), r.data(), 2),
              HIDP_STATUS_BAD_LOG_PHY_VALUES);
    EXPECT_EQ(HidP_SetScaledUsageValue(HidP_Input, 0xFF00, 0, 2, 10, p.get(), r.data(), 2),
              HIDP_STATUS_BAD_LOG_PHY_VALUES);
}

TEST(HidpValues, Vendor64ValueArray) {
    // The product's reports: usage 2 in, usage 3 out, each 64 one-byte fields at bytes 1..64.
    Parsed p(kVendor64);
    std::array<char, 64> payload{};
    for (int i = 0; i < 64; ++i)
        payload[i] = static_cast<char>(i * 3 + 1);
    std::array<char, 65> out{};
    ASSERT_EQ(HidP_SetUsageValueArray(HidP_Output, 0xFF00, 0, 3, payload.data(), 64, p.get(),
                                      out.data(), 65),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[64], static_cast<char>(63 * 3 + 1));

    std::array<char, 64> back{};
    ASSERT_EQ(
        HidP_GetUsageValueArray(HidP_Input, 0xFF00, 0, 2, back.data(), 64, p.get(), out.data(), 65),
        HIDP_STATUS_SUCCESS);
    EXPECT_EQ(back, payload);

    EXPECT_EQ(
        HidP_GetUsageValueArray(HidP_Input, 0xFF00, 0, 2, back.data(), 63, p.get(), out.data(), 65),
        HIDP_STATUS_BUFFER_TOO_SMALL);
    ULONG raw = 0;
    EXPECT_EQ(HidP_GetUsageValue(HidP_Input, 0xFF00, 0, 2, &raw, p.get(), out.data(), 65),
              HIDP_STATUS_IS_VALUE_ARRAY);
    EXPECT_EQ(HidP_SetUsageValue(HidP_Output, 0xFF00, 0, 3, 1, p.get(), out.data(), 65),
              HIDP_STATUS_IS_VALUE_ARRAY);
    LONG scaled = 0;
    EXPECT_EQ(HidP_GetScaledUsageValue(HidP_Input, 0xFF00, 0, 2, &scaled, p.get(), out.data(), 65),
              HIDP_STATUS_IS_VALUE_ARRAY);
    EXPECT_EQ(HidP_SetScaledUsageValue(HidP_Output, 0xFF00, 0, 3, 1, p.get(), out.data(), 65),
              HIDP_STATUS_IS_VALUE_ARRAY);
    EXPECT_EQ(
        HidP_GetUsageValueArray(HidP_Input, 0xFF00, 0, 2, back.data(), 64, p.get(), out.data(), 64),
        HIDP_STATUS_INVALID_REPORT_LENGTH);
    EXPECT_EQ(
        HidP_GetUsageValueArray(HidP_Input, 0xFF00, 0, 2, back.data(), 64, p.get(), nullptr, 65),
        HIDP_STATUS_INVALID_REPORT_LENGTH);
    EXPECT_EQ(HidP_GetUsageValueArray(HidP_Feature, 0xFF00, 0, 2, back.data(), 64, p.get(),
                                      out.data(), 65),
              HIDP_STATUS_REPORT_DOES_NOT_EXIST);
    EXPECT_EQ(HidP_GetUsageValueArray(static_cast<HIDP_REPORT_TYPE>(3), 0xFF00, 0, 2, back.data(),
                                      64, p.get(), out.data(), 65),
              HIDP_STATUS_INVALID_REPORT_TYPE);
    // An unnumbered device's reports carry ID 0.
    out[0] = 1;
    EXPECT_EQ(
        HidP_GetUsageValueArray(HidP_Input, 0xFF00, 0, 2, back.data(), 64, p.get(), out.data(), 65),
        HIDP_STATUS_INCOMPATIBLE_REPORT_ID);

    Parsed mouse(kMouse);
    std::array<char, 4> m{};
    EXPECT_EQ(HidP_GetUsageValueArray(HidP_Input, kDesktop, 0, 0x30, back.data(), 64, mouse.get(),
                                      m.data(), 4),
              HIDP_STATUS_NOT_VALUE_ARRAY);
}

TEST(HidpData, GamepadDataList) {
    // Indices: buttons 1..10 -> 0..9, X 10, Y 11, Z 12, Rz 13, hat 14.
    Parsed p(kGamepad);
    EXPECT_EQ(HidP_MaxDataListLength(HidP_Input, p.get()), 15u);
    std::array<char, 6> r{1, 0x02, 0x02, 7, 9, 0};  // buttons 2 and 10, X 7, Y 9
    std::array<HIDP_DATA, 15> list{};
    ULONG n = 15;
    ASSERT_EQ(HidP_GetData(HidP_Input, list.data(), &n, p.get(), r.data(), 6), HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(list[0].DataIndex, 1);
    EXPECT_EQ(list[0].On, 1);
    EXPECT_EQ(list[1].DataIndex, 9);
    EXPECT_EQ(list[2].DataIndex, 10);
    EXPECT_EQ(list[2].RawValue, 7u);
    EXPECT_EQ(list[3].DataIndex, 11);
    EXPECT_EQ(list[3].RawValue, 9u);
    n = 3;
    EXPECT_EQ(HidP_GetData(HidP_Input, list.data(), &n, p.get(), r.data(), 6),
              HIDP_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 4u);

    // Set into a zeroed buffer: Z and the hat go to report 2.
    std::array<char, 6> r2{};
    std::array<HIDP_DATA, 3> set{};
    set[0].DataIndex = 12;
    set[0].RawValue = 0x100;
    set[1].DataIndex = 14;
    set[1].RawValue = 3;
    n = 2;
    ASSERT_EQ(HidP_SetData(HidP_Input, set.data(), &n, p.get(), r2.data(), 6), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r2[0], 2);
    EXPECT_EQ(r2[2], 0x01);
    EXPECT_EQ(r2[5], 0x03);
    // A button index (report 1) into report 2; then an index that does not exist.
    set[2].DataIndex = 0;
    set[2].On = 1;
    n = 3;
    EXPECT_EQ(HidP_SetData(HidP_Input, set.data(), &n, p.get(), r2.data(), 6),
              HIDP_STATUS_INCOMPATIBLE_REPORT_ID);
    EXPECT_EQ(n, 2u);
    set[0].DataIndex = 15;
    n = 1;
    EXPECT_EQ(HidP_SetData(HidP_Input, set.data(), &n, p.get(), r2.data(), 6),
              HIDP_STATUS_DATA_INDEX_NOT_FOUND);
    EXPECT_EQ(n, 0u);
    // Releasing buttons through the list.
    std::array<char, 6> r1{1, 0x03, 0, 0, 0, 0};
    HIDP_DATA off{};
    off.DataIndex = 0;
    off.On = 0;
    n = 1;
    ASSERT_EQ(HidP_SetData(HidP_Input, &off, &n, p.get(), r1.data(), 6), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r1[1], 0x02);
    // An ID that has no input report.
    r1[0] = 3;
    n = 15;
    EXPECT_EQ(HidP_GetData(HidP_Input, list.data(), &n, p.get(), r1.data(), 6),
              HIDP_STATUS_REPORT_DOES_NOT_EXIST);
}

TEST(HidpData, KeyboardArrayThroughDataList) {
    // Key 'c' (6) is index 8 + 6 = 14; value arrays are not in data lists.
    Parsed p(kKeyboard);
    std::array<char, 9> r{};
    HIDP_DATA d{};
    d.DataIndex = 14;
    d.On = 1;
    ULONG n = 1;
    ASSERT_EQ(HidP_SetData(HidP_Input, &d, &n, p.get(), r.data(), 9), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(r[3], 6);
    std::array<HIDP_DATA, 14> list{};
    n = 14;
    ASSERT_EQ(HidP_GetData(HidP_Input, list.data(), &n, p.get(), r.data(), 9), HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(list[0].DataIndex, 14);

    Parsed v(kVendor64);
    std::array<char, 65> out{};
    d.DataIndex = 0;
    d.RawValue = 1;
    n = 1;
    EXPECT_EQ(HidP_SetData(HidP_Output, &d, &n, v.get(), out.data(), 65),
              HIDP_STATUS_IS_VALUE_ARRAY);
    EXPECT_EQ(HidP_MaxDataListLength(HidP_Output, v.get()), 0u);
}

TEST(HidpUsageList, Difference) {
    std::array<USAGE, 5> prev{4, 5, 6, 0, 9};  // 9 is past the end marker
    std::array<USAGE, 5> cur{5, 7, 4, 8, 0};
    std::array<USAGE, 5> breaks{}, makes{};
    breaks.fill(0xAA);
    makes.fill(0xAA);
    ASSERT_EQ(HidP_UsageListDifference(prev.data(), cur.data(), breaks.data(), makes.data(), 5),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(breaks, (std::array<USAGE, 5>{6, 0, 0, 0, 0}));
    EXPECT_EQ(makes, (std::array<USAGE, 5>{7, 8, 0, 0, 0}));
    // Results may be written over an input.
    ASSERT_EQ(HidP_UsageListDifference(prev.data(), cur.data(), prev.data(), cur.data(), 5),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(prev, (std::array<USAGE, 5>{6, 0, 0, 0, 0}));
    EXPECT_EQ(cur, (std::array<USAGE, 5>{7, 8, 0, 0, 0}));
    EXPECT_EQ(HidP_TranslateUsagesToI8042ScanCodes(nullptr, 0, HidP_Keyboard_Make, nullptr, nullptr,
                                                   nullptr),
              HIDP_STATUS_NOT_IMPLEMENTED);
}

}  // namespace

namespace {

TEST(HidpThreads, SharedPreparsedDataIsReadOnly) {
    // Reader and writer threads of one device use the same preparsed data at once.
    Parsed p(kVendor64);
    std::vector<std::thread> threads;
    std::array<int, 4> failures{};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::array<char, 65> report{};
            std::array<char, 64> payload{};
            payload.fill(static_cast<char>(t));
            for (int i = 0; i < 200; ++i) {
                HIDP_CAPS caps{};
                if (HidP_GetCaps(p.get(), &caps) != HIDP_STATUS_SUCCESS ||
                    HidP_SetUsageValueArray(HidP_Output, 0xFF00, 0, 3, payload.data(), 64, p.get(),
                                            report.data(), 65) != HIDP_STATUS_SUCCESS ||
                    report[64] != static_cast<char>(t)) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures, (std::array<int, 4>{}));
}

}  // namespace
