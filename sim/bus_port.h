// The device port over the in-memory HID bus, and a one-call way to put a device on it.
#pragma once

#include <atomic>
#include <memory>

#include "platform/sim/sim_bus.h"
#include "sim/velto_device.h"

namespace simdev {

class BusPort : public DevicePort {
  public:
    explicit BusPort(simbus::Bus& bus = simbus::Bus::instance()) : bus_(bus) {}
    ~BusPort() override;

    bool Plug(const DeviceIdentity& identity, OutputHandler onOutput) override;
    void Unplug() override;
    bool SendInput(const uint8_t* report, std::size_t length) override;

    // The bus id of the current plug; kNone while unplugged.
    simbus::DeviceId Id() const { return id_.load(); }
    static constexpr simbus::DeviceId kNone = -1;

  private:
    simbus::Bus& bus_;
    std::atomic<simbus::DeviceId> id_{kNone};
};

// A device on the bus, not yet plugged in: call PlugIn on it.
std::unique_ptr<VeltoDevice> MakeDeviceOnBus(simbus::Bus& bus = simbus::Bus::instance(),
                                             DeviceOptions options = {});

}  // namespace simdev
