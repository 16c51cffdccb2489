#include <QObject>

#include <string>
#include <vector>

#include "hid/hid.h"
#include "sim_fixture.h"

using namespace hidtest;

namespace {

using ControllerTest = SimTest;

TEST_F(ControllerTest, FirstPassRunsFromTheEventLoopAndReportsEvenWithoutDevices) {
    TJvHidDeviceController Ctl;
    int Changes = 0;
    int Messages = 0;
    QObject::connect(&Ctl, &TJvHidDeviceController::DeviceChangeMessage, [&] { ++Messages; });
    Ctl.SetOnDeviceChange([&](TJvHidDeviceController* Sender) {
        EXPECT_EQ(Sender, &Ctl);
        ++Changes;
    });
    EXPECT_EQ(Changes, 0) << "setting the handler looks, but nothing changed yet";
    EXPECT_EQ(Messages, 0);
    ASSERT_TRUE(WaitUntil([&] { return Messages == 1; }));
    EXPECT_EQ(Changes, 1);
    EXPECT_TRUE(Ctl.Devices().empty());
    EXPECT_EQ(Ctl.CheckedInCount(), 0);
    EXPECT_STREQ(Ctl.Version(), "1.0.32");
    EXPECT_FALSE(Ctl.HidVersion().empty());
    EXPECT_EQ(Ctl.EventPipe(0x0011, 0, 0), 1) << "end-of-session query is answered";
}

TEST_F(ControllerTest, ArrivalAndRemovalThroughTheChangePass) {
    auto Ctl = MakeController();
    std::vector<std::string> Log;
    Ctl->SetOnArrival([&](TJvHidDevice* D) {
        EXPECT_TRUE(D->InCallback);
        EXPECT_TRUE(D->IsAccessible());
        Log.push_back("arrival " + std::to_string(D->Attributes.ProductID));
    });
    Ctl->SetOnRemoval([&](TJvHidDevice* D) {
        EXPECT_FALSE(D->PluggedIn);
        Log.push_back("removal " + std::to_string(D->Attributes.ProductID));
    });
    Ctl->SetOnDeviceChange([&](TJvHidDeviceController*) { Log.push_back("change"); });

    EchoDevice Run(0x0168, 0x0821);
    EchoDevice Other(0x1234, 0x0001);
    ASSERT_TRUE(WaitPlugged(*Ctl, 2));
    RunFor(50);
    EXPECT_EQ(Ctl->CheckedInCount(), 2);
    EXPECT_EQ(Ctl->CountByID(0x0168, -1), 1);
    EXPECT_EQ(Ctl->CountByID(0x0168, 0x0904), 0);
    EXPECT_EQ(Ctl->Devices().front()->Attributes.VendorID, 0x0168) << "list keeps arrival order";
    ASSERT_GE(Log.size(), 3u);
    EXPECT_EQ(Log.back(), "change");

    Log.clear();
    Run.Unplug();
    ASSERT_TRUE(WaitPlugged(*Ctl, 1));
    EXPECT_EQ(Log, (std::vector<std::string>{"removal 2081", "change"}));
    EXPECT_EQ(Ctl->Devices().size(), 1u) << "a checked-in device leaves the list at once";
    EXPECT_EQ(Ctl->CheckedInCount(), 1);
    EXPECT_EQ(Ctl->UnpluggedCount(), 0);

    // A device that restarts as another product is a removal and an arrival.
    Log.clear();
    simbus::Bus::instance().replug(Other.Id, 0x0002);
    ASSERT_TRUE(WaitUntil([&] {
        return Ctl->Devices().size() == 1 && Ctl->Devices()[0]->Attributes.ProductID == 2;
    }));
    RunFor(30);
    EXPECT_EQ(Log.front(), "removal 1");
    EXPECT_EQ(Log.back(), "change");
}

TEST_F(ControllerTest, CheckOutAndCheckInKeepTheCounts) {
    EchoDevice A(0x0168, 0x0821, 0, u"Alpha");
    EchoDevice B(0x0168, 0x0904, 0, u"Beta");
    auto Ctl = MakeController();
    ASSERT_TRUE(WaitPlugged(*Ctl, 2));

    TJvHidDevice* Dev = reinterpret_cast<TJvHidDevice*>(0x1);
    EXPECT_FALSE(Ctl->CheckOutByIndex(Dev, 2));
    EXPECT_EQ(Dev, nullptr);
    Dev = reinterpret_cast<TJvHidDevice*>(0x1);
    EXPECT_FALSE(Ctl->CheckOutByIndex(Dev, -1));
    EXPECT_EQ(Dev, nullptr);

    TJvHidDevice* First = nullptr;
    ASSERT_TRUE(Ctl->CheckOutByIndex(First, 0));
    EXPECT_TRUE(First->CheckedOut);
    EXPECT_EQ(Ctl->CheckedOutCount(), 1);
    EXPECT_EQ(Ctl->CheckedInCount(), 1);
    Dev = reinterpret_cast<TJvHidDevice*>(0x1);
    EXPECT_FALSE(Ctl->CheckOutByIndex(Dev, 0)) << "already checked out";
    EXPECT_EQ(Dev, nullptr);

    TJvHidDevice* Second = nullptr;
    EXPECT_FALSE(Ctl->CheckOutByID(Second, 0x0168, 0x0821)) << "the only match is taken";
    ASSERT_TRUE(Ctl->CheckOutByID(Second, 0x0168, -1));
    EXPECT_EQ(Second->Attributes.ProductID, 0x0904);
    EXPECT_EQ(Ctl->CheckedOutCount(), 2);
    EXPECT_EQ(Ctl->CheckedInCount(), 0);
    TJvHidDevice* None = nullptr;
    EXPECT_FALSE(Ctl->CheckOut(None));

    Ctl->CheckIn(First);
    EXPECT_EQ(First, nullptr);
    Ctl->CheckIn(Second);
    EXPECT_EQ(Ctl->CheckedOutCount(), 0);
    EXPECT_EQ(Ctl->CheckedInCount(), 2);
    EXPECT_EQ(Ctl->Devices().size(), 2u);

    // Names of checked-in devices are read for the comparison; an empty name matches nothing.
    EXPECT_EQ(Ctl->CountByProductName(u"Beta"), 1);
    EXPECT_EQ(Ctl->CountByVendorName(u"Velto Audio"), 2);
    EXPECT_EQ(Ctl->CountByProductName(u""), 0);
    ASSERT_TRUE(Ctl->CheckOutByProductName(Dev, u"Beta"));
    EXPECT_EQ(Dev->Attributes.ProductID, 0x0904);
    Ctl->CheckIn(Dev);
    EXPECT_FALSE(Ctl->CheckOutByVendorName(Dev, u""));
    EXPECT_EQ(Ctl->CountByClass("HIDClass"), 2);
    EXPECT_EQ(Ctl->CountByClass("no such class"), 0);

    EXPECT_EQ(Ctl->CountByCallback([](TJvHidDevice* D) {
        return D->IsAccessible() && D->Attributes.ProductID == 0x0821;
    }),
              1);
    ASSERT_TRUE(Ctl->CheckOutByCallback(
        Dev, [](TJvHidDevice* D) { return D->Attributes.ProductID == 0x0904; }));
    EXPECT_EQ(Dev->Attributes.ProductID, 0x0904);
    EXPECT_EQ(Ctl->Devices()[0]->FileHandle, INVALID_HANDLE_VALUE)
        << "a device the callback did not take is closed again";
    Ctl->CheckIn(Dev);
}

TEST_F(ControllerTest, EnumerateStopsWhenTheHandlerSaysSoAndClosesCheckedInDevices) {
    EchoDevice A;
    EchoDevice B;
    EchoDevice C;
    auto Ctl = MakeController();
    ASSERT_TRUE(WaitPlugged(*Ctl, 3));
    std::vector<int> Seen;
    TJvHidDevice* Taken = nullptr;
    Ctl->SetOnEnumerate([&](TJvHidDevice* D, int Idx) {
        Seen.push_back(Idx);
        EXPECT_TRUE(D->OpenFile()) << "a device is accessible during the callback";
        if (Idx == 1) {
            EXPECT_TRUE(Ctl->CheckOutByIndex(Taken, Idx));
            return false;
        }
        return true;
    });
    EXPECT_EQ(Ctl->Enumerate(), 2);
    EXPECT_EQ(Seen, (std::vector<int>{0, 1}));
    EXPECT_EQ(Ctl->Devices()[0]->FileHandle, INVALID_HANDLE_VALUE);
    ASSERT_NE(Taken, nullptr);
    EXPECT_NE(Taken->FileHandle, INVALID_HANDLE_VALUE) << "the checked-out one stays open";
    Ctl->CheckIn(Taken);
}

TEST_F(ControllerTest, CheckedOutDeviceThatVanishesStaysListedUntilCheckIn) {
    auto Ctl = MakeController();
    std::vector<std::string> Log;
    Ctl->SetOnDeviceUnplug([&](TJvHidDevice*) { Log.push_back("unplug"); });
    Ctl->SetOnRemoval([&](TJvHidDevice*) { Log.push_back("removal"); });
    Ctl->SetOnDeviceChange([&](TJvHidDeviceController*) { Log.push_back("change"); });
    EchoDevice Dev;
    ASSERT_TRUE(WaitPlugged(*Ctl, 1));
    TJvHidDevice* Out = nullptr;
    ASSERT_TRUE(Ctl->CheckOut(Out));
    Log.clear();

    Dev.Unplug();
    ASSERT_TRUE(WaitUntil([&] { return Ctl->UnpluggedCount() == 1; }));
    EXPECT_EQ(Log, (std::vector<std::string>{"unplug", "removal", "change"}));
    EXPECT_EQ(Ctl->Devices().size(), 1u);
    EXPECT_FALSE(Out->PluggedIn);
    EXPECT_FALSE(Out->IsAccessible());
    EXPECT_EQ(Ctl->CheckedOutCount(), 0);
    EXPECT_EQ(Ctl->CheckedInCount(), 0);
    uint8_t Report[65] = {};
    uint32_t Written = 0;
    EXPECT_FALSE(Out->WriteFile(Report, sizeof Report, Written));

    // Another change pass leaves it alone and reports it no more.
    Log.clear();
    EchoDevice Later;
    ASSERT_TRUE(WaitPlugged(*Ctl, 1));
    EXPECT_EQ(Ctl->Devices().size(), 2u);
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "unplug"), 0);

    Ctl->CheckIn(Out);
    EXPECT_EQ(Ctl->Devices().size(), 1u) << "check-in destroys the unplugged device";
    EXPECT_EQ(Ctl->UnpluggedCount(), 0);
    EXPECT_EQ(Ctl->CheckedInCount(), 1);
}

TEST_F(ControllerTest, AccessThatComesLateReachesTheListedDeviceAndStartsItsReader) {
    // The device is listed before it may be opened (udev sets a node's permissions after the
    // node appeared). An owner that takes only devices it can open, as the window does, gets
    // it once access comes: the pass re-evaluates the listed object and reports a change.
    EchoDevice Dev;
    auto& Bus = simbus::Bus::instance();
    Bus.setAccessDenied(Dev.Id, true);
    auto Ctl = MakeController();
    ASSERT_TRUE(WaitPlugged(*Ctl, 1));
    TJvHidDevice* Listed = Ctl->Devices()[0];
    EXPECT_FALSE(Listed->ReadWriteAccess);
    EXPECT_EQ(Listed->ReadWriteError(), ERROR_ACCESS_DENIED);
    std::vector<uint8_t> Echoed;
    Ctl->SetOnDeviceData([&](TJvHidDevice*, uint8_t, const uint8_t* Data, uint16_t Size) {
        Echoed.assign(Data, Data + Size);
    });
    TJvHidDevice* Out = nullptr;
    Ctl->SetOnEnumerate([&](TJvHidDevice* D, int Idx) {
        if (Out == nullptr && D->ReadWriteAccess) Ctl->CheckOutByIndex(Out, Idx);
        return true;
    });
    Ctl->SetOnDeviceChange([&](TJvHidDeviceController*) { Ctl->Enumerate(); });
    RunFor(50);
    EXPECT_EQ(Out, nullptr);

    Bus.setAccessDenied(Dev.Id, false);
    ASSERT_TRUE(WaitUntil([&] { return Out != nullptr; }, 5000));
    EXPECT_EQ(Out, Listed) << "the listed object, re-evaluated";
    EXPECT_EQ(Out->ReadWriteError(), 0u);
    ASSERT_TRUE(Out->ReaderRunning());
    std::vector<uint8_t> Report(65, 0x42);
    Report[0] = 0;
    uint32_t Written = 0;
    ASSERT_TRUE(Out->WriteFile(Report.data(), 65, Written));
    ASSERT_TRUE(WaitUntil([&] { return !Echoed.empty(); }));
    Ctl->CheckIn(Out);

    // Another program holds the device. An owner that checks it out anyway gets no reader, and
    // its writes fail rather than go out with nobody reading the answers; once the other
    // program lets go, the reader starts.
    Ctl->SetOnDeviceChange(nullptr);
    Bus.setHeldByOtherProgram(Dev.Id, true);
    ASSERT_TRUE(WaitUntil([&] { return Listed->ReadWriteError() == ERROR_SHARING_VIOLATION; }));
    ASSERT_TRUE(Ctl->CheckOut(Out));
    EXPECT_FALSE(Out->ReadWriteAccess);
    EXPECT_FALSE(Out->ReaderRunning());
    EXPECT_FALSE(Out->WriteFile(Report.data(), 65, Written));
    Out->CloseFile();  // even a write that reopens the device is refused while nothing reads
    EXPECT_FALSE(Out->WriteFile(Report.data(), 65, Written));
    Bus.setHeldByOtherProgram(Dev.Id, false);
    ASSERT_TRUE(WaitUntil([&] { return Out->ReaderRunning(); }, 5000));
    Echoed.clear();
    ASSERT_TRUE(Out->WriteFile(Report.data(), 65, Written));
    ASSERT_TRUE(WaitUntil([&] { return !Echoed.empty(); }));
    EXPECT_EQ(Echoed[0], 0x42);
    Ctl->CheckIn(Out);
}

TEST_F(ControllerTest, UnplugHandlerMayCheckTheDeviceIn) {
    auto Ctl = MakeController();
    TJvHidDevice* Out = nullptr;
    int Removals = 0;
    Ctl->SetOnDeviceUnplug([&](TJvHidDevice* D) {
        EXPECT_EQ(D, Out);
        Ctl->CheckIn(Out);
    });
    Ctl->SetOnRemoval([&](TJvHidDevice*) { ++Removals; });
    Ctl->SetOnDeviceData([](TJvHidDevice*, uint8_t, const uint8_t*, uint16_t) {});
    EchoDevice Dev;
    ASSERT_TRUE(WaitPlugged(*Ctl, 1));
    ASSERT_TRUE(Ctl->CheckOut(Out));
    EXPECT_TRUE(Out->ReaderRunning());
    Dev.Unplug();
    ASSERT_TRUE(WaitUntil([&] { return Ctl->Devices().empty(); }));
    EXPECT_EQ(Out, nullptr);
    EXPECT_EQ(Removals, 0) << "a destroyed device is not handed to later handlers";
    EXPECT_EQ(Ctl->UnpluggedCount(), 0);
    EXPECT_EQ(Ctl->CheckedOutCount(), 0);
}

TEST_F(ControllerTest, HandlersPassOnOnlyToDevicesHoldingThePreviousOne) {
    EchoDevice A;
    EchoDevice B;
    auto Ctl = MakeController();
    ASSERT_TRUE(WaitPlugged(*Ctl, 2));
    TJvHidDevice* DevA = Ctl->Devices()[0];
    TJvHidDevice* DevB = Ctl->Devices()[1];
    Ctl->SetOnDeviceUnplug([](TJvHidDevice*) {});
    auto First = Ctl->OnDeviceUnplug;
    EXPECT_EQ(DevA->OnUnplug, First);
    DevB->SetOnUnplug([](TJvHidDevice*) {});
    auto Own = DevB->OnUnplug;
    Ctl->SetOnDeviceUnplug([](TJvHidDevice*) {});
    EXPECT_EQ(DevA->OnUnplug, Ctl->OnDeviceUnplug);
    EXPECT_NE(DevA->OnUnplug, First);
    EXPECT_EQ(DevB->OnUnplug, Own) << "a device's own handler stays";

    Ctl->SetDevThreadSleepTime(50);
    EXPECT_EQ(DevA->GetThreadSleepTime(), 50);
    DevB->SetThreadSleepTime(200);
    Ctl->SetDevThreadSleepTime(60);
    EXPECT_EQ(DevA->GetThreadSleepTime(), 60);
    EXPECT_EQ(DevB->GetThreadSleepTime(), 200);

    // Devices made later take the controller's handlers, the error handler included.
    Ctl->SetOnDeviceDataError([](TJvHidDevice*, uint32_t) {});
    EchoDevice C;
    ASSERT_TRUE(WaitPlugged(*Ctl, 3));
    TJvHidDevice* DevC = Ctl->Devices()[2];
    EXPECT_EQ(DevC->OnDataError, Ctl->OnDeviceDataError);
    EXPECT_EQ(DevC->OnUnplug, Ctl->OnDeviceUnplug);
    EXPECT_EQ(DevC->GetThreadSleepTime(), 60);
}

TEST_F(ControllerTest, DestroyingTheControllerUnplugsCheckedOutDevices) {
    EchoDevice Dev;
    auto Ctl = MakeController();
    ASSERT_TRUE(WaitPlugged(*Ctl, 1));
    int Data = 0;
    int Unplugs = 0;
    Ctl->SetOnDeviceData([&](TJvHidDevice*, uint8_t, const uint8_t*, uint16_t) { ++Data; });
    Ctl->SetOnDeviceUnplug([&](TJvHidDevice*) { ++Unplugs; });
    TJvHidDevice* Out = nullptr;
    ASSERT_TRUE(Ctl->CheckOut(Out));
    ASSERT_TRUE(Out->ReaderRunning());
    Ctl.reset();
    EXPECT_EQ(Unplugs, 1);
    EXPECT_EQ(Out->Controller, nullptr);
    EXPECT_FALSE(Out->ReaderRunning());
    EXPECT_FALSE(IsHidLoaded());
    Dev.Send(std::vector<uint8_t>(65, 1));
    RunFor(30);
    EXPECT_EQ(Data, 0);
    delete Out;
}

TEST_F(ControllerTest, DeletingAListedDeviceLeavesAFreshOneInItsSlot) {
    EchoDevice A;
    EchoDevice B;
    auto Ctl = MakeController();
    ASSERT_TRUE(WaitPlugged(*Ctl, 2));
    Ctl->SetOnDeviceUnplug([](TJvHidDevice*) {});
    TJvHidDevice* Out = nullptr;
    ASSERT_TRUE(Ctl->CheckOutByIndex(Out, 0));
    Out->SetThreadSleepTime(40);
    const auto Unplug = Out->OnUnplug;
    const uint32_t Instance = Out->PnPInfo->DeviceInstance;
    delete Out;
    ASSERT_EQ(Ctl->Devices().size(), 2u);
    TJvHidDevice* Fresh = Ctl->Devices()[0];
    EXPECT_EQ(Fresh->PnPInfo->DeviceInstance, Instance);
    EXPECT_FALSE(Fresh->CheckedOut);
    EXPECT_EQ(Fresh->OnUnplug, Unplug);
    EXPECT_EQ(Fresh->GetThreadSleepTime(), 40);
    EXPECT_EQ(Ctl->CheckedOutCount(), 0);
    EXPECT_EQ(Ctl->CheckedInCount(), 2);
}

TEST_F(ControllerTest, TwoControllersShareTheBinding) {
    EchoDevice Dev;
    auto First = MakeController();
    auto Second = MakeController();
    ASSERT_TRUE(WaitPlugged(*Second, 1));
    First.reset();
    EXPECT_TRUE(IsHidLoaded());
    TJvHidDevice* Out = nullptr;
    ASSERT_TRUE(Second->CheckOut(Out));
    uint8_t Report[65] = {0, 7};
    uint32_t Written = 0;
    EXPECT_TRUE(Out->WriteFile(Report, sizeof Report, Written));
    EXPECT_EQ(Written, 65u);
    Second->CheckIn(Out);
}

}  // namespace
