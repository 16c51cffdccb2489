// Descriptors of real devices that the kernel takes and a strict parser would refuse: a trailing
// 0x00 (a main item with an undefined tag) and a pen's 64-bit transducer serial number. Their
// caps, the wide field's bytes in a real report and its neighbours', and the words of a refusal.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "tests/platform/hidp/descriptors.h"

using hidp_test::Parsed;
using Bytes = std::vector<uint8_t>;

namespace {

// Keyboard with numbered reports, ending with the 0x00 byte that several sold devices send.
const Bytes kKeyboardTrailingZero = {
    0x05, 0x01,        // Usage Page (Generic Desktop)
    0x09, 0x06,        // Usage (Keyboard)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x01,        //   Report ID (1)
    0x05, 0x07,        //   Usage Page (Keyboard/Keypad)
    0x19, 0xE0,        //   Usage Minimum (Left Control)
    0x29, 0xE7,        //   Usage Maximum (Right GUI)
    0x15, 0x00,        //   Logical Minimum (0)
    0x25, 0x01,        //   Logical Maximum (1)
    0x75, 0x01,        //   Report Size (1)
    0x95, 0x08,        //   Report Count (8)
    0x81, 0x02,        //   Input (Data, Variable, Absolute): modifiers
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x01,        //   Report Count (1)
    0x81, 0x03,        //   Input (Constant): reserved
    0x05, 0x08,        //   Usage Page (LEDs)
    0x19, 0x01,        //   Usage Minimum (Num Lock)
    0x29, 0x03,        //   Usage Maximum (Scroll Lock)
    0x75, 0x01,        //   Report Size (1)
    0x95, 0x03,        //   Report Count (3)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0x75, 0x05,        //   Report Size (5)
    0x95, 0x01,        //   Report Count (1)
    0x91, 0x03,        //   Output (Constant): padding
    0x05, 0x07,        //   Usage Page (Keyboard/Keypad)
    0x19, 0x00,        //   Usage Minimum (0)
    0x29, 0x91,        //   Usage Maximum (0x91)
    0x26, 0x91, 0x00,  //   Logical Maximum (0x91)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x06,        //   Report Count (6)
    0x81, 0x00,        //   Input (Data, Array): six key slots
    0xC0,              // End Collection
    0x00,              // main item, undefined tag 0
};

// Pen with a 64-bit transducer serial number that starts in the middle of a byte, between
// narrow fields: bits 0..3 switches, 4..7 transducer index, 8..23 X, 24..39 Y, 40..51 tip
// pressure, 52..115 serial number, 116..119 battery strength.
const Bytes kPen = {
    0x05, 0x0D,                    // Usage Page (Digitizer)
    0x09, 0x02,                    // Usage (Pen)
    0xA1, 0x01,                    // Collection (Application)
    0x85, 0x02,                    //   Report ID (2)
    0x09, 0x20,                    //   Usage (Stylus)
    0xA1, 0x00,                    //   Collection (Physical)
    0x09, 0x42,                    //     Usage (Tip Switch)
    0x09, 0x44,                    //     Usage (Barrel Switch)
    0x09, 0x45,                    //     Usage (Eraser)
    0x09, 0x32,                    //     Usage (In Range)
    0x15, 0x00,                    //     Logical Minimum (0)
    0x25, 0x01,                    //     Logical Maximum (1)
    0x75, 0x01,                    //     Report Size (1)
    0x95, 0x04,                    //     Report Count (4)
    0x81, 0x02,                    //     Input (Data, Variable, Absolute)
    0x09, 0x38,                    //     Usage (Transducer Index)
    0x25, 0x0F,                    //     Logical Maximum (15)
    0x75, 0x04,                    //     Report Size (4)
    0x95, 0x01,                    //     Report Count (1)
    0x81, 0x02,                    //     Input (Data, Variable, Absolute)
    0x05, 0x01,                    //     Usage Page (Generic Desktop)
    0x09, 0x30,                    //     Usage (X)
    0x09, 0x31,                    //     Usage (Y)
    0x26, 0xFF, 0x7F,              //     Logical Maximum (32767)
    0x75, 0x10,                    //     Report Size (16)
    0x95, 0x02,                    //     Report Count (2)
    0x81, 0x02,                    //     Input (Data, Variable, Absolute)
    0x05, 0x0D,                    //     Usage Page (Digitizer)
    0x09, 0x30,                    //     Usage (Tip Pressure)
    0x26, 0xFF, 0x0F,              //     Logical Maximum (4095)
    0x75, 0x0C,                    //     Report Size (12)
    0x95, 0x01,                    //     Report Count (1)
    0x81, 0x02,                    //     Input (Data, Variable, Absolute)
    0x09, 0x5B,                    //     Usage (Transducer Serial Number)
    0x27, 0xFF, 0xFF, 0xFF, 0xFF,  //     Logical Maximum (0xFFFFFFFF)
    0x75, 0x40,                    //     Report Size (64)
    0x81, 0x02,                    //     Input (Data, Variable, Absolute)
    0x09, 0x3B,                    //     Usage (Battery Strength)
    0x25, 0x0F,                    //     Logical Maximum (15)
    0x75, 0x04,                    //     Report Size (4)
    0x81, 0x02,                    //     Input (Data, Variable, Absolute)
    0xC0,                          //   End Collection
    0xC0,                          // End Collection
};

// Tip and In Range on, transducer 5, X 0x1234, Y 0x0ABC, pressure 0x7FF, serial number
// 0x0123456789ABCDEF, battery 0xA; packed little-endian, least significant bit first.
const std::array<uint8_t, 16> kPenReport = {0x02, 0x59, 0x34, 0x12, 0xBC, 0x0A, 0xFF, 0xF7,
                                            0xDE, 0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12, 0xA0};
const std::array<uint8_t, 8> kSerial = {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01};

constexpr USAGE kDigitizer = 0x0D, kDesktop = 0x01;

HIDP_CAPS CapsOf(const Parsed& p) {
    HIDP_CAPS c{};
    EXPECT_EQ(HidP_GetCaps(p.get(), &c), HIDP_STATUS_SUCCESS);
    return c;
}

std::string Refusal(const Bytes& d) {
    std::string why = "unset";
    PHIDP_PREPARSED_DATA p = hidp::ParseDescriptor(d.data(), d.size(), &why);
    hidp::FreePreparsedData(p);
    return p != nullptr ? "parsed" : why;
}

TEST(HidpTolerance, UndefinedMainItemsAndReservedItemsAreSkipped) {
    Parsed kb(kKeyboardTrailingZero);
    ASSERT_TRUE(kb) << Refusal(kKeyboardTrailingZero);
    const Bytes withoutZero(kKeyboardTrailingZero.begin(), kKeyboardTrailingZero.end() - 1);
    Parsed plain(withoutZero);
    ASSERT_TRUE(plain);
    const HIDP_CAPS a = CapsOf(kb), b = CapsOf(plain);
    EXPECT_EQ(a.UsagePage, 0x01);
    EXPECT_EQ(a.Usage, 0x06);
    EXPECT_EQ(a.InputReportByteLength, 9);   // ID, modifiers, reserved, six keys
    EXPECT_EQ(a.OutputReportByteLength, 2);  // ID, LEDs and padding
    EXPECT_EQ(a.FeatureReportByteLength, 0);
    EXPECT_EQ(a.NumberInputButtonCaps, 2);
    EXPECT_EQ(a.NumberOutputButtonCaps, 1);
    EXPECT_EQ(a.NumberInputDataIndices, 8 + 0x92);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "the trailing 0x00 changes nothing";

    // Undefined main tags (0, 0xD, 0xF, any size) and the reserved item type anywhere; the
    // usage before an undefined main item goes with it, as the kernel drops it.
    Parsed mid({0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x00, 0xD1, 0x55, 0xF2,
                0x01, 0x02, 0x0C, 0x1D, 0x42, 0x75, 0x08, 0x95, 0x01, 0x09, 0x30,
                0x03, 0x01, 0x02, 0x03, 0x04, 0x81, 0x02, 0xC0, 0x00, 0x00});
    ASSERT_TRUE(mid);
    HIDP_VALUE_CAPS v{};
    USHORT n = 1;
    ASSERT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0, 0, 0, &v, &n, mid.get()),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(v.NotRange.Usage, 0);
    EXPECT_EQ(CapsOf(mid).InputReportByteLength, 2);
}

TEST(HidpTolerance, PenSerialNumberIsAValueArrayBetweenNarrowFields) {
    Parsed p(kPen);
    ASSERT_TRUE(p) << Refusal(kPen);
    const HIDP_CAPS c = CapsOf(p);
    EXPECT_EQ(c.UsagePage, kDigitizer);
    EXPECT_EQ(c.Usage, 0x02);
    EXPECT_EQ(c.InputReportByteLength, 16);
    EXPECT_EQ(c.NumberInputButtonCaps, 4);
    EXPECT_EQ(c.NumberInputValueCaps, 6);
    EXPECT_EQ(c.NumberInputDataIndices, 10);
    HIDP_VALUE_CAPS serial{};
    USHORT n = 1;
    ASSERT_EQ(HidP_GetSpecificValueCaps(HidP_Input, kDigitizer, 0, 0x5B, &serial, &n, p.get()),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(serial.BitSize, 64);
    EXPECT_EQ(serial.ReportCount, 1);
    EXPECT_EQ(serial.ReportID, 2);
    EXPECT_FALSE(serial.IsRange);

    // Bytes in: the serial number comes out whole, and every narrow field around it as well.
    std::array<char, 16> report{};
    std::memcpy(report.data(), kPenReport.data(), report.size());
    std::array<char, 8> value{};
    EXPECT_EQ(HidP_GetUsageValueArray(HidP_Input, kDigitizer, 0, 0x5B, value.data(), 8, p.get(),
                                      report.data(), 16),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(value.data(), kSerial.data(), 8), 0);
    EXPECT_EQ(HidP_GetUsageValueArray(HidP_Input, kDigitizer, 0, 0x5B, value.data(), 7, p.get(),
                                      report.data(), 16),
              HIDP_STATUS_BUFFER_TOO_SMALL);
    ULONG single = 0;
    EXPECT_EQ(
        HidP_GetUsageValue(HidP_Input, kDigitizer, 0, 0x5B, &single, p.get(), report.data(), 16),
        HIDP_STATUS_IS_VALUE_ARRAY);
    LONG scaled = 0;
    EXPECT_EQ(HidP_GetScaledUsageValue(HidP_Input, kDigitizer, 0, 0x5B, &scaled, p.get(),
                                       report.data(), 16),
              HIDP_STATUS_IS_VALUE_ARRAY);
    struct Narrow {
        USAGE page, usage;
        ULONG value;
    };
    const Narrow narrow[] = {{kDigitizer, 0x38, 0x5},
                             {kDesktop, 0x30, 0x1234},
                             {kDesktop, 0x31, 0x0ABC},
                             {kDigitizer, 0x30, 0x7FF},
                             {kDigitizer, 0x3B, 0xA}};
    for (const Narrow& f : narrow) {
        ULONG got = 0;
        EXPECT_EQ(
            HidP_GetUsageValue(HidP_Input, f.page, 0, f.usage, &got, p.get(), report.data(), 16),
            HIDP_STATUS_SUCCESS);
        EXPECT_EQ(got, f.value) << "usage 0x" << std::hex << f.usage;
    }
    std::array<USAGE, 4> pressed{};
    ULONG count = 4;
    ASSERT_EQ(HidP_GetUsages(HidP_Input, kDigitizer, 0, pressed.data(), &count, p.get(),
                             report.data(), 16),
              HIDP_STATUS_SUCCESS);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(pressed[0], 0x42);
    EXPECT_EQ(pressed[1], 0x32);
    // The data list has the narrow fields and the switches, not the value array.
    std::array<HIDP_DATA, 16> data{};
    ULONG listed = 16;
    EXPECT_EQ(HidP_GetData(HidP_Input, data.data(), &listed, p.get(), report.data(), 16),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(listed, 2u + 5u);
    EXPECT_EQ(HidP_MaxDataListLength(HidP_Input, p.get()), 4u + 5u);

    // Bytes out: a zeroed report filled field by field is the device's report again.
    std::array<char, 16> built{};
    std::memcpy(value.data(), kSerial.data(), 8);
    EXPECT_EQ(HidP_SetUsageValueArray(HidP_Input, kDigitizer, 0, 0x5B, value.data(), 8, p.get(),
                                      built.data(), 16),
              HIDP_STATUS_SUCCESS);
    for (const Narrow& f : narrow)
        EXPECT_EQ(
            HidP_SetUsageValue(HidP_Input, f.page, 0, f.usage, f.value, p.get(), built.data(), 16),
            HIDP_STATUS_SUCCESS);
    std::array<USAGE, 2> on = {0x42, 0x32};
    ULONG onCount = 2;
    EXPECT_EQ(
        HidP_SetUsages(HidP_Input, kDigitizer, 0, on.data(), &onCount, p.get(), built.data(), 16),
        HIDP_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(built.data(), kPenReport.data(), 16), 0);
    EXPECT_EQ(HidP_SetUsageValue(HidP_Input, kDigitizer, 0, 0x5B, 1, p.get(), built.data(), 16),
              HIDP_STATUS_IS_VALUE_ARRAY);
    HIDP_DATA set{};
    set.DataIndex = serial.NotRange.DataIndex;
    set.RawValue = 1;
    ULONG one = 1;
    EXPECT_EQ(HidP_SetData(HidP_Input, &set, &one, p.get(), built.data(), 16),
              HIDP_STATUS_IS_VALUE_ARRAY);
    EXPECT_EQ(std::memcmp(built.data(), kPenReport.data(), 16), 0) << "refused calls write nothing";
}

TEST(HidpTolerance, FieldsUpTo256Bits) {
    // Vendor page: a 256-bit value, a range of two 40-bit values (a field per usage), and an
    // array item with 40-bit slots selecting usages 1..3. 256 + 80 + 40 bits = 47 bytes.
    const Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF,
                     0x00, 0x76, 0x00, 0x01, 0x95, 0x01, 0x09, 0x10, 0x81, 0x02,  // 256 bits
                     0x75, 0x28, 0x95, 0x02, 0x19, 0x20, 0x29, 0x21, 0x81, 0x02,  // 2 x 40
                     0x15, 0x01, 0x25, 0x03, 0x95, 0x01, 0x19, 0x01, 0x29, 0x03,  // array
                     0x81, 0x00, 0xC0};
    Parsed p(d);
    ASSERT_TRUE(p) << Refusal(d);
    EXPECT_EQ(CapsOf(p).InputReportByteLength, 48);
    std::array<char, 48> report{};
    std::array<char, 32> wide{};
    for (std::size_t i = 0; i < wide.size(); ++i)
        wide[i] = static_cast<char>(0xA0 + i);
    ASSERT_EQ(HidP_SetUsageValueArray(HidP_Input, 0xFF00, 0, 0x10, wide.data(), 32, p.get(),
                                      report.data(), 48),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(report.data() + 1, wide.data(), 32), 0);
    std::array<char, 5> second = {0x11, 0x22, 0x33, 0x44, 0x55};
    ASSERT_EQ(HidP_SetUsageValueArray(HidP_Input, 0xFF00, 0, 0x21, second.data(), 5, p.get(),
                                      report.data(), 48),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(report.data() + 1 + 32 + 5, second.data(), 5), 0);
    EXPECT_EQ(report[1 + 32], 0) << "the first field of the range is left alone";
    USAGE key = 3;
    ULONG one = 1;
    ASSERT_EQ(HidP_SetUsages(HidP_Input, 0xFF00, 0, &key, &one, p.get(), report.data(), 48),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(report[43], 3);
    EXPECT_EQ(report[47], 0) << "the slot's bits past 32 stay 0";
    USAGE got = 0;
    one = 1;
    ASSERT_EQ(HidP_GetUsages(HidP_Input, 0xFF00, 0, &got, &one, p.get(), report.data(), 48),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(got, 3);

    // 257 bits is past what the kernel takes.
    Bytes over = d;
    over[13] = 0x01;
    EXPECT_EQ(Refusal(over), "item 0x81 at byte 19: Report Size 257 of a data field over 256 bits");
}

TEST(HidpTolerance, RefusalsSayWhichItemAndWhy) {
    EXPECT_EQ(Refusal({}), "the report descriptor is empty");
    EXPECT_EQ(Refusal(Bytes(65536, 0xA4)), "the report descriptor is 65536 bytes, over 65535");
    EXPECT_EQ(Refusal({0x09, 0x01, 0x06}),
              "item 0x06 at byte 2: the descriptor ends inside this item");
    EXPECT_EQ(Refusal({0x09, 0x01, 0xA1, 0x01}), "1 collection(s) still open at the end");
    EXPECT_EQ(Refusal({0x09, 0x01, 0xC0}),
              "item 0xC0 at byte 2: End Collection without a Collection");
    EXPECT_EQ(Refusal({0x86, 0x00, 0x01}), "item 0x86 at byte 0: Report ID 256 not 1..255");
    EXPECT_EQ(Refusal(kPen), "parsed");
    std::string why = "stale";
    PHIDP_PREPARSED_DATA p = hidp::ParseDescriptor(kPen.data(), kPen.size(), &why);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(why, "") << "a success clears the reason";
    hidp::FreePreparsedData(p);
}

}  // namespace
