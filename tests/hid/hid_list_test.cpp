#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_fixture.h"
#include "tools/hid-list/hid_list.h"

using namespace hidtest;

namespace {

using HidListTest = SimTest;

TEST_F(HidListTest, MarksTheVeltoDeviceAndShowsAccess) {
    EchoDevice Run(0x0168, 0x0821);
    EchoDevice Other(0x046d, 0xc52b, 0, u"Receiver");
    simbus::Bus::instance().setAccessDenied(Other.Id, true);
    EchoDevice Held(0x046d, 0xc52c, 0, u"Held");
    simbus::Bus::instance().setHeldByOtherProgram(Held.Id, true);
    auto Ctl = MakeController();
    ASSERT_TRUE(WaitPlugged(*Ctl, 3));
    const std::string Text = hidlist::Describe(*Ctl);
    EXPECT_NE(Text.find("[0] 0168:0821 version 0103  <== Velto device, run mode"),
              std::string::npos)
        << Text;
    EXPECT_NE(Text.find("product:      \"Velto\""), std::string::npos) << Text;
    EXPECT_NE(Text.find("serial:       \"SN0001\""), std::string::npos) << Text;
    EXPECT_NE(Text.find("usage:        page 0xff00 usage 0x0001"), std::string::npos) << Text;
    EXPECT_NE(Text.find("input 65, output 65, feature 0"), std::string::npos) << Text;
    EXPECT_NE(Text.find("access:       read/write"), std::string::npos) << Text;
    EXPECT_NE(Text.find("[1] 046d:c52b"), std::string::npos) << Text;
    EXPECT_NE(Text.find("queries only"), std::string::npos) << Text;
    EXPECT_NE(Text.find("access:       in use by another program"), std::string::npos) << Text;
    EXPECT_NE(Text.find("3 HID interface(s) found; Velto device(s): 1."), std::string::npos);
    for (TJvHidDevice* D : Ctl->Devices())
        EXPECT_EQ(D->FileHandle, INVALID_HANDLE_VALUE) << "listing leaves devices closed";
}

// Descriptors the kernel takes are listed with their caps; one the parser refuses is listed
// with the reason, not as page 0 with lengths 0.
TEST_F(HidListTest, ShowsWhyADescriptorIsNotUnderstood) {
    auto Plug = [](uint16_t Pid, std::vector<uint8_t> Descriptor) {
        simbus::DeviceInfo Info;
        Info.vendorId = 0x1234;
        Info.productId = Pid;
        Info.reportDescriptor = std::move(Descriptor);
        return simbus::Bus::instance().plug(Info, [](const uint8_t*, std::size_t) {});
    };
    std::vector<uint8_t> TrailingZero = testsupport::ProductDescriptor();
    TrailingZero.push_back(0x00);
    Plug(0x0001, TrailingZero);
    // One vendor value each: 64 bits, then 257 bits.
    Plug(0x0002, {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x40, 0x95, 0x01, 0x09, 0x01,
                  0x81, 0x02, 0xC0});
    Plug(0x0003, {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x76, 0x01, 0x01, 0x95, 0x01, 0x09,
                  0x01, 0x81, 0x02, 0xC0});
    auto Ctl = MakeController();
    ASSERT_TRUE(WaitPlugged(*Ctl, 3));
    const std::string Text = hidlist::Describe(*Ctl);
    auto Block = [&Text](const char* Head) {
        const std::size_t At = Text.find(Head);
        return At == std::string::npos ? std::string()
                                       : Text.substr(At, Text.find('[', At + 1) - At);
    };
    const std::string Zero = Block("1234:0001");
    EXPECT_NE(Zero.find("usage:        page 0xff00 usage 0x0001"), std::string::npos) << Text;
    EXPECT_NE(Zero.find("input 65, output 65, feature 0"), std::string::npos) << Text;
    EXPECT_NE(Block("1234:0002").find("input 9, output 0, feature 0"), std::string::npos) << Text;
    const std::string Refused = Block("1234:0003");
    EXPECT_NE(Refused.find("usage:        unknown: the report descriptor is not understood (item "
                           "0x81 at byte 14: Report Size 257 of a data field over 256 bits)\n"
                           "    reports:      unknown\n"),
              std::string::npos)
        << Text;
    EXPECT_EQ(Refused.find("page 0x0000"), std::string::npos) << Text;
}

TEST_F(HidListTest, SaysSoWhenNoVeltoDeviceIsPresent) {
    auto Ctl = MakeController();
    const std::string Text = hidlist::Describe(*Ctl);
    EXPECT_NE(Text.find("0 HID interface(s) found; no Velto device"), std::string::npos) << Text;
    EXPECT_EQ(hidlist::VeltoMode(0x0168, 0x0904), "update mode");
    EXPECT_EQ(hidlist::VeltoMode(0x0168, 0x0001), "");
    EXPECT_EQ(hidlist::VeltoMode(0x0169, 0x0821), "");
}

}  // namespace
