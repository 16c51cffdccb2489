// The simulated device's port over the kernel's user-space HID driver (/dev/uhid): each plug
// creates a HID device in the kernel, which hid-generic and hidraw then serve like a USB one;
// each unplug destroys it. Output reports written to its hidraw node come back here and go to
// the device model; its input reports go to the kernel.
//
// Threads: one reader thread takes the kernel's events; Plug, Unplug and SendInput may be
// called from any one other thread (the model's timer thread).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/device_port.h"

namespace uhiddev {

struct PortOptions {
    // Input reports lose their trailing zero bytes (at least one byte stays), as a device that
    // sends short reports does.
    bool shortInput = false;
    // Once this many output reports have reached the model, no input report goes out any
    // more (a device that has gone silent); 0: never.
    std::size_t silentAfterOutputs = 0;
    // Told of every plug and unplug, from the caller's thread.
    std::function<void(const std::string&)> log;
};

class UhidPort : public simdev::DevicePort {
  public:
    // Takes ownership of fd: /dev/uhid opened read/write, or a stand-in speaking the same
    // event protocol (tests).
    explicit UhidPort(int fd, PortOptions options = {});
    ~UhidPort() override;  // destroys the kernel device and stops the reader
    UhidPort(const UhidPort&) = delete;
    UhidPort& operator=(const UhidPort&) = delete;

    bool Plug(const simdev::DeviceIdentity& identity, simdev::OutputHandler onOutput) override;
    void Unplug() override;
    bool SendInput(const uint8_t* report, std::size_t length) override;

    // Plugs so far, per product ID.
    std::map<uint16_t, int> PlugCounts() const;
    // Output reports that reached the model, and those dropped because they belonged to a
    // device already destroyed.
    std::size_t OutputsDelivered() const { return delivered_.load(); }
    std::size_t OutputsDropped() const { return dropped_.load(); }
    // Repeats held back because the host's next report was already waiting.
    std::size_t RepeatsHeld() const { return repeatsHeld_.load(); }
    // The last error of a kernel call, as text; empty when there was none.
    std::string LastError() const;

  private:
    bool WriteEvent(const void* event, std::size_t size, const char* what);
    void ReadLoop();
    bool OutputWaiting() const;

    const int fd_;
    const int wakeFd_;
    const PortOptions options_;

    mutable std::mutex mu_;
    bool created_ = false;
    // The handler of the latest plug waits until the kernel has started that device: events
    // still queued for the one before go nowhere.
    simdev::OutputHandler pending_;
    simdev::OutputHandler active_;
    std::map<uint16_t, int> plugs_;
    std::string lastError_;
    std::vector<uint8_t> lastInput_;

    std::atomic<std::size_t> delivered_{0};
    std::atomic<std::size_t> dropped_{0};
    std::atomic<std::size_t> repeatsHeld_{0};
    std::thread reader_;
};

}  // namespace uhiddev
