// The HID layer over the hidraw backend over a fake tree: what a program run by a normal user
// meets when a device is plugged in.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "hid/jvhidcontrollerclass.h"
#include "tests/platform/hidraw/hidraw_test_util.h"
#include "tests/support/qt_wait.h"

using hidrawtest::AsUser;
using hidrawtest::FakeDevice;
using hidrawtest::FakeTree;
using hidrawtest::OpenWatch;
using qtwait::WaitUntil;

namespace {

void EnsureApp() {
    static int Argc = 1;
    static char Name[] = "hidraw_hid_test";
    static char* Argv[] = {Name, nullptr};
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(Argc, Argv);
}

FakeDevice Device(uint16_t Vid, uint16_t Pid) {
    FakeDevice D;
    D.vendorId = Vid;
    D.productId = Pid;
    D.descriptor = testsupport::ProductDescriptor();
    return D;
}

TEST(HidrawHid, ANodeWhosePermissionsComeLateIsCheckedOutAndReadWithoutListingOpeningAnything) {
    EnsureApp();
    FakeTree Tree;
    HidrawSetRoots(Tree.sysRoot().c_str(), Tree.devRoot().c_str());
    // Another program's device the user may open, and ours as devtmpfs makes its node, before
    // udev's rule gives the user access.
    Tree.add(1, Device(0x1234, 0x0001));
    ASSERT_EQ(::chmod(Tree.nodePath(1).c_str(), 0666), 0);
    Tree.add(0, Device(0x0168, 0x0821));
    ASSERT_EQ(::chmod(Tree.nodePath(0).c_str(), 0), 0);
    OpenWatch Opens(Tree.devRoot());
    AsUser User(Tree);

    TJvHidDeviceController Ctl;
    TJvHidDevice* Out = nullptr;
    std::vector<std::vector<uint8_t>> Reports;
    int Enumerations = 0;
    Ctl.SetOnEnumerate([&](TJvHidDevice* D, int Idx) {
        ++Enumerations;
        if (Out == nullptr && D->Attributes.VendorID == 0x0168 && D->ReadWriteAccess)
            Ctl.CheckOutByIndex(Out, Idx);
        return true;
    });
    Ctl.SetOnDeviceChange([&](TJvHidDeviceController*) { Ctl.Enumerate(); });
    Ctl.SetOnDeviceData([&](TJvHidDevice*, uint8_t, const uint8_t* Data, uint16_t Size) {
        Reports.emplace_back(Data, Data + Size);
    });
    ASSERT_TRUE(WaitUntil([&] { return Ctl.Devices().size() == 2 && Enumerations > 0; }));
    TJvHidDevice* Ours = Ctl.Devices()[0];
    EXPECT_EQ(Ours->Attributes.VendorID, 0x0168);
    EXPECT_FALSE(Ours->ReadWriteAccess);
    EXPECT_EQ(Ours->ReadWriteError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Ctl.Devices()[1]->ReadWriteAccess);
    EXPECT_EQ(Out, nullptr);

    // More passes (a node coming and going elsewhere) list both again and open neither.
    User.AsOwner([&] { Tree.add(2, Device(0x1234, 0x0002)); });
    ASSERT_TRUE(WaitUntil([&] { return Ctl.Devices().size() == 3; }));
    User.AsOwner([&] { Tree.remove(2); });
    ASSERT_TRUE(WaitUntil([&] { return Ctl.Devices().size() == 2; }));
    EXPECT_TRUE(Opens.opened().empty()) << "listing a device must not open (and wake) it";

    // udev's rule gives the user access: the same listed device now can be opened, the owner
    // is told, checks it out, and its reader gets what the device sends.
    User.AsOwner([&] { ASSERT_EQ(::chmod(Tree.nodePath(0).c_str(), 0666), 0); });
    ASSERT_TRUE(WaitUntil([&] { return Out != nullptr; }));
    EXPECT_EQ(Out, Ours);
    ASSERT_TRUE(Out->ReaderRunning());
    const std::vector<std::string> Opened = Opens.opened();
    EXPECT_TRUE(std::all_of(Opened.begin(), Opened.end(),
                            [](const std::string& Name) { return Name == "hidraw0"; }));
    User.AsOwner([&] { Tree.write(0, {0x10, 0x02, 0x01}); });  // a short report
    ASSERT_TRUE(WaitUntil([&] { return !Reports.empty(); }));
    ASSERT_EQ(Reports[0].size(), 64u);
    EXPECT_EQ(Reports[0][0], 0x10);
    EXPECT_EQ(Reports[0][2], 0x01);
    EXPECT_EQ(Reports[0][3], 0x00);
    std::vector<uint8_t> Report(65, 0);
    uint32_t Written = 0;
    EXPECT_TRUE(Out->WriteFile(Report.data(), 65, Written));
    Ctl.CheckIn(Out);
}

}  // namespace
