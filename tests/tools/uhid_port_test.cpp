// The uhid port between the simulated device and the kernel, with this test standing in for
// the kernel's side of /dev/uhid on a socket pair: the events the device causes, and the
// events the port takes from the kernel.
#include <gtest/gtest.h>

#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/velto_device.h"
#include "tests/support/frames.h"
#include "tools/uhid-device/uhid_port.h"

namespace {

using namespace std::chrono_literals;

class FakeKernel {
  public:
    FakeKernel() {
        signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_), 0);
    }
    ~FakeKernel() {
        if (fds_[1] >= 0) close(fds_[1]);
    }
    FakeKernel(const FakeKernel&) = delete;
    FakeKernel& operator=(const FakeKernel&) = delete;

    int TakePortSide() { return fds_[0]; }

    // The next event the port wrote, if one comes within the time-out.
    std::optional<uhid_event> Next(std::chrono::milliseconds timeout = 2000ms) {
        pollfd p{fds_[1], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
        uhid_event ev{};
        if (read(fds_[1], &ev, sizeof ev) <= 0) return std::nullopt;
        return ev;
    }
    // The next event of this type, skipping others (repeats, for instance).
    std::optional<uhid_event> NextOf(uint32_t type) {
        for (int i = 0; i < 100; ++i) {
            auto ev = Next();
            if (!ev || ev->type == type) return ev;
        }
        return std::nullopt;
    }
    void Send(uint32_t type) {
        uhid_event ev{};
        ev.type = type;
        Send(ev);
    }
    void Send(const uhid_event& ev) {
        ASSERT_EQ(write(fds_[1], &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
    }
    // An output report as hidraw hands it on: report ID 0, then the bytes.
    void SendOutput(const std::vector<uint8_t>& bytes) {
        uhid_event ev{};
        ev.type = UHID_OUTPUT;
        ev.u.output.rtype = UHID_OUTPUT_REPORT;
        ev.u.output.size = static_cast<uint16_t>(1 + simdev::kReportSize);
        std::memcpy(ev.u.output.data + 1, bytes.data(), bytes.size());
        Send(ev);
    }

  private:
    int fds_[2] = {-1, -1};
};

std::string Text(const uint8_t* bytes) {
    return reinterpret_cast<const char*>(bytes);
}

// A plug is a kernel device made of the model's own identity and descriptor; output reaches
// the model only while the device the kernel started is the current one; the answer goes back
// without the report ID byte; a reset is a destroy and a create as the other product.
TEST(UhidPort, CarriesTheModelThroughAResetIntoUpdateMode) {
    FakeKernel kernel;
    auto port = std::make_shared<uhiddev::UhidPort>(kernel.TakePortSide());
    simdev::DeviceOptions options;
    options.serial = u"SIM-\u00e9-7";  // not ASCII: goes to the kernel as UTF-8
    options.location = "velto-bench/2";
    auto device = std::make_unique<simdev::VeltoDevice>(port, options);
    device->SetReenumerationDelay(5ms);
    device->SetRepeatInterval(0ms);
    ASSERT_TRUE(device->PlugIn(simdev::Mode::Run));

    auto create = kernel.Next();
    ASSERT_TRUE(create);
    ASSERT_EQ(create->type, UHID_CREATE2);
    const uhid_create2_req& c = create->u.create2;
    EXPECT_EQ(Text(c.name), "Velto DSP");
    EXPECT_EQ(Text(c.uniq), "SIM-\xc3\xa9-7");
    EXPECT_EQ(Text(c.phys), "velto-bench/2");
    EXPECT_EQ(c.vendor, simdev::kVendorId);
    EXPECT_EQ(c.product, simdev::kRunProductId);
    EXPECT_EQ(c.bus, 0x03);
    const auto descriptor = simdev::VeltoDevice::ReportDescriptor();
    ASSERT_EQ(c.rd_size, descriptor.size());
    EXPECT_EQ(std::vector<uint8_t>(c.rd_data, c.rd_data + c.rd_size), descriptor);

    kernel.SendOutput(
        testsupport::HostFrame(simdev::kCmdPoll));  // before the kernel started the device
    kernel.Send(UHID_START);
    kernel.SendOutput(testsupport::HostFrame(simdev::kCmdOpen));
    auto answer = kernel.NextOf(UHID_INPUT2);
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->u.input2.size, simdev::kReportSize);
    const std::vector<uint8_t> open(answer->u.input2.data, answer->u.input2.data + 9);
    EXPECT_EQ(open, (std::vector<uint8_t>{0x10, 0x02, 0x01, 0x00, 0x01, 0x10, 0x10, 0x03, 0x11}));
    EXPECT_EQ(port->OutputsDropped(), 1u);
    EXPECT_EQ(device->CountReceived(simdev::Mode::Run, simdev::kCmdPoll), 0u);

    kernel.SendOutput(testsupport::HostFrame(simdev::kCmdIapReset));
    ASSERT_TRUE(kernel.NextOf(UHID_DESTROY));
    kernel.Send(UHID_STOP);
    kernel.SendOutput(
        testsupport::HostFrame(simdev::kCmdOpen));  // queued for the device just destroyed
    create = kernel.NextOf(UHID_CREATE2);
    ASSERT_TRUE(create);
    EXPECT_EQ(create->u.create2.product, simdev::kUpdateProductId);
    EXPECT_EQ(Text(create->u.create2.name), "Velto IAP");
    // The same place and serial in update mode: the host finds the unit again by them.
    EXPECT_EQ(Text(create->u.create2.phys), "velto-bench/2");
    EXPECT_EQ(Text(create->u.create2.uniq), "SIM-\xc3\xa9-7");
    kernel.Send(UHID_START);
    ASSERT_TRUE(device->WaitForMode(simdev::Mode::Update, 2000ms));

    std::vector<uint8_t> connect(simdev::kReportSize, 0);
    connect[0] = simdev::kIapConnect;
    connect[4] = 1;
    kernel.SendOutput(connect);
    answer = kernel.NextOf(UHID_INPUT2);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->u.input2.data[0], simdev::kIapConnect + 1);  // the packet's sum
    EXPECT_EQ(answer->u.input2.data[4], 2);
    EXPECT_EQ(port->OutputsDropped(), 2u);
    EXPECT_EQ(port->OutputsDelivered(), 3u);
    EXPECT_EQ(port->PlugCounts(), (std::map<uint16_t, int>{{0x0821, 1}, {0x0904, 1}}));

    device.reset();
    EXPECT_TRUE(kernel.NextOf(UHID_DESTROY));
}

// Feature requests fail at once instead of leaving the kernel waiting; short input loses its
// trailing zeros; a silent device sends nothing once enough output has arrived.
TEST(UhidPort, AnswersFeatureRequestsAndAppliesItsFaults) {
    FakeKernel kernel;
    uhiddev::PortOptions options;
    options.shortInput = true;
    options.silentAfterOutputs = 2;
    auto port = std::make_shared<uhiddev::UhidPort>(kernel.TakePortSide(), options);
    simdev::VeltoDevice device(port);
    ASSERT_TRUE(device.PlugIn(simdev::Mode::Run));
    ASSERT_TRUE(kernel.NextOf(UHID_CREATE2));
    kernel.Send(UHID_START);

    uhid_event get{};
    get.type = UHID_GET_REPORT;
    get.u.get_report.id = 77;
    get.u.get_report.rtype = UHID_FEATURE_REPORT;
    kernel.Send(get);
    auto reply = kernel.NextOf(UHID_GET_REPORT_REPLY);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->u.get_report_reply.id, 77u);
    EXPECT_NE(reply->u.get_report_reply.err, 0);

    kernel.SendOutput(testsupport::HostFrame(simdev::kCmdOpen));
    auto answer = kernel.NextOf(UHID_INPUT2);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->u.input2.size, 9);  // the frame, without the report's zero tail
    kernel.SendOutput(testsupport::HostFrame(simdev::kCmdPoll));
    ASSERT_TRUE(device.WaitForLogSize(2, 2000ms));
    EXPECT_FALSE(kernel.Next(200ms));
    EXPECT_EQ(device.CountReceived(simdev::Mode::Run, simdev::kCmdPoll), 1u);
}

}  // namespace
