// Shared set-up for tests over the simulated bus: an application object for the event loop,
// echo devices, and waiting for the event loop to reach a state.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "hid/jvhidcontrollerclass.h"
#include "platform/sim/sim_bus.h"
#include "tests/support/product_descriptor.h"
#include "tests/support/qt_wait.h"

namespace hidtest {

using qtwait::WaitUntil;

inline void EnsureApp() {
    static int Argc = 1;
    static char Name[] = "velto_hid_tests";
    static char* Argv[] = {Name, nullptr};
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(Argc, Argv);
}

// Runs the event loop for a while (to show that nothing more happens).
inline void RunFor(int Ms) {
    QElapsedTimer Timer;
    Timer.start();
    while (Timer.elapsed() < Ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A device that sends every output report straight back as an input report.
struct EchoDevice {
    simbus::DeviceId Id = -1;
    std::shared_ptr<std::atomic<int>> IdHolder = std::make_shared<std::atomic<int>>(-1);

    explicit EchoDevice(uint16_t Vid = 0x0168, uint16_t Pid = 0x0821, uint8_t ReportId = 0,
                        std::u16string Product = u"Velto") {
        simbus::DeviceInfo Info;
        Info.vendorId = Vid;
        Info.productId = Pid;
        Info.version = 0x0103;
        Info.manufacturer = u"Velto Audio";
        Info.product = std::move(Product);
        Info.serial = u"SN0001";
        Info.reportDescriptor = testsupport::ProductDescriptor(ReportId);
        auto Holder = IdHolder;
        Id = simbus::Bus::instance().plug(Info, [Holder](const uint8_t* Report, std::size_t Len) {
            simbus::Bus::instance().sendInput(Holder->load(), Report, Len);
        });
        IdHolder->store(Id);
    }
    bool Send(const std::vector<uint8_t>& Report) const {
        return simbus::Bus::instance().sendInput(Id, Report.data(), Report.size());
    }
    void Unplug() const { simbus::Bus::instance().unplug(Id); }
};

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApp();
        simbus::Bus::instance().reset();
    }
    void TearDown() override {
        simbus::Bus::instance().reset();
        QCoreApplication::processEvents();
    }

    // A controller whose first change pass has run.
    std::unique_ptr<TJvHidDeviceController> MakeController() {
        auto Ctl = std::make_unique<TJvHidDeviceController>();
        Ctl->SetDevThreadSleepTime(10);
        int Passes = 0;
        QObject::connect(Ctl.get(), &TJvHidDeviceController::DeviceChangeMessage,
                         [&Passes] { ++Passes; });
        EXPECT_TRUE(WaitUntil([&] { return Passes > 0; }));
        QObject::disconnect(Ctl.get(), &TJvHidDeviceController::DeviceChangeMessage, nullptr,
                            nullptr);
        return Ctl;
    }

    // Waits until the controller lists Count plugged-in devices.
    static bool WaitPlugged(TJvHidDeviceController& Ctl, int Count) {
        return WaitUntil([&] {
            int N = 0;
            for (TJvHidDevice* D : Ctl.Devices())
                if (D->PluggedIn) ++N;
            return N == Count;
        });
    }
};

}  // namespace hidtest
