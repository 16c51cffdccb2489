// The updater on a simulated device: the same main window, bound to the in-memory HID bus,
// with one simulated Velto device plugged in at start in run mode. An unattended run ends by
// comparing the device's memories with the embedded images.
#include <QString>

#include <cstdio>
#include <memory>
#include <vector>

#include "app/auto_run.h"
#include "app/dsp_image.h"
#include "app/isp.h"
#include "app/mcu_image.h"
#include "app/updater_main.h"
#include "firmware/images.h"
#include "sim/bus_port.h"
#include "sim/velto_device.h"

namespace {

class SimulatedDevice : public UpdaterHooks, public AutoVerifier {
  public:
    // The device outlives the window, which lets go of it on close.
    void BeforeWindow() override { device_ = simdev::MakeDeviceOnBus(); }

    bool WindowShown(TfmIsp& isp) override {
        isp_ = &isp;
        if (device_->PlugIn(simdev::Mode::Run)) return true;
        std::fputs("velto-update-sim: the simulated device could not be plugged in\n", stderr);
        return false;
    }

    AutoVerifier* Verifier() override { return this; }

    bool Settled() const override {
        return device_->CountReceived(simdev::Mode::Run, simdev::kCmdEnd) > 0;
    }

    bool Verify(const std::function<void(const QString&)>& print) override {
        std::vector<uint8_t> mcu(isp_->ProgramBuffer.size());
        const McuImage m =
            ::PrepareMcuImage(kMcuHexLines, kMcuHexLineCount, mcu.data(), kMcuImageSize);
        std::vector<uint8_t> dsp(isp_->ProgramBuffer.size());
        const int dspLength =
            PrepareDspBuffer(kDspImageWords, kDspImageWordCount, dsp.data(), dsp.size());

        const bool flashOk =
            !m.ChecksumError &&
            device_->FlashMatches(mcu.data(), static_cast<std::size_t>(m.ImageLength));
        // Every block the device stores, the zero tail of the last one included.
        const bool dspOk = dspLength > 0 && device_->DspBlocksStored() == simdev::kDspBlockCount &&
                           device_->DspMatches(dsp.data(), simdev::kDspMemorySize);
        print(QStringLiteral("flash: %1 (%2 bytes)")
                  .arg(flashOk ? QStringLiteral("matches the image") : QStringLiteral("MISMATCH"))
                  .arg(m.ImageLength));
        print(QStringLiteral("DSP memory: %1 (%2 bytes, %3 blocks)")
                  .arg(dspOk ? QStringLiteral("matches the image") : QStringLiteral("MISMATCH"))
                  .arg(dspLength)
                  .arg(device_->DspBlocksStored()));
        return flashOk && dspOk;
    }

  private:
    std::unique_ptr<simdev::VeltoDevice> device_;
    TfmIsp* isp_ = nullptr;
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
