#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "sim/velto_device.h"
#include "tests/sim/fake_port.h"
#include "tests/sim/host_side.h"

namespace simdev {
namespace {

using namespace std::chrono_literals;
using testing::FakePort;
using testing::IapPacket;
using testing::Le32;
using testing::Packet;

class UpdateModeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port = std::make_shared<FakePort>();
        device = std::make_unique<VeltoDevice>(port);
        device->SetReenumerationDelay(20ms);
        // Most tests look at one answer per packet; the repeat has tests of its own.
        device->SetRepeatInterval(0ms);
        ASSERT_TRUE(device->PlugIn(Mode::Update));
    }

    // Sends a packet and returns the first answer to it.
    std::vector<uint8_t> Send(const IapPacket& p) {
        port->ClearInputs();
        EXPECT_TRUE(port->Write(p.Report()));
        EXPECT_TRUE(port->WaitForInputs(1));
        auto inputs = port->Inputs();
        return inputs.empty() ? std::vector<uint8_t>{} : inputs[0];
    }

    // Start packet and data packets for an image, as the host's update sequence builds them.
    void Program(const std::vector<uint8_t>& image, uint32_t announced) {
        uint32_t seq = 5;
        IapPacket start = Packet(kIapStart, seq);
        start.SetLe32(12, announced);
        std::size_t pos = 0;
        for (; pos < 48 && pos < image.size(); ++pos)
            start.bytes[16 + pos] = image[pos];
        auto a = Send(start);
        ASSERT_EQ(Le32(a, 1), start.Sum());
        seq = Le32(a, 5);
        while (pos < image.size()) {
            IapPacket data = Packet(kIapData, seq);
            const std::size_t take = std::min<std::size_t>(56, image.size() - pos);
            for (std::size_t i = 0; i < take; ++i)
                data.bytes[8 + i] = image[pos + i];
            pos += take;
            a = Send(data);
            ASSERT_EQ(Le32(a, 1), data.Sum());
            ASSERT_EQ(Le32(a, 5), seq + 1);
            seq = Le32(a, 5);
        }
    }

    static std::vector<uint8_t> Image(std::size_t n) {
        std::vector<uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i)
            v[i] = static_cast<uint8_t>(i * 13 + 1);
        return v;
    }

    std::shared_ptr<FakePort> port;
    std::unique_ptr<VeltoDevice> device;
};

TEST_F(UpdateModeTest, PresentsUpdateIdentity) {
    auto plugs = port->Plugs();
    ASSERT_EQ(plugs.size(), 1u);
    EXPECT_EQ(plugs[0].vendorId, 0x0168);
    EXPECT_EQ(plugs[0].productId, 0x0904);
    EXPECT_EQ(plugs[0].reportDescriptor, VeltoDevice::ReportDescriptor());
}

TEST_F(UpdateModeTest, AnswersCarryTheSumAndTheNextPacketNumber) {
    IapPacket connect = Packet(kIapConnect, 1);
    auto a = Send(connect);
    ASSERT_EQ(a.size(), 65u);
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(Le32(a, 1), connect.Sum());
    EXPECT_EQ(Le32(a, 5), 2u);

    IapPacket sync = Packet(kIapSync, 2);
    sync.bytes[8] = 2;
    a = Send(sync);
    EXPECT_EQ(Le32(a, 1), 0x81u + 2 + 2);
    EXPECT_EQ(a[5], 3);

    a = Send(Packet(kIapVersion, 3));
    EXPECT_EQ(a[5], 4);
    EXPECT_EQ(a[9], DeviceOptions{}.firmwareVersion);

    a = Send(Packet(kIapDeviceId, 4));
    EXPECT_EQ(Le32(a, 9), DeviceOptions{}.deviceId);

    a = Send(Packet(kIapConfig, 5));
    EXPECT_EQ(Le32(a, 9), DeviceOptions{}.configWord0);
    EXPECT_EQ(Le32(a, 13), DeviceOptions{}.configWord1);

    a = Send(Packet(kIapErase, 6));
    EXPECT_EQ(Le32(a, 1), 0x88u + 6);
    EXPECT_EQ(Le32(a, 5), 7u);

    // A sum over a packet full of 0xFF does not wrap at 8 or 16 bits.
    IapPacket full;
    for (int i = 0; i < 64; ++i)
        full.bytes[i] = 0xFF;
    a = Send(full);
    EXPECT_EQ(Le32(a, 1), 64u * 0xFF);
    EXPECT_EQ(Le32(a, 5), 0u);  // 0xFFFFFFFF + 1

    auto log = device->Log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[0].command, kIapConnect);
    EXPECT_EQ(log[0].number, 1);
    EXPECT_EQ(log[5].command, kIapErase);
    EXPECT_EQ(log[6].number, 0xFFFFFFFF);
    EXPECT_EQ(log[6].mode, Mode::Update);
}

TEST_F(UpdateModeTest, ReportsShorterOrLongerThanThePacketAreSummedAsReceived) {
    std::vector<uint8_t> shortReport = {0, kIapConnect, 0, 0, 0, 9};
    ASSERT_TRUE(port->Write(shortReport));
    ASSERT_TRUE(port->WaitForInputs(1));
    auto a = port->Inputs()[0];
    EXPECT_EQ(Le32(a, 1), 0x80u + 9);
    EXPECT_EQ(Le32(a, 5), 10u);

    // Bytes past the 64-byte report are not part of the packet.
    IapPacket p = Packet(kIapSync, 1);
    auto longReport = p.Report();
    longReport.resize(71, 0x55);
    port->ClearInputs();
    ASSERT_TRUE(port->Write(longReport));
    ASSERT_TRUE(port->WaitForInputs(1));
    EXPECT_EQ(Le32(port->Inputs()[0], 1), p.Sum());
}

TEST_F(UpdateModeTest, StartAndDataPacketsFillTheFlashUpToTheAnnouncedLength) {
    // 48 + 2 * 56 + 10: the last data packet carries only the rest.
    auto image = Image(170);
    Program(image, 170);
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
    EXPECT_EQ(device->FlashBytesWritten(), 170u);
    EXPECT_EQ(device->AnnouncedLength(), 170u);
    auto flash = device->Flash();
    ASSERT_EQ(flash.size(), kFlashSize);
    for (std::size_t i = 170; i < 260; ++i)
        ASSERT_EQ(flash[i], kFlashErased) << i;

    // More data after the end is answered but not written.
    IapPacket extra = Packet(kIapData, 99);
    for (int i = 8; i < 64; ++i)
        extra.bytes[i] = 0x42;
    auto a = Send(extra);
    EXPECT_EQ(Le32(a, 1), extra.Sum());
    EXPECT_EQ(device->FlashBytesWritten(), 170u);
    EXPECT_EQ(device->Flash()[170], kFlashErased);

    // A shorter or longer image is not a match.
    EXPECT_FALSE(device->FlashMatches(image.data(), 169));
    auto other = image;
    other[100] ^= 1;
    EXPECT_FALSE(device->FlashMatches(other.data(), other.size()));
}

TEST_F(UpdateModeTest, ImagesEndingOnAFullPacketOrInsideTheStartPacket) {
    auto image = Image(48 + 56 * 3);
    Program(image, static_cast<uint32_t>(image.size()));
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));

    // A new start erases what was there; a 20-byte image fits in the start packet.
    auto tiny = Image(20);
    Program(tiny, 20);
    EXPECT_TRUE(device->FlashMatches(tiny.data(), 20));
    EXPECT_EQ(device->Flash()[20], kFlashErased);
    EXPECT_EQ(device->Flash()[100], kFlashErased);
}

TEST_F(UpdateModeTest, AnnouncedLengthBeyondTheFlashIsClampedToIt) {
    auto image = Image(kFlashSize + 100);
    Program(image, static_cast<uint32_t>(image.size()));
    EXPECT_EQ(device->FlashBytesWritten(), kFlashSize);
    EXPECT_FALSE(device->FlashMatches(image.data(), image.size()));
    auto flash = device->Flash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), image.begin()));

    // A start claiming 4 GiB writes its 48 bytes and nothing out of bounds.
    IapPacket start = Packet(kIapStart, 1);
    start.SetLe32(12, 0xFFFFFFFFu);
    Send(start);
    EXPECT_EQ(device->FlashBytesWritten(), 48u);
}

TEST_F(UpdateModeTest, DataWithoutAStartWritesNothing) {
    IapPacket data = Packet(kIapData, 3);
    data.bytes[8] = 0x12;
    Send(data);
    EXPECT_EQ(device->FlashBytesWritten(), 0u);
    EXPECT_EQ(device->Flash()[0], kFlashErased);
}

TEST_F(UpdateModeTest, LatestAnswerRepeatsUntilTheNextPacket) {
    device->SetRepeatInterval(kRepeatInterval);
    IapPacket first = Packet(kIapConnect, 1);
    ASSERT_TRUE(port->Write(first.Report()));
    ASSERT_TRUE(port->WaitForInputs(4));
    auto inputs = port->Inputs();
    for (const auto& r : inputs)
        EXPECT_EQ(r, inputs[0]);

    IapPacket second = Packet(kIapSync, 2);
    ASSERT_TRUE(port->Write(second.Report()));
    // Once the answer to the second packet has come, the first one never comes again.
    std::size_t firstNew = 0;
    for (int tries = 0; tries < 500 && firstNew == 0; ++tries) {
        inputs = port->Inputs();
        for (std::size_t i = 0; i < inputs.size(); ++i)
            if (Le32(inputs[i], 1) == second.Sum()) {
                firstNew = i;
                break;
            }
        if (firstNew == 0) std::this_thread::sleep_for(2ms);
    }
    ASSERT_NE(firstNew, 0u);
    ASSERT_TRUE(port->WaitForInputs(firstNew + 4));
    inputs = port->Inputs();
    for (std::size_t i = firstNew; i < inputs.size(); ++i)
        EXPECT_EQ(Le32(inputs[i], 1), second.Sum()) << i;
}

TEST_F(UpdateModeTest, RepeatCanBeTurnedOff) {
    Send(Packet(kIapConnect, 1));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(port->InputCount(), 1u);
}

TEST_F(UpdateModeTest, ResetPacketReturnsInRunModeWithFlashKept) {
    auto image = Image(200);
    Program(image, 200);
    device->SetRepeatInterval(kRepeatInterval);
    auto a = Send(Packet(kIapReset, 12));
    EXPECT_EQ(Le32(a, 5), 13u);
    ASSERT_TRUE(device->WaitForMode(Mode::Run, 5s));
    auto plugs = port->Plugs();
    ASSERT_EQ(plugs.size(), 2u);
    EXPECT_EQ(plugs[1].productId, 0x0821);
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
    // The reset answer is not repeated once the device has left.
    const std::size_t n = port->InputCount();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(port->InputCount(), n);
}

TEST_F(UpdateModeTest, FullRoundTripRunUpdateRun) {
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    ASSERT_TRUE(port->Write(testing::HostReport(kCmdOpen)));
    ASSERT_TRUE(port->Write(testing::HostReport(kCmdIapReset)));
    ASSERT_TRUE(device->WaitForMode(Mode::Update, 5s));
    auto image = Image(500);
    Program(image, 500);
    Send(Packet(kIapReset, 30));
    ASSERT_TRUE(device->WaitForMode(Mode::Run, 5s));
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
    EXPECT_EQ(device->CountReceived(Mode::Run, kCmdIapReset), 1u);
    EXPECT_EQ(device->CountReceived(Mode::Update, kIapData), 9u);  // (500 - 48) / 56 rounded up
    EXPECT_EQ(device->CountReceived(Mode::Update, kIapReset), 1u);
}

}  // namespace
}  // namespace simdev
