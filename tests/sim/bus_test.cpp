// The device on the real in-memory bus, driven through the platform ABI as the HID layer does.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/hid_platform.h"
#include "sim/bus_port.h"
#include "tests/sim/host_side.h"

namespace simdev {
namespace {

using namespace std::chrono_literals;
using testing::HostReport;
using testing::IapPacket;
using testing::Le32;

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simbus::Bus::instance().reset();
        port = std::make_shared<BusPort>();
        device = std::make_unique<VeltoDevice>(port);
        device->SetReenumerationDelay(30ms);
    }
    void TearDown() override {
        CloseIfOpen();
        device.reset();
        simbus::Bus::instance().reset();
    }

    // Opens the device as it is plugged now.
    HANDLE Open() {
        CloseIfOpen();
        const std::string path = simbus::Bus::instance().devicePath(port->Id());
        EXPECT_FALSE(path.empty());
        handle = CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        return handle;
    }
    void CloseIfOpen() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    bool Write(const std::vector<uint8_t>& report) {
        DWORD done = 0;
        return WriteFile(handle, report.data(), static_cast<DWORD>(report.size()), &done,
                         nullptr) != 0;
    }
    std::vector<uint8_t> Read() {
        std::vector<uint8_t> in(65, 0);
        DWORD done = 0;
        if (!ReadFile(handle, in.data(), static_cast<DWORD>(in.size()), &done, nullptr)) return {};
        in.resize(done);
        return in;
    }

    std::shared_ptr<BusPort> port;
    std::unique_ptr<VeltoDevice> device;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

TEST_F(BusTest, HostSeesA64ByteVendorDeviceAndGetsFramedAnswers) {
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    HANDLE h = Open();
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    ASSERT_TRUE(HidD_GetAttributes(h, &attributes));
    EXPECT_EQ(attributes.VendorID, kVendorId);
    EXPECT_EQ(attributes.ProductID, kRunProductId);
    PHIDP_PREPARSED_DATA data = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &data));
    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(data, &caps), HIDP_STATUS_SUCCESS);
    HidD_FreePreparsedData(data);
    EXPECT_EQ(caps.UsagePage, 0xFF00);
    EXPECT_EQ(caps.InputReportByteLength, 65);
    EXPECT_EQ(caps.OutputReportByteLength, 65);

    ASSERT_TRUE(Write(HostReport(kCmdParamRead, {3})));
    auto a = Read();
    ASSERT_EQ(a.size(), 65u);
    EXPECT_EQ(a[5], 52);
    EXPECT_EQ(a[6], kCmdParamRead);
    EXPECT_EQ(a[7], 3);
    EXPECT_EQ(a[8], device->ParameterTable()[150]);
}

TEST_F(BusTest, ResetSwitchesModesThroughARealUnplug) {
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    Open();
    ASSERT_TRUE(Write(HostReport(kCmdOpen)));
    auto a = Read();
    ASSERT_EQ(a.size(), 65u);
    EXPECT_EQ(a[6], kCmdOpen);
    ASSERT_TRUE(Write(HostReport(kCmdIapReset)));
    // The 0x08 answer may or may not be read before the device leaves; then reads fail.
    a = Read();
    if (!a.empty()) {
        EXPECT_EQ(a[6], kCmdIapReset);
        EXPECT_TRUE(Read().empty());
    }
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    ASSERT_TRUE(device->WaitForMode(Mode::Update, 5s));
    HANDLE h = Open();
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    ASSERT_TRUE(HidD_GetAttributes(h, &attributes));
    EXPECT_EQ(attributes.ProductID, kUpdateProductId);

    IapPacket connect;
    connect.bytes[0] = kIapConnect;
    connect.bytes[4] = 1;
    ASSERT_TRUE(Write(connect.Report()));
    // The answer keeps coming with every poll until the next packet.
    for (int i = 0; i < 3; ++i) {
        a = Read();
        ASSERT_EQ(a.size(), 65u);
        EXPECT_EQ(Le32(a, 1), connect.Sum());
        EXPECT_EQ(Le32(a, 5), 2u);
    }
    IapPacket reset;
    reset.bytes[0] = kIapReset;
    reset.bytes[4] = 2;
    ASSERT_TRUE(Write(reset.Report()));
    ASSERT_TRUE(device->WaitForMode(Mode::Run, 5s));
    EXPECT_EQ(device->CountReceived(Mode::Update, kIapReset), 1u);
}

}  // namespace
}  // namespace simdev
