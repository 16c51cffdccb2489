// The updater on simulated devices: the same main window, bound to the in-memory HID bus, with
// simulated Velto units plugged in at start in run mode (one, or --devices N at ports 1-1,
// 1-2, ...). An unattended run ends by comparing the unit's memories with the embedded images.
#include <QString>

#include <cstdio>
#include <memory>
#include <vector>

#include "app/auto_run.h"
#include "app/command_line.h"
#include "app/updater_main.h"
#include "hid/unit_identity.h"
#include "sim/bus_port.h"
#include "sim/memory_check.h"
#include "sim/velto_device.h"

namespace {

// One simulated unit and the check of its memories.
class SimulatedUnit : public AutoVerifier {
  public:
    explicit SimulatedUnit(int number) {
        simdev::DeviceOptions options;
        options.location = "1-" + std::to_string(number);
        char serial[32];
        std::snprintf(serial, sizeof serial, "SIM-VT0103-%04d", number);
        options.serial = QString::fromLatin1(serial).toStdU16String();
        device_ = simdev::MakeDeviceOnBus(simbus::Bus::instance(), options);
        port_ = options.location;
        serial_ = serial;
    }

    bool PlugIn() { return device_->PlugIn(simdev::Mode::Run); }
    bool Is(const UnitIdentity& unit) const {
        return (unit.port.empty() || unit.port == port_) &&
               (unit.serial.empty() || unit.serial == serial_);
    }

    bool Settled() const override {
        return device_->CountReceived(simdev::Mode::Run, simdev::kCmdEnd) > 0;
    }

    bool Verify(const std::function<void(const QString&)>& print) override {
        const simdev::MemoryCheck check = simdev::CheckMemories(*device_);
        print(QStringLiteral("flash: %1 (%2 bytes)")
                  .arg(check.flashOk ? QStringLiteral("matches the image")
                                     : QStringLiteral("MISMATCH"))
                  .arg(check.mcuImageLength));
        print(
            QStringLiteral("DSP memory: %1 (%2 bytes, %3 blocks)")
                .arg(check.dspOk ? QStringLiteral("matches the image") : QStringLiteral("MISMATCH"))
                .arg(check.dspImageLength)
                .arg(check.dspBlocksStored));
        return check.Ok();
    }

  private:
    std::unique_ptr<simdev::VeltoDevice> device_;
    std::string port_;
    std::string serial_;
};

class SimulatedUnits : public UpdaterHooks {
  public:
    // The units outlive the windows, which let go of them on close.
    void BeforeWindow(const UpdaterOptions& options) override {
        for (int i = 1; i <= options.devices; ++i)
            units_.push_back(std::make_unique<SimulatedUnit>(i));
    }

    bool PlugIn() override {
        for (auto& unit : units_) {
            if (!unit->PlugIn()) {
                std::fputs("velto-update-sim: a simulated unit could not be plugged in\n", stderr);
                return false;
            }
        }
        return true;
    }

    AutoVerifier* VerifierFor(const UnitIdentity& unit) override {
        // A run of one unit asks before it knows which: with one unit there is no doubt.
        if (units_.size() == 1) return units_.front().get();
        for (auto& u : units_)
            if (u->Is(unit) && !(unit.port.empty() && unit.serial.empty())) return u.get();
        return nullptr;
    }

  private:
    std::vector<std::unique_ptr<SimulatedUnit>> units_;
};

}  // namespace

int main(int argc, char* argv[]) {
    SimulatedUnits sim;
    return UpdaterMain(argc, argv,
                       {QStringLiteral("velto-update-sim"),
                        QStringLiteral("The updater on SIMULATED devices (plugged in at start, "
                                       "in run mode): no real device is updated. For demos, "
                                       "training and tests."),
                        true},
                       sim);
}
