// Report-descriptor parsing at the largest size a device or a direct caller can hand in
// (65535 bytes): the cost must grow with the descriptor's length, not with its square.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "platform/hidp/hidp.h"

namespace {

// "Collection, End Collection" pairs: every top-level collection after the first hangs below
// node 0, so each one is appended to the same, ever longer, child list.
std::vector<uint8_t> SiblingCollections(std::size_t bytes) {
    std::vector<uint8_t> d;
    while (d.size() + 2 <= bytes)
        d.insert(d.end(), {0xA0, 0xC0});
    return d;
}

// The product's own 64-byte vendor collection, repeated with report IDs.
std::vector<uint8_t> VendorCollections(std::size_t bytes) {
    std::vector<uint8_t> d;
    for (int id = 1;; id = id % 255 + 1) {
        const std::vector<uint8_t> one = {
            0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, static_cast<uint8_t>(id),
            0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
            0x95, 0x3F, 0x81, 0x02, 0x09, 0x03, 0x91, 0x02, 0xC0};
        if (d.size() + one.size() > bytes) break;
        d.insert(d.end(), one.begin(), one.end());
    }
    return d;
}

void Parse(benchmark::State& state, const std::vector<uint8_t>& d) {
    for (auto _ : state) {
        PHIDP_PREPARSED_DATA p = hidp::ParseDescriptor(d.data(), d.size());
        if (p == nullptr) state.SkipWithError("descriptor refused");
        hidp::FreePreparsedData(p);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_SiblingCollections(benchmark::State& state) {
    Parse(state, SiblingCollections(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_SiblingCollections)->Arg(4096)->Arg(16384)->Arg(65535)->Unit(benchmark::kMillisecond);

void BM_VendorCollections(benchmark::State& state) {
    Parse(state, VendorCollections(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_VendorCollections)->Arg(4096)->Arg(65535)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
