#include <string>

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

TEST_F(HidListTest, SaysSoWhenNoVeltoDeviceIsPresent) {
    auto Ctl = MakeController();
    const std::string Text = hidlist::Describe(*Ctl);
    EXPECT_NE(Text.find("0 HID interface(s) found; no Velto device"), std::string::npos) << Text;
    EXPECT_EQ(hidlist::VeltoMode(0x0168, 0x0904), "update mode");
    EXPECT_EQ(hidlist::VeltoMode(0x0168, 0x0001), "");
    EXPECT_EQ(hidlist::VeltoMode(0x0169, 0x0821), "");
}

}  // namespace
