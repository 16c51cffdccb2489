// The unattended runner over the real window and the simulated device, with small images: the
// exit code and the text of a run that passes, one whose memory check fails, and one that meets
// a device fault or leaves during the update.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <QElapsedTimer>
#include <QRegularExpression>

#include "app/auto_run.h"
#include "app/run_phase.h"
#include "tests/app/flow_fixture.h"

namespace flowtest {
namespace {

// Compares the device's flash with an image, as the simulated updater's check does.
class FlashCheck : public AutoVerifier {
  public:
    FlashCheck(simdev::VeltoDevice& device, Bytes image)
        : device_(device), image_(std::move(image)) {}
    bool Settled() const override { return device_.CountReceived(Mode::Run, simdev::kCmdEnd) > 0; }
    bool Verify(const std::function<void(const QString&)>& print) override {
        const bool ok = device_.FlashMatches(image_.data(), image_.size());
        print(ok ? QStringLiteral("flash matches") : QStringLiteral("flash MISMATCH"));
        return ok;
    }

  private:
    simdev::VeltoDevice& device_;
    Bytes image_;
};

class AutoRun : public FlowFixture {
  protected:
    AutoRun() : out_(open_memstream(&buffer_, &size_)) {}
    ~AutoRun() override {
        std::fclose(out_);
        std::free(buffer_);
    }

    void SetUp() override {
        FlowFixture::SetUp();
        UseImages(mcu_, dsp_);
    }

    // Runs to the end; the exit code.
    int RunWith(AutoVerifier* verifier, int timeoutSeconds = 60, int reconnectSeconds = 60,
                ProgressStyle style = ProgressStyle::Lines) {
        AutoRunSettings settings;
        settings.style = style;
        settings.program = QStringLiteral("velto-update");
        settings.timeoutSeconds = timeoutSeconds;
        settings.reconnectWaitSeconds = reconnectSeconds;
        AutoRunner runner(*isp, dialogs, settings, out_, out_, verifier);
        int code = -1;
        QObject::connect(&runner, &AutoRunner::Finished, [&](int c) { code = c; });
        runner.Start();
        EXPECT_TRUE(WaitUntil([&] { return code >= 0; }, 120000));
        EXPECT_EQ(runner.ExitCode(), code);
        return code;
    }

    QString Text() {
        std::fflush(out_);
        return QString::fromLocal8Bit(buffer_, static_cast<qsizetype>(size_));
    }

    const Bytes image_ = Pattern(56 * 4 + 48, 5);
    HexImage mcu_ = HexImage::Of(image_);
    std::vector<uint32_t> dsp_ = std::vector<uint32_t>(16, 0x01020304u);

  private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* out_;
};

TEST_F(AutoRun, PassesWhenTheDeviceHoldsTheImage) {
    FlashCheck check(*device, image_);
    EXPECT_EQ(RunWith(&check, 60, 60, ProgressStyle::Terminal), 0) << Text().toStdString();
    const QString text = Text();
    // The terminal line's time left: there from the press on, falling, never growing.
    const QRegularExpression left(QStringLiteral("  (\\d+):(\\d\\d) left  "));
    std::vector<int> seconds;
    for (auto m = left.globalMatch(text); m.hasNext();) {
        const QRegularExpressionMatch one = m.next();
        seconds.push_back(one.captured(1).toInt() * 60 + one.captured(2).toInt());
    }
    ASSERT_GE(seconds.size(), 3u) << text.toStdString();
    for (std::size_t k = 1; k < seconds.size(); ++k)
        EXPECT_LE(seconds[k], seconds[k - 1]) << "at " << k;
    EXPECT_GE(seconds.front(), 2);  // the start packet's second and the restarts' waits
    EXPECT_LT(seconds.back(), seconds.front());
    EXPECT_TRUE(text.contains("pressing \"Start Program \"")) << text.toStdString();
    EXPECT_TRUE(text.contains("dialog (information): \" Program OK !! \""));
    EXPECT_TRUE(text.contains("flash matches"));
    EXPECT_TRUE(text.contains("PASS: Program OK, memories match (exit 0"));
    EXPECT_EQ(device->CountReceived(Mode::Run, simdev::kCmdEnd), 1u);
}

TEST_F(AutoRun, FinishesAUnitLeftInUpdateModeAndSaysSoOnce) {
    device->Unplug();
    ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
    ASSERT_TRUE(device->PlugIn(Mode::Update));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Update HID")));
    FlashCheck check(*device, image_);
    EXPECT_EQ(RunWith(&check), 0) << Text().toStdString();
    const QString text = Text();
    EXPECT_EQ(text.count(InterruptedUpdateNotice()), 1) << text.toStdString();
    EXPECT_LT(text.indexOf(InterruptedUpdateNotice()), text.indexOf("pressing \"Start Program \""));
    EXPECT_TRUE(text.contains("PASS: Program OK, memories match (exit 0"));
}

TEST_F(AutoRun, MemoryMismatchIsExitTwo) {
    Bytes other = image_;
    other[100] ^= 0xFF;
    FlashCheck check(*device, other);
    EXPECT_EQ(RunWith(&check), 2) << Text().toStdString();
    EXPECT_TRUE(Text().contains("FAIL: memory mismatch (exit 2"));
}

TEST_F(AutoRun, DeviceFaultEndsTheRunWithItsErrorDialog) {
    device->SetWrongSum(simdev::kIapData, 1);
    EXPECT_EQ(RunWith(nullptr), 1) << Text().toStdString();
    const QString text = Text();
    EXPECT_TRUE(text.contains("dialog (error): ")) << text.toStdString();
    EXPECT_TRUE(text.contains("FAIL: an error dialog was shown (exit 1"));
    EXPECT_EQ(device->CountReceived(Mode::Run, simdev::kCmdEnd), 0u);
}

TEST_F(AutoRun, DeviceLeavingMidRunEndsTheRunOnceItIsBack) {
    device->UnplugAtIapPacket(3, std::chrono::milliseconds(300));
    EXPECT_EQ(RunWith(nullptr), 1) << Text().toStdString();
    EXPECT_TRUE(Text().contains("FAIL: the update was cut off")) << Text().toStdString();
    EXPECT_TRUE(Text().contains(runphase::LeftSentence(RunPhase::McuHandshake)));
}

TEST_F(AutoRun, DeviceLeavingForGoodEndsAtTheReconnectWaitWithWhatItIsLeftWith) {
    device->UnplugAtIapPacket(8);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(RunWith(nullptr, 60, 1), 1) << Text().toStdString();
    EXPECT_LT(clock.elapsed(), 20000);
    const QString text = Text();
    const QString sentence = runphase::LeftSentence(RunPhase::McuData);
    EXPECT_TRUE(text.contains(sentence)) << text.toStdString();
    EXPECT_TRUE(text.contains("FAIL: " + sentence +
                              "; it did not come back within 1 s (--reconnect-wait) (exit 1"))
        << text.toStdString();
    // The progress line never shows a packet count the bar no longer has.
    EXPECT_FALSE(text.contains("No Device | Mcu Programing")) << text.toStdString();
}

TEST_F(AutoRun, NoVeltoAtAllIsSaidAtTheTimeout) {
    device->Unplug();
    ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
    EXPECT_EQ(RunWith(nullptr, 1), 3) << Text().toStdString();
    EXPECT_TRUE(Text().contains("FAIL: no Velto device found within 1 s (--timeout) (exit 3"))
        << Text().toStdString();
}

}  // namespace
}  // namespace flowtest
