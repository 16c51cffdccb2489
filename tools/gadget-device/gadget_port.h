// The simulated device's port over a USB gadget (configfs, libcomposite's HID function): each
// plug binds a gadget with the model's identifiers, strings and report descriptor to a device
// controller (dummy_hcd's in the kernel tests), which the host's USB stack then enumerates and
// usbhid serves; each unplug unbinds it. The report descriptor is the first plug's: the model
// has the same in both modes. Output reports come from the function's node
// (/dev/hidgN) here and go to the model; its input reports go out through the IN endpoint.
//
// Threads: a reader thread per plug takes the output reports; Plug, Unplug and SendInput may
// be called from any one other thread (the model's timer thread).
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

namespace gadgetdev {

struct GadgetOptions {
    std::string udc = "dummy_udc.0";  // the device controller the gadget binds to
    std::string configfs = "/sys/kernel/config";
    std::string dev = "/dev";
    bool shortInput = false;  // input reports lose their trailing zero bytes
    // Once this many output reports have reached the model, no input report goes out any
    // more; 0: never.
    std::size_t silentAfterOutputs = 0;
    // Told of every plug and unplug, from the caller's thread.
    std::function<void(const std::string&)> log;
};

class GadgetPort : public simdev::DevicePort {
  public:
    explicit GadgetPort(GadgetOptions options);
    ~GadgetPort() override;  // unbinds and removes the gadget
    GadgetPort(const GadgetPort&) = delete;
    GadgetPort& operator=(const GadgetPort&) = delete;

    bool Plug(const simdev::DeviceIdentity& identity, simdev::OutputHandler onOutput) override;
    void Unplug() override;
    bool SendInput(const uint8_t* report, std::size_t length) override;

    std::map<uint16_t, int> PlugCounts() const;
    std::size_t OutputsDelivered() const { return delivered_.load(); }
    // Repeats left out because the report before them still waited for the host.
    std::size_t RepeatsDropped() const { return repeatsDropped_.load(); }
    // Answers that found the endpoint busy for too long (the host not reading) or the
    // function not configured yet.
    std::size_t AnswersLost() const { return answersLost_.load(); }
    std::string LastError() const;

  private:
    bool Create(const simdev::DeviceIdentity& identity);
    void Remove();
    bool Write(const std::string& path, const std::string& value);
    void Fail(const std::string& what, int error);
    void StopReader();
    void ReadLoop(int fd);

    const GadgetOptions options_;
    const std::string gadget_;    // the gadget's configfs folder
    const std::string function_;  // its HID function's folder
    const int wakeFd_;

    // Owned by the caller's thread.
    bool created_ = false;
    bool bound_ = false;
    int fd_ = -1;  // the function's node, open while bound
    std::thread reader_;
    std::vector<uint8_t> lastInput_;

    mutable std::mutex mu_;
    simdev::OutputHandler handler_;
    std::map<uint16_t, int> plugs_;
    std::string lastError_;

    std::atomic<std::size_t> delivered_{0};
    std::atomic<std::size_t> repeatsDropped_{0};
    std::atomic<std::size_t> answersLost_{0};
};

}  // namespace gadgetdev
