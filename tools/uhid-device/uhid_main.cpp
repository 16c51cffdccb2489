// velto-uhid-device: the simulated Velto device presented to the kernel through /dev/uhid, so
// that the updater meets it through the real hidraw driver. Runs until SIGTERM or SIGINT (or
// an --exit-after condition), then compares the device's flash and DSP memory with the images
// built into this program and says so in its exit code.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tools/device-tool/device_tool.h"
#include "tools/uhid-device/uhid_port.h"

namespace {

const char kName[] = "velto-uhid-device";

const char kUsage[] =
    "Usage: velto-uhid-device [options]\n"
    "  Presents the simulated Velto device through /dev/uhid (root, or access to /dev/uhid),\n"
    "  in run mode unless told otherwise. On SIGTERM/SIGINT it compares its flash and DSP\n"
    "  memory with the built-in images: exit 0 both match, 1 a mismatch, 2 a bad option or\n"
    "  /dev/uhid unusable. SIGUSR1 prints the same comparison and goes on.\n"
    "  --uhid PATH                 the uhid node (default /dev/uhid)\n"
    "  --phys P                    its physical path, the kernel's HID_PHYS, in both modes\n"
    "                              (default velto-uhid-device): the updater tells units apart\n"
    "                              by it (without a trailing /inputN); 1 to 63 printable ASCII\n"
    "                              characters. Several devices at once: one program each, each\n"
    "                              with its own --phys and --serial\n";

}  // namespace

int main(int argc, char** argv) {
    std::string uhidPath = "/dev/uhid";
    std::string phys = "velto-uhid-device";
    devtool::ToolSpec spec;
    spec.name = kName;
    spec.usage = kUsage;
    spec.parseOption = [&](const std::string& name, const auto& value, bool& ok) {
        if (name == "--uhid") {
            ok = value(uhidPath) && !uhidPath.empty();
        } else if (name == "--phys") {
            ok = value(phys) && devtool::IsPlainName(phys);
        } else {
            return false;
        }
        return true;
    };
    spec.deviceOptions = [&](simdev::DeviceOptions& device) { device.location = phys; };
    spec.openPort =
        [&](const devtool::PortSettings& settings) -> std::optional<devtool::PortHandle> {
        const int fd = ::open(uhidPath.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "%s: cannot open %s: %s\n", kName, uhidPath.c_str(),
                         std::strerror(errno));
            return std::nullopt;
        }
        uhiddev::PortOptions options;
        options.shortInput = settings.shortInput;
        options.silentAfterOutputs = settings.silentAfterOutputs;
        options.log = settings.log;
        auto port = std::make_shared<uhiddev::UhidPort>(fd, options);
        devtool::PortHandle handle;
        handle.port = port;
        handle.lastError = [port] { return port->LastError(); };
        handle.plugCounts = [port] { return port->PlugCounts(); };
        handle.summary = [port] {
            return "output reports: " + std::to_string(port->OutputsDelivered()) + " handled, " +
                   std::to_string(port->OutputsDropped()) + " for a device already gone; " +
                   std::to_string(port->RepeatsHeld()) + " repeats held back behind a waiting one";
        };
        return handle;
    };
    return devtool::RunDeviceTool(argc, argv, spec);
}
