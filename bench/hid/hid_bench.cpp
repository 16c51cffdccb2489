// Report round trip through a checked-out device (write, echo, reader, hand-over to the
// event loop) and the cost of one change pass, over the simulated bus.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <atomic>
#include <memory>
#include <vector>

#include "hid/jvhidcontrollerclass.h"
#include "platform/sim/sim_bus.h"
#include "tests/support/product_descriptor.h"

namespace {

QCoreApplication& App() {
    static int Argc = 1;
    static char Name[] = "velto_hid_bench";
    static char* Argv[] = {Name, nullptr};
    static QCoreApplication Instance(Argc, Argv);
    return Instance;
}

simbus::DeviceId PlugEcho(uint16_t Pid) {
    simbus::DeviceInfo Info;
    Info.vendorId = 0x0168;
    Info.productId = Pid;
    Info.reportDescriptor = testsupport::ProductDescriptor();
    auto Id = std::make_shared<std::atomic<int>>(-1);
    const simbus::DeviceId Plugged =
        simbus::Bus::instance().plug(Info, [Id](const uint8_t* Report, std::size_t Len) {
            simbus::Bus::instance().sendInput(Id->load(), Report, Len);
        });
    Id->store(Plugged);
    return Plugged;
}

void SettleFirstPass(TJvHidDeviceController& Ctl, std::size_t Devices) {
    while (Ctl.Devices().size() < Devices)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

void BM_ReportRoundTrip(benchmark::State& State) {
    App();
    simbus::Bus::instance().reset();
    PlugEcho(0x0904);
    TJvHidDeviceController Ctl;
    SettleFirstPass(Ctl, 1);
    int Received = 0;
    Ctl.SetOnDeviceData([&](TJvHidDevice*, uint8_t, const uint8_t*, uint16_t) { ++Received; });
    TJvHidDevice* Dev = nullptr;
    if (!Ctl.CheckOut(Dev)) {
        State.SkipWithError("no device");
        return;
    }
    std::vector<uint8_t> Report(65, 0x5A);
    Report[0] = 0;
    for (auto _ : State) {
        const int Before = Received;
        uint32_t Written = 0;
        Dev->WriteFile(Report.data(), 65, Written);
        while (Received == Before)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    State.SetItemsProcessed(State.iterations());
    Ctl.CheckIn(Dev);
    simbus::Bus::instance().reset();
}
BENCHMARK(BM_ReportRoundTrip)->UseRealTime();

void BM_ChangePass(benchmark::State& State) {
    App();
    simbus::Bus::instance().reset();
    const auto Count = static_cast<std::size_t>(State.range(0));
    for (std::size_t I = 0; I < Count; ++I)
        PlugEcho(static_cast<uint16_t>(0x1000 + I));
    TJvHidDeviceController Ctl;
    SettleFirstPass(Ctl, Count);
    for (auto _ : State)
        Ctl.DeviceChange();
    simbus::Bus::instance().reset();
    QCoreApplication::processEvents();
}
BENCHMARK(BM_ChangePass)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
