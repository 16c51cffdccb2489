// Frame build and parse, answer assembly, and the full round trip through the processor.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "protocol/lcmd.h"
#include "protocol/lusb.h"
#include "tests/support/frames.h"

namespace {

std::array<uint8_t, 32 * 769> DspImage() {
    std::array<uint8_t, 32 * 769> image{};
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 13 + 7);
    return image;
}

using testsupport::DeviceFrame;

void BM_FrameBuildDspBlock(benchmark::State& state) {
    const auto image = DspImage();
    int block = 0;
    for (auto _ : state) {
        BSTM f = CM_MCS_DSP_BYTE_PROG(block, image.data(), 0x5A5AA5A5).GetBytes(1);
        benchmark::DoNotOptimize(f.data());
        block = block == 768 ? 0 : block + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameBuildDspBlock);

void BM_FrameParseFramed(benchmark::State& state) {
    const BSTM answer = DeviceFrame(0x53, BSTM(34, 0x21));
    for (auto _ : state) {
        LCmd c(answer);
        benchmark::DoNotOptimize(c.Data.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameParseFramed);

void BM_FrameParseRaw(benchmark::State& state) {
    BSTM answer(64, 0x44);
    for (auto _ : state) {
        LCmd c(answer);
        benchmark::DoNotOptimize(c.Value);
        benchmark::DoNotOptimize(c.Data.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameParseRaw);

// The assembler alone: with nothing written yet, a completed answer is dropped without a
// message, so only the byte handling is measured.
class AssemblyProc : public LUsbProc {
  public:
    AssemblyProc() : LUsbProc(nullptr) {}
    void SetFramed(bool framed) { answerFramed.store(framed ? 1 : 0); }
};

void BM_AnswerAssembly(benchmark::State& state) {
    const bool framed = state.range(0) != 0;
    AssemblyProc proc;
    proc.SetFramed(framed);
    BSTM stream;
    for (int i = 0; i < 64; ++i) {
        const BSTM a = framed ? DeviceFrame(0x53, BSTM(34, 0x10)) : BSTM(64, 0x10);
        stream.insert(stream.end(), a.begin(), a.end());
    }
    for (auto _ : state) {
        for (uint8_t b : stream)
            proc.OnRxByte(b);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
    state.SetLabel(framed ? "framed" : "64-byte");
}
BENCHMARK(BM_AnswerAssembly)->Arg(1)->Arg(0);

// The owner on this thread; the device answers inside the report writer.
class RoundTripOwner : public LUsbOwner {
  public:
    QObject* UsbOwnerObject() override { return &object; }
    void WriteReport(const uint8_t* data, uint32_t len) override {
        BSTM answer = DeviceFrame(data[5], BSTM(data + 6, data + len - 3));
        proc->Receive(answer.data(), static_cast<uint32_t>(answer.size()));
    }
    void UsbMessage(uint32_t msg, uintptr_t, intptr_t) override {
        if (msg != WM_USB_ANSWER) return;
        const auto now = std::chrono::steady_clock::now();
        samples.push_back(std::chrono::duration<double, std::micro>(now - posted).count());
        if (samples.size() < wanted) PostNext();
    }
    void PostNext() {
        posted = std::chrono::steady_clock::now();
        proc->PostFrame(frame, true);
    }

    QObject object;
    LUsbProc* proc = nullptr;
    BSTM frame = CM_MCS_CMD(1, 0xA8, 3).GetBytes(1);
    std::chrono::steady_clock::time_point posted;
    std::vector<double> samples;
    std::size_t wanted = 0;
};

void BM_RoundTrip(benchmark::State& state) {
    const std::size_t trips = static_cast<std::size_t>(state.range(0));
    std::vector<double> all;
    for (auto _ : state) {
        RoundTripOwner owner;
        LUsbProc proc(&owner);
        owner.proc = &proc;
        owner.wanted = trips;
        owner.samples.reserve(trips);
        proc.Open();
        proc.SetPollSuppressed(true);
        owner.PostNext();
        while (owner.samples.size() < trips)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        proc.Close();
        all.insert(all.end(), owner.samples.begin(), owner.samples.end());
    }
    std::sort(all.begin(), all.end());
    state.counters["median_us"] = all[all.size() / 2];
    state.counters["p99_us"] = all[all.size() * 99 / 100];
    state.counters["max_us"] = all.back();
    state.SetItemsProcessed(static_cast<int64_t>(all.size()));
}
BENCHMARK(BM_RoundTrip)->Arg(20000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
