// Shared helpers for the main-window tests: one application object, an event-loop wait, a bare
// device on the simulated bus, and a fixture holding the three windows.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QThread>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"
#include "app/diag/report_log.h"
#include "app/dialogs.h"
#include "app/isp.h"
#include "platform/sim/sim_bus.h"
#include "sim/velto_device.h"
#include "tests/app/update_session_test_peer.h"
#include "tests/support/qt_wait.h"

namespace windowtest {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "app_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

using qtwait::Spin;
using qtwait::WaitUntil;

// A device on the simulated bus that answers nothing: it records the output reports it gets
// and sends the input reports a test gives it.
class BareDevice {
  public:
    static constexpr uint16_t kVendor = 0x0168;
    static constexpr uint16_t kRunProduct = 0x0821;
    static constexpr uint16_t kUpdateProduct = 0x0904;

    // serial: "SIM" first marks a simulated device, which placeholder images may go to.
    BareDevice(uint16_t vendor, uint16_t product, std::u16string serial = u"SIM-1")
        : state_(std::make_shared<State>()) {
        simbus::DeviceInfo info;
        info.vendorId = vendor;
        info.productId = product;
        info.version = 0x0103;
        info.manufacturer = u"Test";
        info.product = u"Bare device";
        info.serial = std::move(serial);
        info.reportDescriptor = simdev::VeltoDevice::ReportDescriptor();
        std::shared_ptr<State> state = state_;
        id_ = simbus::Bus::instance().plug(info, [state](const uint8_t* report, std::size_t n) {
            std::lock_guard<std::mutex> guard(state->lock);
            state->outputs.emplace_back(report, report + n);
        });
    }
    ~BareDevice() { Unplug(); }
    BareDevice(const BareDevice&) = delete;
    BareDevice& operator=(const BareDevice&) = delete;

    void Unplug() {
        if (plugged_) simbus::Bus::instance().unplug(id_);
        plugged_ = false;
    }
    // One input report: report ID 0, then payload, zero-filled to 64 bytes.
    bool Send(std::vector<uint8_t> payload) {
        payload.resize(64, 0);
        payload.insert(payload.begin(), 0);
        return simbus::Bus::instance().sendInput(id_, payload.data(), payload.size());
    }
    std::vector<std::vector<uint8_t>> Outputs() const {
        std::lock_guard<std::mutex> guard(state_->lock);
        return state_->outputs;
    }
    std::size_t OutputCount() const {
        std::lock_guard<std::mutex> guard(state_->lock);
        return state_->outputs.size();
    }

  private:
    struct State {
        std::mutex lock;
        std::vector<std::vector<uint8_t>> outputs;
    };
    std::shared_ptr<State> state_;
    simbus::DeviceId id_ = -1;
    bool plugged_ = true;
};

// The main window and its two diagnostic windows, created as the program does, with the
// dialogs recorded instead of shown.
class WindowFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        simbus::Bus::instance().reset();
        isp = std::make_unique<TfmIsp>(&dialogs);
        hidData = std::make_unique<TfmHidData>(isp.get());
        progData = std::make_unique<TfmProgData>(isp.get());
        isp->SetDiagnosticWindows(hidData.get(), progData.get());
        isp->show();
        // The controller's first change pass runs from the event loop.
        Spin(20);
    }

    void TearDown() override {
        isp.reset();
        hidData.reset();
        progData.reset();
        simbus::Bus::instance().reset();
        Spin(10);
    }

    // The window's update session, as the tests may see it.
    UpdateSessionTestPeer Peer() { return UpdateSessionTestPeer(*isp); }

    bool WaitForPanel(const QString& text) {
        return WaitUntil([&] { return isp->StatusPanelText(1) == text; });
    }

    // Plugs a bare device and waits until the window holds it.
    std::unique_ptr<BareDevice> PlugHeld(uint16_t product) {
        auto dev = std::make_unique<BareDevice>(BareDevice::kVendor, product);
        EXPECT_TRUE(WaitUntil([&] { return Peer().HidDevice() != nullptr; }));
        return dev;
    }

    // The log window's lines, the batch still waiting included.
    QStringList LogLines() const {
        hidData->Flush();
        QStringList lines;
        for (int i = 0; i < hidData->LineCount(); ++i)
            lines << hidData->Line(i);
        return lines;
    }

    RecordingDialogs dialogs;
    std::unique_ptr<TfmIsp> isp;
    std::unique_ptr<TfmHidData> hidData;
    std::unique_ptr<TfmProgData> progData;
};

}  // namespace windowtest
