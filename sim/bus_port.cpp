#include "sim/bus_port.h"

namespace simdev {

BusPort::~BusPort() {
    Unplug();
}

bool BusPort::Plug(const DeviceIdentity& identity, OutputHandler onOutput) {
    Unplug();
    const simbus::DeviceId id = bus_.plug(identity, std::move(onOutput));
    id_.store(id);
    return id >= 0;
}

void BusPort::Unplug() {
    const simbus::DeviceId id = id_.exchange(kNone);
    if (id != kNone) bus_.unplug(id);
}

bool BusPort::SendInput(const uint8_t* report, std::size_t length) {
    const simbus::DeviceId id = id_.load();
    return id != kNone && bus_.sendInput(id, report, length);
}

std::unique_ptr<VeltoDevice> MakeDeviceOnBus(simbus::Bus& bus, DeviceOptions options) {
    return std::make_unique<VeltoDevice>(std::make_shared<BusPort>(bus), std::move(options));
}

}  // namespace simdev
