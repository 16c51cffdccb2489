// Types shared by the HID device, its reader thread and the controller: the error they raise,
// the handler types and the holders handlers are kept in.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

class TJvHidDevice;
class TJvHidDeviceController;

class EControllerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using TJvHidEnumerateEvent = std::function<bool(TJvHidDevice* HidDev, int Idx)>;
using TJvHidPlugEvent = std::function<void(TJvHidDevice* HidDev)>;
using TJvHidDataEvent =
    std::function<void(TJvHidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size)>;
using TJvHidDataErrorEvent = std::function<void(TJvHidDevice* HidDev, uint32_t Error)>;
using TJvHidDeviceChangeEvent = std::function<void(TJvHidDeviceController* Sender)>;
using TJvHidCheckCallback = bool (*)(TJvHidDevice* HidDev);

// An assigned handler. std::function cannot be compared, so each assignment is kept in a
// holder of its own and handlers are compared by holder identity: the controller passes a new
// handler on to exactly the devices that still share the holder it gave them. An empty
// pointer means "not assigned".
template <class F>
using THandler = std::shared_ptr<const F>;

// Wraps a handler in a new holder; an empty function gives an empty holder.
template <class F>
THandler<F> MakeHandler(F f) {
    if (!f) return nullptr;
    return std::make_shared<const F>(std::move(f));
}

using TJvPhysicalDescriptor = std::vector<uint16_t>;

enum TJvHidOpenExMode { omhRead, omhWrite };
