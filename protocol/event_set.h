// A fixed set of auto-reset events that one thread can wait on together.
#pragma once

#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

template <std::size_t N>
class EventSet {
    static_assert(N > 0 && N <= 32);

  public:
    static constexpr int kTimeout = -1;

    // Signals event `index`; it stays signalled until one wait takes it.
    void Set(std::size_t index) {
        {
            std::lock_guard<std::mutex> lk(m_);
            signalled_.set(index);
        }
        cv_.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> lk(m_);
        signalled_.reset();
    }

    // Waits until an event is signalled or `timeout` passes. Returns the lowest signalled
    // index and resets only that event; kTimeout when the time ran out.
    int WaitAny(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lk(m_);
        if (!cv_.wait_for(lk, timeout, [this] { return signalled_.any(); })) return kTimeout;
        for (std::size_t i = 0; i < N; ++i) {
            if (signalled_.test(i)) {
                signalled_.reset(i);
                return static_cast<int>(i);
            }
        }
        return kTimeout;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::bitset<N> signalled_;
};
