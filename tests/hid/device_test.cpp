#include <QObject>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid.h"
#include "sim_fixture.h"

using namespace hidtest;

namespace {

struct Received {
    uint8_t ReportID;
    std::vector<uint8_t> Data;
};

class DeviceTest : public SimTest {
  protected:
    // A controller with one checked-out echo device whose reports are collected.
    void Open(uint8_t ReportId = 0) {
        Dev = std::make_unique<EchoDevice>(0x0168, 0x0904, ReportId);
        Ctl = MakeController();
        ASSERT_TRUE(WaitPlugged(*Ctl, 1));
        Ctl->SetOnDeviceData(
            [this](TJvHidDevice* D, uint8_t Id, const uint8_t* Data, uint16_t Size) {
                EXPECT_EQ(D, Out);
                Got.push_back({Id, std::vector<uint8_t>(Data, Data + Size)});
            });
        Ctl->SetOnDeviceDataError(
            [this](TJvHidDevice*, uint32_t Error) { Errors.push_back(Error); });
        ASSERT_TRUE(Ctl->CheckOut(Out));
        ASSERT_TRUE(Out->ReaderRunning());
    }
    void TearDown() override {
        if (Ctl && Out != nullptr) Ctl->CheckIn(Out);
        Ctl.reset();
        SimTest::TearDown();
    }

    std::unique_ptr<EchoDevice> Dev;
    std::unique_ptr<TJvHidDeviceController> Ctl;
    TJvHidDevice* Out = nullptr;
    std::vector<Received> Got;
    std::vector<uint32_t> Errors;
};

TEST_F(DeviceTest, WrittenReportComesBackWithoutItsReportIdByte) {
    Open();
    EXPECT_EQ(Out->Caps().InputReportByteLength, 65);
    EXPECT_EQ(Out->Caps().OutputReportByteLength, 65);
    std::vector<uint8_t> Report(65);
    for (std::size_t I = 0; I < Report.size(); ++I)
        Report[I] = static_cast<uint8_t>(I);
    Report[0] = 0;
    uint32_t Written = 0;
    ASSERT_TRUE(Out->WriteFile(Report.data(), 65, Written));
    EXPECT_EQ(Written, 65u);
    ASSERT_TRUE(WaitUntil([&] { return Got.size() == 1; }));
    EXPECT_EQ(Got[0].ReportID, 0);
    ASSERT_EQ(Got[0].Data.size(), 64u);
    EXPECT_EQ(Got[0].Data.front(), 1);
    EXPECT_EQ(Got[0].Data.back(), 64);

    // Reports arrive in order, one hand-over each.
    for (uint8_t N = 1; N <= 20; ++N) {
        std::vector<uint8_t> R(65, N);
        R[0] = 0;
        ASSERT_TRUE(Dev->Send(R));
    }
    ASSERT_TRUE(WaitUntil([&] { return Got.size() == 21; }));
    for (uint8_t N = 1; N <= 20; ++N)
        EXPECT_EQ(Got[N].Data[0], N);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(DeviceTest, NumberedReportsCarryTheirId) {
    Open(5);
    std::vector<uint8_t> R(65, 0xAB);
    R[0] = 5;
    ASSERT_TRUE(Dev->Send(R));
    ASSERT_TRUE(WaitUntil([&] { return Got.size() == 1; }));
    EXPECT_EQ(Got[0].ReportID, 5);
    EXPECT_EQ(Got[0].Data.size(), 64u);
    EXPECT_EQ(Got[0].Data[63], 0xAB);
}

TEST_F(DeviceTest, ShortReportsAreDeliveredWithTheirLengthAndNeverOverrun) {
    Open();
    const std::vector<uint8_t> One = {0};
    ASSERT_TRUE(Dev->Send(One));
    const std::vector<uint8_t> Three = {0, 9, 8};
    ASSERT_TRUE(Dev->Send(Three));
    ASSERT_TRUE(WaitUntil([&] { return Got.size() == 2; }));
    EXPECT_TRUE(Got[0].Data.empty());
    EXPECT_EQ(Got[1].Data, (std::vector<uint8_t>{9, 8}));
}

TEST_F(DeviceTest, RemovalDuringPendingReadIsReportedOnceWithoutSpinning) {
    Open();
    RunFor(30);  // the reader is waiting in its read
    Dev->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return !Errors.empty() && Ctl->UnpluggedCount() == 1; }));
    RunFor(200);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(SysErrorMessage(Errors[0]), "The device is not connected.");
    EXPECT_TRUE(Got.empty());
    Ctl->CheckIn(Out);
    EXPECT_TRUE(Ctl->Devices().empty());
}

TEST_F(DeviceTest, CheckInWhileTheReaderWaitsInAHandOverDoesNotDeadlock) {
    Open();
    for (int Round = 0; Round < 3; ++Round) {
        std::vector<uint8_t> R(65, 3);
        R[0] = 0;
        ASSERT_TRUE(Dev->Send(R));
        // No event processing: the reader has the report and waits for the hand-over.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Ctl->CheckIn(Out);
        EXPECT_EQ(Out, nullptr);
        RunFor(20);
        EXPECT_TRUE(Got.empty()) << "a hand-over still waiting at check-in is dropped";
        ASSERT_TRUE(Ctl->CheckOut(Out));
    }
}

TEST_F(DeviceTest, DataHandlerMayCheckTheDeviceIn) {
    Open();
    Ctl->SetOnDeviceData([this](TJvHidDevice* D, uint8_t, const uint8_t*, uint16_t) {
        EXPECT_EQ(D, Out);
        Got.push_back({});
        Ctl->CheckIn(Out);  // stops the reader from inside its own hand-over
    });
    std::vector<uint8_t> R(65, 1);
    R[0] = 0;
    ASSERT_TRUE(Dev->Send(R));
    ASSERT_TRUE(Dev->Send(R));
    ASSERT_TRUE(WaitUntil([&] { return Got.size() == 1; }));
    EXPECT_EQ(Out, nullptr);
    RunFor(50);
    EXPECT_EQ(Got.size(), 1u);
    EXPECT_EQ(Ctl->CheckedInCount(), 1);
    // The device works again after a new check-out.
    ASSERT_TRUE(Ctl->CheckOut(Out));
    ASSERT_TRUE(Dev->Send(R));
    ASSERT_TRUE(WaitUntil([&] { return Got.size() == 2; }));
}

TEST_F(DeviceTest, ErrorHandlerMayDestroyTheDevice) {
    Open();
    Ctl->SetOnDeviceDataError([this](TJvHidDevice* D, uint32_t Error) {
        EXPECT_EQ(D, Out);
        Errors.push_back(Error);
        Ctl->CheckIn(Out);  // unplugged by then or not: must be safe either way
    });
    Dev->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return Errors.size() == 1 && Ctl->Devices().empty(); }));
    RunFor(50);
    EXPECT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Out, nullptr);
}

TEST_F(DeviceTest, ClearingTheDataHandlerStopsTheReader) {
    Open();
    Out->SetOnData(nullptr);
    EXPECT_FALSE(Out->ReaderRunning());
    std::vector<uint8_t> R(65, 1);
    R[0] = 0;
    ASSERT_TRUE(Dev->Send(R));
    RunFor(30);
    EXPECT_TRUE(Got.empty());
    Out->SetOnData([this](TJvHidDevice*, uint8_t, const uint8_t*, uint16_t) { Got.push_back({}); });
    EXPECT_TRUE(Out->ReaderRunning());
    ASSERT_TRUE(WaitUntil([&] { return Got.size() == 1; })) << "the queued report is read now";
}

TEST_F(DeviceTest, WorkerThreadWritesWhileTheUiThreadReopensAndRestartsTheReader) {
    Open();
    // The link writes on its own thread; meanwhile the window's thread closes the synchronous
    // handle (as every first string query does), so the next write opens it again, and swaps
    // the data handler, which restarts the reader.
    std::atomic<bool> Stop{false};
    std::atomic<int> Writes{0};
    std::thread Writer([&] {
        std::vector<uint8_t> R(65, 7);
        R[0] = 0;
        while (!Stop) {
            uint32_t Written = 0;
            if (Out->WriteFile(R.data(), 65, Written)) ++Writes;
            std::this_thread::yield();
        }
    });
    const auto Handler = [this](TJvHidDevice*, uint8_t, const uint8_t*, uint16_t) {
        Got.push_back({});
    };
    for (int I = 0; I < 40; ++I) {
        Out->CloseFile();
        Out->SetOnData(nullptr);
        Out->SetOnData(Handler);
        EXPECT_TRUE(Out->ReaderRunning());
        RunFor(1);
    }
    Stop = true;
    Writer.join();
    EXPECT_GT(Writes.load(), 0);
    EXPECT_TRUE(Out->ReadWriteAccess);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(DeviceTest, ThreadSleepTimeKeepsItsRange) {
    Open();
    Out->SetThreadSleepTime(100);
    Out->SetThreadSleepTime(9);
    EXPECT_EQ(Out->GetThreadSleepTime(), 100);
    Out->SetThreadSleepTime(10001);
    EXPECT_EQ(Out->GetThreadSleepTime(), 100);
    Out->SetThreadSleepTime(10);
    EXPECT_EQ(Out->GetThreadSleepTime(), 10);
    Out->SetThreadSleepTime(10000);
    EXPECT_EQ(Out->GetThreadSleepTime(), 10000);
    Out->SetThreadSleepTime(10);
}

TEST_F(DeviceTest, StringsAndDescriptorQueries) {
    Open();
    EXPECT_EQ(Out->GetVendorName(), u"Velto Audio");
    EXPECT_EQ(Out->GetProductName(), u"Velto");
    EXPECT_EQ(Out->GetSerialNumber(), u"SN0001");
    ASSERT_EQ(Out->GetLanguageStrings().size(), 1u);
    EXPECT_FALSE(Out->GetLanguageStrings()[0].empty());
    EXPECT_EQ(Out->GetDeviceStringUnicode(0), u"");
    EXPECT_EQ(Out->GetDeviceStringAnsi(2), "Velto");
    EXPECT_TRUE(Out->GetPhysicalDescriptor().empty());
    EXPECT_EQ(Out->Attributes.VersionNumber, 0x0103);
    EXPECT_EQ(Out->Attributes.Size, sizeof(HIDD_ATTRIBUTES));
    const HIDP_LINK_COLLECTION_NODE Far = Out->GetLinkCollectionNode(500);
    EXPECT_EQ(Far.LinkUsage, 0);
    EXPECT_EQ(Out->GetLinkCollectionNode(0).LinkUsagePage, 0xFF00);
    EXPECT_FALSE(Out->PnPInfo->DevicePath.empty());
}

TEST_F(DeviceTest, ForwardedOperationsNeedAnAccessibleDevice) {
    Open();
    Out->MaxUsageListLength = -1;
    Out->SetReportTypeParam(HidP_Input);
    EXPECT_EQ(Out->MaxDataListLength, static_cast<int>(hidlib::HidP_MaxDataListLength(
                                          HidP_Input, Out->GetPreparsedData())));
    EXPECT_GE(Out->MaxUsageListLength, 0) << "the limits are read while accessible";
    EXPECT_EQ(Out->MaxButtonListLength, Out->MaxUsageListLength);
    HIDP_VALUE_CAPS Caps[4] = {};
    uint16_t Count = 4;
    EXPECT_EQ(Out->GetValueCaps(Caps, Count), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(Count, 1);
    EXPECT_EQ(Caps[0].UsagePage, 0xFF00);

    TJvHidDevice* Dev2 = Out;
    Ctl->CheckIn(Out);
    Count = 4;
    EXPECT_EQ(Dev2->GetValueCaps(Caps, Count), HIDP_STATUS_NULL);
    uint32_t Len = 4;
    USAGE Usages[4] = {};
    char Report[65] = {};
    EXPECT_EQ(Dev2->GetUsages(Usages, Len, Report, sizeof Report), HIDP_STATUS_NULL);
    uint32_t Value = 0;
    EXPECT_EQ(Dev2->GetUsageValue(Value, Report, sizeof Report), HIDP_STATUS_NULL);
    EXPECT_EQ(HidErrorString(HIDP_STATUS_NULL), "HID Error: device not plugged in");
}

TEST_F(DeviceTest, DeviceWithoutReadWriteAccessNeverReadsAndCannotWrite) {
    EchoDevice Locked;
    simbus::Bus::instance().setAccessDenied(Locked.Id, true);
    Ctl = MakeController();
    ASSERT_TRUE(WaitPlugged(*Ctl, 1));
    Ctl->SetOnDeviceData([](TJvHidDevice*, uint8_t, const uint8_t*, uint16_t) {});
    ASSERT_TRUE(Ctl->CheckOut(Out));
    EXPECT_FALSE(Out->ReadWriteAccess);
    EXPECT_EQ(Out->ReadWriteError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Out->ReaderRunning());
    uint8_t Report[65] = {};
    uint32_t Written = 7;
    EXPECT_FALSE(Out->WriteFile(Report, sizeof Report, Written));
    EXPECT_EQ(Written, 0u);
    EXPECT_EQ(Out->GetProductName(), u"Velto") << "queries work without read/write access";
}

TEST(DeviceCreation, DirectCreationAndUnopenableDevicesRaise) {
    EnsureApp();
    try {
        TJvHidDevice Bad(nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const EControllerError& E) {
        EXPECT_STREQ(E.what(), "Direct creation of a TJvHidDevice object is not allowed");
    }
    try {
        TJvHidDeviceReadThread Bad(nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const EControllerError& E) {
        EXPECT_STREQ(E.what(), "Direct creation of a TJvDeviceReadThread object is not allowed");
    }
    ASSERT_TRUE(LoadHid());
    try {
        TJvHidDevice Bad(new TJvHidPnPInfo(1, "/no/such/device"), nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const EControllerError& E) {
        EXPECT_STREQ(E.what(), "device cannot be opened");
    }
    UnloadHid();
}

}  // namespace
