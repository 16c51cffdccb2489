#include "app/stale_answer.h"

#include <algorithm>

namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void StaleAnswerFilter::Observe(const uint8_t* report, std::size_t size) {
    if (report == nullptr) return;
    latestSize_ = std::min(size, kAnswerSize);
    std::copy_n(report, latestSize_, latest_.begin());
}

void StaleAnswerFilter::BeginRun() {
    stale_ = latest_;
    staleSize_ = latestSize_;
    running_ = true;
}

bool StaleAnswerFilter::Same(const std::array<uint8_t, kAnswerSize>& a, std::size_t aSize,
                             const uint8_t* b, std::size_t bSize) {
    // A short report (trailing zeros left off) equals its full form.
    const std::size_t n = std::min(bSize, kAnswerSize);
    for (std::size_t i = 0; i < kAnswerSize; ++i) {
        const uint8_t x = i < aSize ? a[i] : 0;
        const uint8_t y = i < n ? b[i] : 0;
        if (x != y) return false;
    }
    return true;
}

bool StaleAnswerFilter::IsStale(const uint8_t* report, std::size_t size, uint32_t packetSum) const {
    if (!running_ || staleSize_ < 4 || report == nullptr || size < 4) return false;
    if (Le32(report) == packetSum) return false;
    return Same(stale_, staleSize_, report, size);
}
