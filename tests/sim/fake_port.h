// A device port for unit tests: records what the device does on the bus and lets a test play
// the host by writing output reports.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/device_port.h"

namespace simdev::testing {

class FakePort : public DevicePort {
  public:
    bool Plug(const DeviceIdentity& identity, OutputHandler onOutput) override {
        std::lock_guard lk(mu_);
        plugs_.push_back(identity);
        if (!accept_) return false;
        handler_ = std::move(onOutput);
        plugged_ = true;
        cv_.notify_all();
        return true;
    }
    void Unplug() override {
        std::lock_guard lk(mu_);
        if (plugged_) ++unplugs_;
        plugged_ = false;
        handler_ = nullptr;
        cv_.notify_all();
    }
    bool SendInput(const uint8_t* report, std::size_t length) override {
        std::lock_guard lk(mu_);
        if (!plugged_) return false;
        inputs_.emplace_back(report, report + length);
        cv_.notify_all();
        return true;
    }

    // Writes an output report as the host would, on the calling thread. False when unplugged.
    bool Write(const std::vector<uint8_t>& report) {
        OutputHandler h;
        {
            std::lock_guard lk(mu_);
            h = handler_;
        }
        if (!h) return false;
        h(report.data(), report.size());
        return true;
    }
    // The handler of the last plug, kept by the test to play a bus that still calls it late.
    OutputHandler Handler() const {
        std::lock_guard lk(mu_);
        return handler_;
    }

    bool WaitForInputs(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lk(mu_);
        return cv_.wait_for(lk, timeout, [&] { return inputs_.size() >= count; });
    }
    bool WaitForPlugs(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lk(mu_);
        return cv_.wait_for(lk, timeout, [&] { return plugs_.size() >= count; });
    }
    std::vector<std::vector<uint8_t>> Inputs() const {
        std::lock_guard lk(mu_);
        return inputs_;
    }
    std::size_t InputCount() const {
        std::lock_guard lk(mu_);
        return inputs_.size();
    }
    void ClearInputs() {
        std::lock_guard lk(mu_);
        inputs_.clear();
    }
    std::vector<DeviceIdentity> Plugs() const {
        std::lock_guard lk(mu_);
        return plugs_;
    }
    int Unplugs() const {
        std::lock_guard lk(mu_);
        return unplugs_;
    }
    bool Plugged() const {
        std::lock_guard lk(mu_);
        return plugged_;
    }
    void RefusePlugs() {
        std::lock_guard lk(mu_);
        accept_ = false;
    }

  private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    OutputHandler handler_;
    bool plugged_ = false;
    bool accept_ = true;
    int unplugs_ = 0;
    std::vector<DeviceIdentity> plugs_;
    std::vector<std::vector<uint8_t>> inputs_;
};

}  // namespace simdev::testing
