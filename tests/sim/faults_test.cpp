#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "sim/velto_device.h"
#include "tests/sim/fake_port.h"
#include "tests/sim/host_side.h"

namespace simdev {
namespace {

using namespace std::chrono_literals;
using testing::FakePort;
using testing::HostReport;
using testing::IapPacket;
using testing::Le32;
using testing::Packet;

class FaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port = std::make_shared<FakePort>();
        device = std::make_unique<VeltoDevice>(port);
        device->SetReenumerationDelay(20ms);
        device->SetRepeatInterval(0ms);
    }

    // Writes and waits until the device has logged the report, so that "no answer" can be
    // told from "answer not yet sent" without sleeping.
    void WriteLogged(const std::vector<uint8_t>& report) {
        const std::size_t n = device->Log().size();
        ASSERT_TRUE(port->Write(report));
        ASSERT_TRUE(device->WaitForLogSize(n + 1, 5s));
    }

    std::shared_ptr<FakePort> port;
    std::unique_ptr<VeltoDevice> device;
};

TEST_F(FaultsTest, LatencyHoldsEachAnswerBack) {
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    device->SetAnswerLatency(150ms);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(port->Write(HostReport(kCmdOpen)));
    ASSERT_TRUE(port->WaitForInputs(1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
}

TEST_F(FaultsTest, TheNthAnswerIsDropped) {
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    device->DropAnswer(2);
    for (uint8_t cmd : {0x10, 0x12, 0x04})
        WriteLogged(HostReport(cmd));
    ASSERT_TRUE(port->WaitForInputs(2));
    std::this_thread::sleep_for(20ms);
    auto inputs = port->Inputs();
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[0][6], 0x10);
    EXPECT_EQ(inputs[1][6], 0x04);
}

TEST_F(FaultsTest, DroppedIapAnswerIsNotRepeatedEither) {
    ASSERT_TRUE(device->PlugIn(Mode::Update));
    device->SetRepeatInterval(kRepeatInterval);
    device->DropAnswer(1);
    WriteLogged(Packet(kIapConnect, 1).Report());
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(port->InputCount(), 0u);
}

TEST_F(FaultsTest, GarbageAndShortReportsComeJustBeforeTheChosenAnswer) {
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    const std::vector<uint8_t> garbage(64, 0xA5);
    const std::vector<uint8_t> shortOne = {0x10, 0x02, 0x01};
    device->InjectBeforeAnswer(2, garbage);
    device->InjectBeforeAnswer(2, shortOne);
    WriteLogged(HostReport(kCmdOpen));
    WriteLogged(HostReport(kCmdPoll));
    ASSERT_TRUE(port->WaitForInputs(4));
    auto inputs = port->Inputs();
    EXPECT_EQ(inputs[0][6], kCmdOpen);
    ASSERT_EQ(inputs[1].size(), 65u);
    EXPECT_EQ(inputs[1][0], 0);
    EXPECT_TRUE(std::equal(garbage.begin(), garbage.end(), inputs[1].begin() + 1));
    EXPECT_EQ(inputs[2], (std::vector<uint8_t>{0, 0x10, 0x02, 0x01}));
    EXPECT_EQ(inputs[3][6], kCmdPoll);
}

TEST_F(FaultsTest, WrongSumAtTheChosenOccurrenceOfAPacketKind) {
    ASSERT_TRUE(device->PlugIn(Mode::Update));
    device->SetWrongSum(kIapSync, 1);  // the second sync, the one before programming
    device->SetWrongSum(kIapData, 2);
    auto send = [&](const IapPacket& p) {
        port->ClearInputs();
        EXPECT_TRUE(port->Write(p.Report()));
        EXPECT_TRUE(port->WaitForInputs(1));
        return Le32(port->Inputs()[0], 1) == p.Sum();
    };
    EXPECT_TRUE(send(Packet(kIapSync, 1)));
    EXPECT_FALSE(send(Packet(kIapSync, 1)));
    EXPECT_TRUE(send(Packet(kIapSync, 1)));  // the fault fires once
    IapPacket start = Packet(kIapStart, 2);
    start.SetLe32(12, 48 + 56 * 4);
    EXPECT_TRUE(send(start));
    EXPECT_TRUE(send(Packet(kIapData, 3)));
    EXPECT_TRUE(send(Packet(kIapData, 4)));
    EXPECT_FALSE(send(Packet(kIapData, 5)));
    EXPECT_TRUE(send(Packet(kIapData, 6)));

    // Counting starts again with every update session.
    device->SetWrongSum(kIapConnect, 0);
    device->Unplug();
    ASSERT_TRUE(device->PlugIn(Mode::Update));
    EXPECT_FALSE(send(Packet(kIapConnect, 1)));
}

TEST_F(FaultsTest, UnplugAtAnIapPacketStaysAwayOrComesBack) {
    ASSERT_TRUE(device->PlugIn(Mode::Update));
    device->UnplugAtIapPacket(2);
    WriteLogged(Packet(kIapConnect, 1).Report());
    WriteLogged(Packet(kIapSync, 2).Report());
    WriteLogged(Packet(kIapVersion, 3).Report());
    ASSERT_TRUE(device->WaitUntilUnplugged(5s));
    ASSERT_TRUE(port->WaitForInputs(2));
    EXPECT_EQ(port->InputCount(), 2u);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(device->IsPlugged());
    EXPECT_EQ(port->Plugs().size(), 1u);

    ASSERT_TRUE(device->PlugIn(Mode::Update));
    device->UnplugAtIapPacket(0, 10ms);
    WriteLogged(Packet(kIapConnect, 1).Report());
    ASSERT_TRUE(port->WaitForPlugs(3));
    ASSERT_TRUE(device->WaitForMode(Mode::Update, 5s));
    EXPECT_EQ(port->Plugs()[2].productId, kUpdateProductId);
}

TEST_F(FaultsTest, UnplugAtADspBlock) {
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    device->UnplugAtDspBlock(1);
    std::vector<uint8_t> image(kDspMemorySize, 0x5C);
    for (int b = 0; b < 3 && port->Plugged(); ++b)
        port->Write(HostReport(kCmdDspBlock, testing::DspBlockPayload(b, image.data(), 0)));
    ASSERT_TRUE(device->WaitUntilUnplugged(5s));
    EXPECT_EQ(device->DspBlocksStored(), 1u);
    auto log = device->Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1].number, 1);
}

TEST_F(FaultsTest, RowIndexAboveTheTableIsReportedButTheDeviceKeepsItsMask) {
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    const uint32_t mask = device->DspMask();
    device->SetReportedRowIndex(200);
    ASSERT_TRUE(port->Write(HostReport(kCmdParamRead, {0})));
    ASSERT_TRUE(port->WaitForInputs(1));
    EXPECT_EQ(port->Inputs()[0][8], 200);
    EXPECT_EQ(device->ParameterTable()[0], 200);
    EXPECT_FALSE(VeltoDevice::MaskFromTable(device->ParameterTable()).has_value());
    EXPECT_EQ(device->DspMask(), mask);

    device->ClearFaults();
    EXPECT_LE(device->ParameterTable()[0], kMaxRowIndex);
}

TEST_F(FaultsTest, ReenumerationDelayIsHonoured) {
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    device->SetReenumerationDelay(200ms);
    WriteLogged(HostReport(kCmdIapReset));
    ASSERT_TRUE(device->WaitUntilUnplugged(5s));
    const auto gone = std::chrono::steady_clock::now();
    ASSERT_TRUE(device->WaitForMode(Mode::Update, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - gone, 150ms);
}

TEST_F(FaultsTest, DestructionWhileRepeatingAndWhileTheHostWrites) {
    ASSERT_TRUE(device->PlugIn(Mode::Update));
    device->SetRepeatInterval(kRepeatInterval);
    std::atomic<bool> stop{false};
    auto handler = port->Handler();
    std::thread host([&] {
        auto r = Packet(kIapConnect, 1).Report();
        while (!stop)
            handler(r.data(), r.size());
    });
    ASSERT_TRUE(port->WaitForInputs(20));
    device.reset();
    EXPECT_FALSE(port->Plugged());
    EXPECT_EQ(port->Unplugs(), 1);
    stop = true;
    host.join();
}

TEST_F(FaultsTest, PlugAndUnplugRacingWithTheHost) {
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    std::atomic<bool> stop{false};
    std::thread host([&] {
        auto r = HostReport(kCmdPoll);
        while (!stop)
            port->Write(r);
    });
    for (int i = 0; i < 20; ++i) {
        device->Unplug();
        ASSERT_TRUE(device->PlugIn(i % 2 ? Mode::Run : Mode::Update));
    }
    stop = true;
    host.join();
    EXPECT_TRUE(device->IsPlugged());
    EXPECT_EQ(port->Plugs().size(), 21u);
}

}  // namespace
}  // namespace simdev
