#include <gtest/gtest.h>

#include <utility>

#include "hid/hid.h"

namespace {

TEST(HidErrorString, EveryStatusOfTheTable) {
    const std::pair<uint32_t, const char*> Table[] = {
        {0x80110001u, "HID Error: device not plugged in"},
        {0xC0110001u, "HID Error: invalid preparsed data"},
        {0xC0110002u, "HID Error: invalid report type"},
        {0xC0110003u, "HID Error: invalid report length"},
        {0xC0110004u, "HID Error: usage not found"},
        {0xC0110005u, "HID Error: value out of range"},
        {0xC0110006u, "HID Error: bad logical or physical values"},
        {0xC0110007u, "HID Error: buffer too small"},
        {0xC0110008u, "HID Error: internal error"},
        {0xC0110009u, "HID Error: 8042 key translation impossible"},
        {0xC011000Au, "HID Error: incompatible report ID"},
        {0xC011000Bu, "HID Error: not a value array"},
        {0xC011000Cu, "HID Error: is a value array"},
        {0xC011000Du, "HID Error: data index not found"},
        {0xC011000Eu, "HID Error: data index out of range"},
        {0xC011000Fu, "HID Error: button not pressed"},
        {0xC0110010u, "HID Error: report does not exist"},
        {0xC0110020u, "HID Error: not implemented"},
    };
    for (const auto& [Status, Text] : Table) {
        EXPECT_EQ(HidErrorString(static_cast<NTSTATUS>(Status)), Text) << std::hex << Status;
        try {
            HidError(static_cast<NTSTATUS>(Status));
            ADD_FAILURE() << "no exception for " << std::hex << Status;
        } catch (const EHidClientError& E) {
            EXPECT_STREQ(E.what(), Text);
        }
    }
}

TEST(HidErrorString, UnknownHidStatusesShowTheCode) {
    EXPECT_EQ(HidErrorString(static_cast<NTSTATUS>(0xC0110099u)),
              "HID Error: unknown HID error c0110099");
    EXPECT_EQ(HidErrorString(static_cast<NTSTATUS>(0x40110000u)),
              "HID Error: unknown HID error 40110000");
}

TEST(HidErrorString, NonHidOrSuccessStatusesHaveNoText) {
    EXPECT_EQ(HidErrorString(HIDP_STATUS_SUCCESS), "");
    EXPECT_EQ(HidErrorString(static_cast<NTSTATUS>(0x00110005u)), "");  // top bits clear
    EXPECT_EQ(HidErrorString(static_cast<NTSTATUS>(0xC0120001u)), "");  // other facility
    EXPECT_EQ(HidErrorString(static_cast<NTSTATUS>(0x80000005u)), "");
    EXPECT_NO_THROW(HidCheck(HIDP_STATUS_SUCCESS));
    EXPECT_NO_THROW(HidError(static_cast<NTSTATUS>(0xC0120001u)));
    EXPECT_THROW(HidCheck(HIDP_STATUS_BUFFER_TOO_SMALL), EHidClientError);
}

TEST(HidCheck, BooleanFailureRaises) {
    EXPECT_NO_THROW(HidCheck(true));
    try {
        HidCheck(false);
        ADD_FAILURE() << "no exception";
    } catch (const EHidClientError& E) {
        EXPECT_STREQ(E.what(), "HID Error: a boolean function failed");
    }
}

TEST(SysErrorMessage, KnownAndUnknownCodes) {
    EXPECT_EQ(SysErrorMessage(1167), "The device is not connected.");
    EXPECT_EQ(SysErrorMessage(5), "Access is denied.");
    EXPECT_EQ(SysErrorMessage(4242), "System error code 4242");
}

}  // namespace
