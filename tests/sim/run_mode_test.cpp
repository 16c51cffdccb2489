#include <gtest/gtest.h>

#include <array>
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

class RunModeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port = std::make_shared<FakePort>();
        device = std::make_unique<VeltoDevice>(port);
        device->SetReenumerationDelay(20ms);
        ASSERT_TRUE(device->PlugIn(Mode::Run));
    }

    // Writes a command and returns its answer report.
    std::vector<uint8_t> Ask(const std::vector<uint8_t>& report) {
        const std::size_t before = port->InputCount();
        EXPECT_TRUE(port->Write(report));
        EXPECT_TRUE(port->WaitForInputs(before + 1));
        auto inputs = port->Inputs();
        return inputs.size() > before ? inputs[before] : std::vector<uint8_t>{};
    }

    std::array<uint8_t, kParamTableSize> ReadTable() {
        std::array<uint8_t, kParamTableSize> t{};
        for (int block = 0; block <= 10; ++block) {
            auto a = Ask(HostReport(kCmdParamRead, {static_cast<uint8_t>(block)}));
            EXPECT_EQ(a.size(), 65u);
            EXPECT_EQ(a[5], 52);  // LEN: command byte + block + 50 bytes
            EXPECT_EQ(a[6], kCmdParamRead);
            EXPECT_EQ(a[7], block);
            const std::size_t count = block < 10 ? 50 : 16;
            for (std::size_t i = 0; i < count; ++i)
                t[block * 50 + i] = a[8 + i];
        }
        return t;
    }

    std::shared_ptr<FakePort> port;
    std::unique_ptr<VeltoDevice> device;
};

TEST_F(RunModeTest, PresentsRunIdentityAndVendorDescriptor) {
    auto plugs = port->Plugs();
    ASSERT_EQ(plugs.size(), 1u);
    EXPECT_EQ(plugs[0].vendorId, 0x0168);
    EXPECT_EQ(plugs[0].productId, 0x0821);
    EXPECT_FALSE(plugs[0].product.empty());
    const auto& d = plugs[0].reportDescriptor;
    // Vendor page 0xFF00, 8-bit fields, 64 of them, an input and an output main item.
    const std::vector<uint8_t> page = {0x06, 0x00, 0xFF};
    EXPECT_TRUE(std::equal(page.begin(), page.end(), d.begin()));
    const std::vector<uint8_t> count64 = {0x95, 0x40};
    EXPECT_NE(std::search(d.begin(), d.end(), count64.begin(), count64.end()), d.end());
    EXPECT_NE(std::find(d.begin(), d.end(), 0x81), d.end());
    EXPECT_NE(std::find(d.begin(), d.end(), 0x91), d.end());
    EXPECT_TRUE(device->IsPlugged());
    EXPECT_EQ(device->CurrentMode(), Mode::Run);
    // Plugging in the same mode again is no replug.
    EXPECT_TRUE(device->PlugIn(Mode::Run));
    EXPECT_EQ(port->Plugs().size(), 1u);
}

TEST_F(RunModeTest, PlainCommandsGetByteExactAnswersExactlyOnce) {
    auto a = Ask(HostReport(kCmdOpen));
    std::vector<uint8_t> want(65, 0);
    const uint8_t frame[] = {0x10, 0x02, 0x01, 0x00, 0x01, 0x10, 0x10, 0x03, 0x11};
    std::copy(std::begin(frame), std::end(frame), want.begin() + 1);
    EXPECT_EQ(a, want);

    for (uint8_t cmd : {kCmdPoll, kCmdEnd, uint8_t{0x77}}) {
        a = Ask(HostReport(cmd));
        EXPECT_EQ(a[6], cmd);
        EXPECT_EQ(a[5], 1);
        uint8_t x = 0;
        for (int i = 1; i <= 8; ++i)
            x ^= a[i];
        EXPECT_EQ(a[9], x);
    }
    // The 0x1A command carries four payload bytes; its answer is still a plain one.
    a = Ask(HostReport(kCmdParamUnlock, {0x01, 0x00, 0x01, 0x00}));
    EXPECT_EQ(a[5], 1);
    EXPECT_EQ(a[6], kCmdParamUnlock);

    std::this_thread::sleep_for(30ms);  // run mode never repeats an answer
    EXPECT_EQ(port->InputCount(), 5u);
    EXPECT_EQ(device->CountReceived(Mode::Run, kCmdOpen), 1u);
}

TEST_F(RunModeTest, FramesAreDelimitedByLengthNotByMarkers) {
    // A payload holding 10 03 and a check byte that happens to be 0x10 must still be taken.
    auto a = Ask(HostReport(0x30, {0x10, 0x03, 0x10, 0x02}));
    EXPECT_EQ(a[6], 0x30);
    // Longest frame that fits one report: 55 payload bytes.
    a = Ask(HostReport(0x31, std::vector<uint8_t>(55, 0x10)));
    EXPECT_EQ(a[6], 0x31);
}

TEST_F(RunModeTest, MalformedFramesAreLoggedButNotAnswered) {
    auto badCheck = HostReport(kCmdOpen);
    badCheck[9] ^= 0xFF;
    auto otherReceiver = HostReport(kCmdOpen);
    otherReceiver[4] = 2;
    otherReceiver[9] ^= 0x03;  // keep the check byte right for the changed address
    auto tooLong = HostReport(kCmdOpen);
    tooLong[5] = 60;  // frame would end beyond the report
    auto noTrailer = HostReport(kCmdOpen);
    noTrailer[8] = 0x04;
    noTrailer[9] ^= 0x07;
    const std::vector<uint8_t> wrongId = {5, 0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x03, 0x11};
    for (const auto& r : {badCheck, otherReceiver, tooLong, noTrailer, wrongId,
                          std::vector<uint8_t>{0}, std::vector<uint8_t>{0, 0x10, 0x02}})
        port->Write(r);
    // A good frame after them is answered, and it is the only answer.
    auto a = Ask(HostReport(kCmdPoll));
    EXPECT_EQ(a[6], kCmdPoll);
    EXPECT_EQ(port->InputCount(), 1u);
    auto log = device->Log();
    ASSERT_EQ(log.size(), 8u);
    for (std::size_t i = 0; i < 7; ++i)
        EXPECT_FALSE(log[i].handled) << i;
    EXPECT_TRUE(log[7].handled && log[7].framed);
}

TEST_F(RunModeTest, ParameterReadServesTheTableWithANonZeroMask) {
    auto t = ReadTable();
    EXPECT_EQ(t, device->ParameterTable());
    EXPECT_LE(t[0], 31);
    auto mask = VeltoDevice::MaskFromTable(t);
    ASSERT_TRUE(mask.has_value());
    EXPECT_NE(*mask, 0u);
    EXPECT_EQ(*mask, device->DspMask());

    // Block 10 carries 16 meaningful bytes, then zeros, in a 60-byte frame.
    auto a = Ask(HostReport(kCmdParamRead, {10}));
    for (int i = 8 + 16; i < 8 + 50; ++i)
        EXPECT_EQ(a[i], 0) << i;
    EXPECT_EQ(a[58], 0x10);
    EXPECT_EQ(a[59], 0x03);
    uint8_t x = 0;
    for (int i = 1; i < 60; ++i)
        x ^= a[i];
    EXPECT_EQ(a[60], x);
    for (int i = 61; i < 65; ++i)
        EXPECT_EQ(a[i], 0);

    // A block beyond the table is answered with zeros, never with bytes past its end.
    a = Ask(HostReport(kCmdParamRead, {200}));
    EXPECT_EQ(a[7], 200);
    for (int i = 8; i < 58; ++i)
        EXPECT_EQ(a[i], 0);

    auto log = device->Log();
    ASSERT_EQ(log.size(), 13u);
    for (int b = 0; b <= 10; ++b)
        EXPECT_EQ(log[b].number, b);
}

TEST_F(RunModeTest, DifferentSeedsGiveDifferentTablesAndMasks) {
    DeviceOptions other;
    other.tableSeed = 12345;
    other.rowIndex = 31;  // last row still inside the table
    VeltoDevice second(std::make_shared<FakePort>(), other);
    EXPECT_NE(second.ParameterTable(), device->ParameterTable());
    EXPECT_EQ(second.ParameterTable()[0], 31);
    EXPECT_NE(second.DspMask(), 0u);
    EXPECT_EQ(VeltoDevice::MaskFromTable(second.ParameterTable()), second.DspMask());
}

TEST_F(RunModeTest, DspBlocksAreUnmaskedWithTheDevicesOwnMask) {
    const uint32_t mask = *VeltoDevice::MaskFromTable(ReadTable());
    std::vector<uint8_t> image(kDspMemorySize);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);

    for (int block : {0, 1, 768}) {
        auto a = Ask(HostReport(kCmdDspBlock, testing::DspBlockPayload(block, image.data(), mask)));
        EXPECT_EQ(a[6], kCmdDspBlock);
    }
    auto mem = device->DspMemory();
    for (int block : {0, 1, 768})
        EXPECT_TRUE(std::equal(image.begin() + block * 32, image.begin() + block * 32 + 32,
                               mem.begin() + block * 32))
            << block;
    EXPECT_EQ(device->DspBlocksStored(), 3u);
    EXPECT_EQ(device->DspLengthField(), image[0] << 8 | image[1]);
    EXPECT_EQ(device->DspCheckBytes(), image[2] << 8 | image[3]);

    // Sent without the mask, the block lands XORed with it and no longer matches.
    Ask(HostReport(kCmdDspBlock, testing::DspBlockPayload(1, image.data(), 0)));
    EXPECT_FALSE(device->DspMatches(image.data(), 64));
    EXPECT_TRUE(device->DspMatches(image.data(), 32));
    mem = device->DspMemory();
    EXPECT_EQ(mem[32] ^ image[32], static_cast<uint8_t>(mask));
    EXPECT_EQ(mem[35] ^ image[35], static_cast<uint8_t>(mask >> 24));
}

TEST_F(RunModeTest, DspBlocksOutOfRangeOrShortAreAnsweredButNotStored) {
    std::vector<uint8_t> image(kDspMemorySize + 64, 0xAB);
    auto before = device->DspMemory();
    Ask(HostReport(kCmdDspBlock, testing::DspBlockPayload(769, image.data(), 0)));
    Ask(HostReport(kCmdDspBlock, {0x00, 0x02, 0x01}));
    Ask(HostReport(kCmdDspBlock));
    EXPECT_EQ(device->DspMemory(), before);
    EXPECT_EQ(device->DspBlocksStored(), 0u);
    EXPECT_EQ(port->InputCount(), 3u);
    EXPECT_FALSE(device->DspMatches(image.data(), kDspMemorySize + 1));
}

TEST_F(RunModeTest, ResetToUpdateLeavesAndComesBackAsTheUpdateDevice) {
    auto handler = port->Handler();
    auto a = Ask(HostReport(kCmdIapReset));
    EXPECT_EQ(a[6], kCmdIapReset);
    // Reports written while it restarts reach no firmware.
    auto open = HostReport(kCmdOpen);
    handler(open.data(), open.size());
    ASSERT_TRUE(device->WaitForMode(Mode::Update, 5s));
    auto plugs = port->Plugs();
    ASSERT_EQ(plugs.size(), 2u);
    EXPECT_EQ(plugs[1].productId, 0x0904);
    EXPECT_EQ(plugs[1].vendorId, 0x0168);
    EXPECT_EQ(port->Unplugs(), 1);
    EXPECT_EQ(port->InputCount(), 1u);
    auto log = device->Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_TRUE(log[0].handled);
    EXPECT_FALSE(log[1].handled);
}

TEST_F(RunModeTest, ExplicitUnplugCancelsThePendingReturn) {
    device->SetReenumerationDelay(100ms);
    Ask(HostReport(kCmdIapReset));
    ASSERT_TRUE(device->WaitUntilUnplugged(5s));
    device->Unplug();
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(device->IsPlugged());
    EXPECT_EQ(port->Plugs().size(), 1u);
    // And it can be plugged in by hand again, in either mode.
    EXPECT_TRUE(device->PlugIn(Mode::Update));
    EXPECT_TRUE(device->PlugIn(Mode::Run));
    EXPECT_EQ(port->Plugs().size(), 3u);
    EXPECT_EQ(port->Unplugs(), 2);
}

TEST_F(RunModeTest, RefusedPlugLeavesTheDeviceUnplugged) {
    device->Unplug();
    port->RefusePlugs();
    EXPECT_FALSE(device->PlugIn(Mode::Run));
    EXPECT_FALSE(device->IsPlugged());
}

TEST_F(RunModeTest, LateOutputFromAnOldPlugIsIgnored) {
    auto stale = port->Handler();
    device->Unplug();
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    auto r = HostReport(kCmdOpen);
    stale(r.data(), r.size());
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(port->InputCount(), 0u);
    device.reset();
    // After the device is gone a handler still held by the bus does nothing.
    stale(r.data(), r.size());
    EXPECT_FALSE(port->Plugged());
}

}  // namespace
}  // namespace simdev
