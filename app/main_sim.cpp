// The updater on a simulated device: the same main window, bound to the in-memory HID bus,
// with one simulated Velto device plugged in at start in run mode. An unattended run ends by
// comparing the device's memories with the embedded images.
#include <QString>

#include <cstdio>
#include <memory>

#include "app/auto_run.h"
#include "app/updater_main.h"
#include "sim/bus_port.h"
#include "sim/memory_check.h"
#include "sim/velto_device.h"

namespace {

class SimulatedDevice : public UpdaterHooks, public AutoVerifier {
  public:
    // The device outlives the window, which lets go of it on close.
    void BeforeWindow() override { device_ = simdev::MakeDeviceOnBus(); }

    bool WindowShown(TfmIsp& /*isp*/) override {
        if (device_->PlugIn(simdev::Mode::Run)) return true;
        std::fputs("velto-update-sim: the simulated device could not be plugged in\n", stderr);
        return false;
    }

    AutoVerifier* Verifier() override { return this; }

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
};

}  // namespace

int main(int argc, char* argv[]) {
    SimulatedDevice sim;
    return UpdaterMain(argc, argv,
                       {QStringLiteral("velto-update-sim"),
                        QStringLiteral("The updater on a SIMULATED device (plugged in at start, "
                                       "in run mode): no real device is updated. For demos, "
                                       "training and tests."),
                        true},
                       sim);
}
