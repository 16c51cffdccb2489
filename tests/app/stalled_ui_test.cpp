// Whole updates while the UI thread is now and then late, as on a busy desktop with the HID
// log open: the device's repeated answers pile up meanwhile, and every run must still end in
// " Program OK !! " with both memories holding the images.
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "firmware/images.h"
#include "tests/app/flow_fixture.h"

namespace flowtest {

// Blocks the UI thread for 30..500 ms at random moments: from a timer of the thread itself at
// random gaps, and at random just after the link has written an IAP packet (the moment a slow
// repaint of the log line used to take, while the device's repeats of its previous answer are
// still queued). All on the UI thread, as a slow paint or a busy machine would.
class UiStaller : public QObject {
    Q_OBJECT

  public:
    // writeOdds: one IAP packet written in this many is followed by a stall.
    UiStaller(uint32_t seed, int writeOdds) : random_(seed), writeOdds_(writeOdds) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            Stall();
            timer_.start(Between(300, 2000));
        });
        timer_.start(Between(300, 2000));
    }
    // Any thread (the link's writer): maybe queues a stall for the UI thread. The call carries
    // no data, so nothing is handed between the threads outside Qt's own queue.
    void AfterWrite() {
        if (Between(1, writeOdds_) != 1) return;
        QMetaObject::invokeMethod(this, "Stall", Qt::QueuedConnection);
    }
    int Stalls() const { return stalls_.load(); }

    Q_INVOKABLE void Stall() {
        std::this_thread::sleep_for(std::chrono::milliseconds(Between(30, 500)));
        ++stalls_;
    }

  private:
    int Between(int low, int high) {
        std::lock_guard<std::mutex> guard(lock_);
        return std::uniform_int_distribution<int>(low, high)(random_);
    }

    std::mutex lock_;
    std::mt19937 random_;
    const int writeOdds_;
    QTimer timer_;
    std::atomic<int> stalls_{0};
};

namespace {

class StalledUi : public FlowFixture {
  protected:
    void TearDown() override {
        // The link's writer calls the trace: it lets go of the staller first.
        if (isp) isp->SetReportTrace(nullptr);
        staller.reset();
        FlowFixture::TearDown();
    }

    void StartStalling(uint32_t seed, int writeOdds) {
        staller = std::make_unique<UiStaller>(seed, writeOdds);
        UiStaller* s = staller.get();
        // IAP packets go out raw; everything else is a frame ("10 02 ...").
        isp->SetReportTrace([s](const QString& line) {
            if (line.startsWith(QLatin1Char('W')) &&
                !line.startsWith(QStringLiteral("W 00  10 02 ")))
                s->AfterWrite();
        });
    }

    // One update from "Start Program " on a freshly plugged device: it must end in
    // " Program OK !! " with no other dialog, and the device must hold both images.
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

    std::unique_ptr<UiStaller> staller;
};

// Nineteen small updates here and one with the embedded images below: twenty of twenty must
// complete. The sanitizer builds, several times slower, run a few of the small ones only: they
// look for races and memory faults, which a few runs meet as well as many (and their whole
// update with the embedded images runs in the full-run tests).
#ifdef VELTO_SANITIZED
constexpr int kSmallRuns = 4;
#else
constexpr int kSmallRuns = 19;
#endif

TEST_F(StalledUi, SmallUpdatesCompleteWithTheLogShown) {
    isp->HidData1Click();
    ASSERT_TRUE(hidData->isVisible());
    // The device comes back sooner than a real one: the runs are about the exchange.
    device->SetReenumerationDelay(std::chrono::milliseconds(50));
    StartStalling(0x5EED, 4);
    for (int run = 0; run < kSmallRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        // Each run writes other bytes, so a run that stopped short cannot pass on the
        // memories an earlier one left.
        const Bytes image = Pattern(56 * 4 + 48 + static_cast<std::size_t>(run), 40 + run);
        HexImage hex = HexImage::Of(image);
        const std::vector<uint32_t> words = DspWords(16, 70 + static_cast<uint32_t>(run));
        UseImages(hex, words);
        UpdateOnce(image, words);
        if (HasFatalFailure()) return;
        Replug();
    }
    EXPECT_GT(staller->Stalls(), kSmallRuns * 2);
}

TEST_F(StalledUi, EmbeddedUpdateCompletesWithTheLogShown) {
#ifdef VELTO_SANITIZED
    GTEST_SKIP() << "the small runs stand for it in the sanitizer builds";
#endif
    isp->HidData1Click();
    // About 1050 IAP packets are written: a stall after one in forty.
    StartStalling(0xB0057, 40);
    Bytes mcu(71680, 0);
    const McuImage m = ::PrepareMcuImage(kMcuHexLines, kMcuHexLineCount, mcu.data(), kMcuImageSize);
    ASSERT_FALSE(m.ChecksumError);
    mcu.resize(static_cast<std::size_t>(m.ImageLength));
    UpdateOnce(mcu, std::vector<uint32_t>(kDspImageWords, kDspImageWords + kDspImageWordCount));
}

}  // namespace
}  // namespace flowtest

#include "stalled_ui_test.moc"
