// What the kernel tests' device programs share (velto-uhid-device, velto-gadget-device): the
// simulated Velto device with its faults from the command line, run until a signal or an
// --exit-after condition, then its memories compared with the images built into the program.
// Each program brings the port that presents the device to the kernel, and its own options.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "sim/device_port.h"
#include "sim/velto_device.h"

namespace devtool {

// The command line's say in how the port behaves.
struct PortSettings {
    // Input reports lose their trailing zero bytes (at least one byte stays).
    bool shortInput = false;
    // Once this many output reports have reached the model, no input report goes out any
    // more; 0: never.
    std::size_t silentAfterOutputs = 0;
    // Told of every plug and unplug.
    std::function<void(const std::string&)> log;
};

// A port as the program runs it; the functions are called on the main thread.
struct PortHandle {
    std::shared_ptr<simdev::DevicePort> port;
    std::function<std::string()> lastError;
    std::function<std::map<uint16_t, int>()> plugCounts;
    // Lines for the log once the device stopped (what happened to the reports).
    std::function<std::string()> summary;
};

struct ToolSpec {
    const char* name;   // the program's name, in its messages and log
    const char* usage;  // "Usage: ...", what it presents the device through, its own options
    // Takes one of the program's own options: value() fetches its value (false when there is
    // none). Returns false when name is not one of them; ok tells whether the option was good.
    std::function<bool(const std::string& name, const std::function<bool(std::string&)>& value,
                       bool& ok)>
        parseOption;
    // The program's own say in the device's data (where it is plugged in), after the options
    // were read; may be empty.
    std::function<void(simdev::DeviceOptions&)> deviceOptions;
    // Opens the port; nothing (the reason printed) when it cannot be had.
    std::function<std::optional<PortHandle>(const PortSettings&)> openPort;
};

// The whole program: exit 0 when both memories match the images, 1 a mismatch, 2 a bad option
// or an unusable port.
int RunDeviceTool(int argc, char** argv, const ToolSpec& spec);

// Numbers as the options take them: decimal or 0x-prefixed hex, 0..max.
bool ParseNumber(std::string_view text, long long max, long long& value);

// Names as the options take them (a serial, a physical path): 1..63 printable ASCII characters,
// which every way of presenting the device carries unchanged.
bool IsPlainName(std::string_view text);

}  // namespace devtool
