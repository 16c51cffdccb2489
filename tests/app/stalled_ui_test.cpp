// Whole updates while the UI thread is now and then late, as on a busy desktop with the HID
// log open: the device's repeated answers pile up meanwhile, and every run must still end in
// " Program OK !! " with both memories holding the images.
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "firmware/images.h"
#include "tests/app/flow_fixture.h"

namespace flowtest {
namespace {

// Blocks the UI thread for 30..500 ms at random moments (the gaps between stalls are random
// too), from a timer of the thread itself, as a slow paint or a busy machine would.
class UiStaller {
  public:
    explicit UiStaller(uint32_t seed) : random_(seed) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(Between(30, 500)));
            ++stalls_;
            Arm();
        });
        Arm();
    }
    int Stalls() const { return stalls_; }

  private:
    int Between(int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random_);
    }
    void Arm() { timer_.start(Between(20, 700)); }

    std::mt19937 random_;
    QTimer timer_;
    int stalls_ = 0;
};

class StalledUi : public FlowFixture {
  protected:
    // One update from "Start Program " on a freshly plugged device; true when it ended in
    // " Program OK !! " with no other dialog and the device holds both images.
    void UpdateOnce(const Bytes& mcuImage, const std::vector<uint32_t>& dspWords) {
        dialogs.Clear();
        ASSERT_TRUE(WaitUntil([&] {
            return isp->StatusPanelText(1) == QStringLiteral("Detect Run HID") &&
                   isp->btnStartProgram->isEnabled();
        }));
        const std::size_t ends = device->CountReceived(Mode::Run, 0x04);
        isp->btnStartProgram->click();
        ASSERT_TRUE(WaitUntil([&] { return OkShown() || FlowDialogCount() > 0; }, 240000));
        ASSERT_TRUE(OkShown()) << FlowDialogs().front().text.toStdString();
        ASSERT_TRUE(WaitUntil([&] { return device->CountReceived(Mode::Run, 0x04) > ends; }));
        EXPECT_EQ(FlowDialogCount(), 1u);
        EXPECT_TRUE(device->FlashMatches(mcuImage.data(), mcuImage.size()));
        int length = 0;
        const Bytes dsp = PreparedDsp(dspWords, &length);
        EXPECT_TRUE(device->DspMatches(dsp.data(), simdev::kDspMemorySize));
    }

    // The next technician's device: out and in again, in run mode.
    void Replug() {
        device->Unplug();
        ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
        ASSERT_TRUE(device->PlugIn(Mode::Run));
    }
};

TEST_F(StalledUi, SmallUpdatesCompleteWithTheLogShown) {
    isp->HidData1Click();
    ASSERT_TRUE(hidData->isVisible());
    UiStaller staller(0x5EED);
    constexpr int kRuns = 19;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        // Each run writes other bytes, so a run that stopped short cannot pass on the
        // memories an earlier one left.
        const Bytes image = Pattern(56 * 6 + 48 + static_cast<std::size_t>(run), 40 + run);
        HexImage hex = HexImage::Of(image);
        const std::vector<uint32_t> words = DspWords(40, 70 + static_cast<uint32_t>(run));
        UseImages(hex, words);
        UpdateOnce(image, words);
        if (HasFatalFailure()) return;
        Replug();
    }
    EXPECT_GT(staller.Stalls(), kRuns * 2);
}

TEST_F(StalledUi, EmbeddedUpdateCompletesWithTheLogShown) {
    isp->HidData1Click();
    UiStaller staller(0xB0057);
    Bytes mcu(71680, 0);
    const McuImage m = ::PrepareMcuImage(kMcuHexLines, kMcuHexLineCount, mcu.data(), kMcuImageSize);
    ASSERT_FALSE(m.ChecksumError);
    mcu.resize(static_cast<std::size_t>(m.ImageLength));
    UpdateOnce(mcu, std::vector<uint32_t>(kDspImageWords, kDspImageWords + kDspImageWordCount));
}

}  // namespace
}  // namespace flowtest
