// Round trips through the simulated device: what one answer costs the host beyond the
// protocol's own pacing.
#include <benchmark/benchmark.h>

#include <memory>

#include "sim/velto_device.h"
#include "tests/sim/fake_port.h"
#include "tests/sim/host_side.h"

namespace {

using simdev::Mode;
using simdev::VeltoDevice;
using simdev::testing::FakePort;

void BM_FramedCommandRoundTrip(benchmark::State& state) {
    auto port = std::make_shared<FakePort>();
    VeltoDevice device(port);
    device.PlugIn(Mode::Run);
    const auto poll = simdev::testing::HostReport(simdev::kCmdPoll);
    std::size_t answers = 0;
    for (auto _ : state) {
        port->Write(poll);
        if (!port->WaitForInputs(++answers)) state.SkipWithError("no answer");
    }
}
BENCHMARK(BM_FramedCommandRoundTrip)->UseRealTime();

void BM_IapDataPacketRoundTrip(benchmark::State& state) {
    auto port = std::make_shared<FakePort>();
    VeltoDevice device(port);
    device.SetRepeatInterval(std::chrono::milliseconds(0));
    device.PlugIn(Mode::Update);
    simdev::testing::IapPacket start;
    start.bytes[0] = simdev::kIapStart;
    start.SetLe32(12, simdev::kFlashSize);
    port->Write(start.Report());
    std::size_t answers = 1;
    port->WaitForInputs(answers);
    simdev::testing::IapPacket data;
    for (int i = 8; i < 64; ++i)
        data.bytes[i] = static_cast<uint8_t>(i);
    for (auto _ : state) {
        port->Write(data.Report());
        if (!port->WaitForInputs(++answers)) state.SkipWithError("no answer");
    }
}
BENCHMARK(BM_IapDataPacketRoundTrip)->UseRealTime();

// All 769 program blocks, one answer each, as the host's DSP programming sends them.
void BM_DspProgramAllBlocks(benchmark::State& state) {
    auto port = std::make_shared<FakePort>();
    VeltoDevice device(port);
    device.PlugIn(Mode::Run);
    std::vector<uint8_t> image(simdev::kDspMemorySize, 0x3C);
    std::vector<std::vector<uint8_t>> frames;
    for (int b = 0; b < static_cast<int>(simdev::kDspBlockCount); ++b)
        frames.push_back(simdev::testing::HostReport(
            simdev::kCmdDspBlock,
            simdev::testing::DspBlockPayload(b, image.data(), device.DspMask())));
    std::size_t answers = 0;
    for (auto _ : state) {
        for (const auto& f : frames) {
            port->Write(f);
            if (!port->WaitForInputs(++answers)) state.SkipWithError("no answer");
        }
    }
    if (!device.DspMatches(image.data(), image.size())) state.SkipWithError("memory differs");
}
BENCHMARK(BM_DspProgramAllBlocks)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
