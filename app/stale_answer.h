// In update mode the unit repeats its latest answer every millisecond until the next packet
// reaches it, and it goes on repeating after a failed step or a run that ended. A new run (in
// this window or in a new process) finds that repeat queued ahead of its own first answer.
//
// The rule: the report last seen before the run's first packet was submitted is what the unit
// was repeating on its own. During the run a report with exactly those bytes is stale unless
// its 32-bit value is the sum of the packet now waiting. In that case the bytes are the very
// answer that packet is due (same sum, same payload), so judging them judges the answer.
// Reports are compared whole, so a true answer that differs from the old repeat in any byte,
// including the packet number it echoes, is never held back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class StaleAnswerFilter {
  public:
    static constexpr std::size_t kAnswerSize = 64;

    // Every input report, on the thread that delivers them, whether or not it is passed on.
    void Observe(const uint8_t* report, std::size_t size);
    // The run's first packet is about to go out: the report last seen is the old repeat.
    void BeginRun();
    bool IsStale(const uint8_t* report, std::size_t size, uint32_t packetSum) const;

  private:
    static bool Same(const std::array<uint8_t, kAnswerSize>& a, std::size_t aSize, const uint8_t* b,
                     std::size_t bSize);

    std::array<uint8_t, kAnswerSize> latest_{};
    std::size_t latestSize_ = 0;
    std::array<uint8_t, kAnswerSize> stale_{};
    std::size_t staleSize_ = 0;
    bool running_ = false;
};
