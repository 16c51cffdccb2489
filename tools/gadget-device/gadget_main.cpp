// velto-gadget-device: the simulated Velto device as a USB device, a configfs HID gadget bound
// to a device controller (dummy_hcd's in the kernel tests), so that the updater meets it
// through the host's USB stack, usbhid and hidraw. Runs until SIGTERM or SIGINT (or an
// --exit-after condition), then compares the device's flash and DSP memory with the images
// built into this program and says so in its exit code.
#include <memory>
#include <string>

#include "tools/device-tool/device_tool.h"
#include "tools/gadget-device/gadget_port.h"

namespace {

const char kUsage[] =
    "Usage: velto-gadget-device [options]\n"
    "  Presents the simulated Velto device as a USB HID gadget (root; configfs mounted, the\n"
    "  modules libcomposite and usb_f_hid and a device controller loaded), in run mode unless\n"
    "  told otherwise; update mode binds it again as product 0904. On SIGTERM/SIGINT it\n"
    "  compares its flash and DSP memory with the built-in images: exit 0 both match, 1 a\n"
    "  mismatch, 2 a bad option or no gadget. SIGUSR1 prints the same comparison and goes on.\n"
    "  --udc NAME                  the device controller (default dummy_udc.0; with dummy_hcd\n"
    "                              num=N, dummy_udc.K is the host's port K+1-1, the port the\n"
    "                              updater tells units apart by)\n"
    "  --configfs PATH             where configfs is mounted (default /sys/kernel/config)\n";

}  // namespace

int main(int argc, char** argv) {
    gadgetdev::GadgetOptions options;
    devtool::ToolSpec spec;
    spec.name = "velto-gadget-device";
    spec.usage = kUsage;
    spec.parseOption = [&](const std::string& name, const auto& value, bool& ok) {
        if (name == "--udc") {
            ok = value(options.udc) && !options.udc.empty() &&
                 options.udc.find('/') == std::string::npos;
        } else if (name == "--configfs") {
            ok = value(options.configfs) && !options.configfs.empty();
        } else {
            return false;
        }
        return true;
    };
    spec.openPort =
        [&](const devtool::PortSettings& settings) -> std::optional<devtool::PortHandle> {
        options.shortInput = settings.shortInput;
        options.silentAfterOutputs = settings.silentAfterOutputs;
        options.log = settings.log;
        auto port = std::make_shared<gadgetdev::GadgetPort>(options);
        devtool::PortHandle handle;
        handle.port = port;
        handle.lastError = [port] { return port->LastError(); };
        handle.plugCounts = [port] { return port->PlugCounts(); };
        handle.summary = [port] {
            return "output reports: " + std::to_string(port->OutputsDelivered()) + " handled; " +
                   std::to_string(port->RepeatsDropped()) +
                   " repeats left out behind a waiting one, " +
                   std::to_string(port->AnswersLost()) + " answers not taken by the host";
        };
        return handle;
    };
    return devtool::RunDeviceTool(argc, argv, spec);
}
