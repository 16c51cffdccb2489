// Runs that fail and the run after them, on the simulated device with small images: a unit
// that falls silent at each wait ends the run with a dialog, an old answer the unit repeats
// from a failed run is never judged, and a second run, in the same window or a new one,
// leaves both of the unit's memories equal to the images.
#include <QPushButton>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/run_phase.h"
#include "app/stale_answer.h"
#include "tests/app/flow_fixture.h"

namespace flowtest {
namespace {

using std::chrono::milliseconds;

// Shorter than the program's own waits, but well above the 1 s pacing of "Start Program"
// on a busy machine.
constexpr int kShortWaitMs = 4000;

class CleanRestart : public FlowFixture {
  protected:
    void SetUp() override {
        FlowFixture::SetUp();
        UseImages(hex_, dsp_);
        isp->Session().Watch().SetTimeoutOverride(kShortWaitMs);
    }

    // A window as a new program would open it, on the same unit.
    void NewWindow() {
        QObject::disconnect(isp.get(), &TfmIsp::StatusChanged, nullptr, nullptr);
        isp.reset();
        dialogs.Clear();
        isp = std::make_unique<TfmIsp>(&dialogs);
        isp->SetDiagnosticWindows(hidData.get(), progData.get());
        UseImages(hex_, dsp_);
        isp->Session().Watch().SetTimeoutOverride(kShortWaitMs);
        isp->show();
    }

    // Presses "Start Program " once it is offered and runs to the end: both memories hold
    // the images, and " Program OK !! " is the only dialog of the run.
    void SecondRunCompletes() {
        dialogs.Clear();
        ASSERT_TRUE(WaitUntil([&] { return isp->btnStartProgram->isEnabled(); }, 20000));
        isp->btnStartProgram->click();
        ASSERT_TRUE(WaitUntil([&] { return OkShown() || FlowDialogCount() > 0; }));
        ASSERT_TRUE(OkShown()) << FlowDialogs()[0].text.toStdString();
        EXPECT_EQ(FlowDialogCount(), 1u);
        EXPECT_TRUE(device->FlashMatches(image_.data(), image_.size()));
        int length = 0;
        const Bytes dsp = PreparedDsp(dsp_, &length);
        EXPECT_TRUE(device->DspMatches(dsp.data(), static_cast<std::size_t>(length)));
        EXPECT_EQ(device->DspBlocksStored(), static_cast<std::size_t>(length / 32 + 1));
    }

    // The one error dialog of a run that failed; the run gave "Start Program " back.
    QString FailedRun() {
        EXPECT_TRUE(WaitUntil([&] { return FlowDialogCount() > 0; }, 30000));
        if (FlowDialogCount() == 0) return {};
        EXPECT_EQ(FlowDialogs()[0].kind, DialogSeam::Kind::Error);
        EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
        EXPECT_EQ(isp->Session().Watch().Phase(), RunPhase::Idle);
        EXPECT_EQ(isp->ProgressPosition(), 0);
        return FlowDialogs()[0].text;
    }

    const Bytes image_ = Pattern(56 * 5 + 48, 41);
    HexImage hex_ = HexImage::Of(image_);
    std::vector<uint32_t> dsp_ = DspWords(40);
};

// ---- A unit that stops answering ----

struct SilenceCase {
    Mode mode;
    uint8_t command;
    int occurrence;
    RunPhase phase;
    bool newWindow;
};

class Silence : public CleanRestart, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(Silence, EndsWithADialogNamingThePhaseAndTheNextRunCompletes) {
    const SilenceCase c = GetParam();
    device->DeafAt(c.mode, c.command, c.occurrence, milliseconds(500));
    isp->btnStartProgram->click();
    EXPECT_EQ(FailedRun(), runphase::SilenceText(c.phase, (kShortWaitMs + 999) / 1000));
    EXPECT_EQ(isp->StatusSimpleText(), runphase::StoppedText(c.phase));
    EXPECT_EQ(Peer().Proc(), nullptr);
    if (c.newWindow) NewWindow();
    SecondRunCompletes();
}

INSTANTIATE_TEST_SUITE_P(Waits, Silence,
                         ::testing::Values(
                             // Told to restart in update mode, it neither answers nor restarts.
                             SilenceCase{Mode::Run, 0x10, 0, RunPhase::ModeSwitch, false},
                             // It takes the reset packet and stays, in update mode.
                             SilenceCase{Mode::Update, 0x86, 0, RunPhase::McuReset, false},
                             // Back in run mode it stops in the middle of the parameter read.
                             SilenceCase{Mode::Run, 0xA8, 3, RunPhase::ParamRead, true}),
                         [](const ::testing::TestParamInfo<SilenceCase>& p) {
                             return "Phase" + std::to_string(static_cast<int>(p.param.phase));
                         });

// ---- The old answer a unit goes on repeating ----

struct StaleCase {
    uint8_t byte0;  // the packet whose answer carries the wrong sum
    const char* dialog;
};

class StaleRepeat : public CleanRestart, public ::testing::WithParamInterface<StaleCase> {};

TEST_P(StaleRepeat, IsNotJudgedByTheNextRunInANewWindow) {
    const StaleCase c = GetParam();
    device->SetWrongSum(c.byte0, 0);
    isp->btnStartProgram->click();
    ASSERT_EQ(FailedRun(), QString::fromLatin1(c.dialog));
    ASSERT_TRUE(device->WaitForMode(Mode::Update, milliseconds(1000)));

    // What the unit repeats now: the wrong answer to that packet. The next run's first
    // answer comes late, behind one more copy of it, as when the reader was slow.
    const std::vector<Bytes> packets = IapPackets();
    Bytes stale(64, 0);
    for (const Bytes& p : packets) {
        if (p[0] != c.byte0) continue;
        uint32_t sum = 0;
        for (uint8_t b : p)
            sum += b;
        sum += 1;
        for (int i = 0; i < 4; ++i)
            stale[static_cast<std::size_t>(i)] = static_cast<uint8_t>(sum >> (8 * i));
        const uint32_t number = (static_cast<uint32_t>(p[4]) | p[5] << 8 | p[6] << 16 |
                                 static_cast<uint32_t>(p[7]) << 24) +
                                1;
        for (int i = 0; i < 4; ++i)
            stale[static_cast<std::size_t>(4 + i)] = static_cast<uint8_t>(number >> (8 * i));
        break;
    }
    NewWindow();
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Update HID")));
    const std::size_t syncs = device->CountReceived(Mode::Update, 0x81);
    device->SetAnswerLatency(milliseconds(60));
    device->InjectBeforeAnswer(1, stale);
    isp->btnStartProgram->click();
    // Only the first answer comes late.
    ASSERT_TRUE(WaitUntil(
        [&] { return device->CountReceived(Mode::Update, 0x81) > syncs || FlowDialogCount() > 0; },
        5000));
    device->SetAnswerLatency(milliseconds(0));
    ASSERT_TRUE(WaitUntil([&] { return OkShown() || FlowDialogCount() > 0; }));
    ASSERT_TRUE(OkShown()) << FlowDialogs()[0].text.toStdString();
    EXPECT_TRUE(device->FlashMatches(image_.data(), image_.size()));
    int length = 0;
    const Bytes dsp = PreparedDsp(dsp_, &length);
    EXPECT_TRUE(device->DspMatches(dsp.data(), static_cast<std::size_t>(length)));
}

INSTANTIATE_TEST_SUITE_P(WrongSum, StaleRepeat,
                         ::testing::Values(StaleCase{0x80, "ISP Start Error !!"},
                                           StaleCase{0x85, "Program Start Error !!"}),
                         [](const ::testing::TestParamInfo<StaleCase>& p) {
                             return "Packet" + std::to_string(p.param.byte0);
                         });

TEST_F(CleanRestart, ARepeatWithTheDueSumIsNotTakenForTheNextAnswer) {
    // The answer to "Sync Package" (packet 2) and the packet "Get Firmware Version" (packet 3)
    // have the same sum, 0x85. A slow reader still holding a repeat of that answer when the
    // version's answer is due must not take it for the version's.
    device->PlugIn(Mode::Update);
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Update HID")));
    Bytes syncAnswer(64, 0);
    syncAnswer[0] = 0x85;
    syncAnswer[4] = 3;
    // Both come after the window's wait for the answer is over, the repeat first.
    device->SetAnswerLatency(milliseconds(40));
    device->InjectBeforeAnswer(3, syncAnswer);
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown() || FlowDialogCount() > 0; }));
    ASSERT_TRUE(OkShown()) << FlowDialogs()[0].text.toStdString();
    EXPECT_EQ(isp->Session().ReportedFirmwareVersion(), 0x13);
    EXPECT_TRUE(device->FlashMatches(image_.data(), image_.size()));
}

TEST(StaleAnswerRule, HoldsBackOnlyTheOldRepeatAndNeverTheDueAnswer) {
    StaleAnswerFilter f;
    Bytes old(64, 0);
    old[0] = 0x82;  // value 0x82, packet number 2
    old[4] = 2;
    f.Observe(old.data(), old.size());
    f.BeginRun();
    // The same bytes are held back while another sum is due...
    EXPECT_TRUE(f.IsStale(old.data(), old.size(), 0x81));
    // ...also in the short form a device may send...
    EXPECT_TRUE(f.IsStale(old.data(), 5, 0x81));
    // ...but not when they are exactly the answer due: judging them judges that answer.
    EXPECT_FALSE(f.IsStale(old.data(), old.size(), 0x82));
    // Any other byte makes it another report.
    Bytes other = old;
    other[4] = 3;
    EXPECT_FALSE(f.IsStale(other.data(), other.size(), 0x81));
    // Reports after the run began do not move what counts as old.
    f.Observe(other.data(), other.size());
    EXPECT_TRUE(f.IsStale(old.data(), old.size(), 0x81));
}

// ---- The unit leaving ----

TEST_F(CleanRestart, UnitLeavingSaysWhatItIsLeftWithAndTheStepAgreesWithTheProgress) {
    device->UnplugAtIapPacket(9);
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
    ASSERT_TRUE(WaitUntil([&] { return !isp->Session().Watch().Notice().isEmpty(); }));
    EXPECT_EQ(isp->Session().Watch().Notice(), runphase::LeftSentence(RunPhase::McuData));
    EXPECT_EQ(isp->StatusSimpleText(), runphase::LeftSentence(RunPhase::McuData));
    EXPECT_EQ(isp->ProgressPosition(), 0);
    EXPECT_EQ(FlowDialogCount(), 0u);

    // It comes back in update mode, as the sentence says, and Start Program finishes it.
    ASSERT_TRUE(device->PlugIn(Mode::Update));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Update HID")));
    EXPECT_EQ(isp->DeviceNotice(), InterruptedUpdateNotice());
    SecondRunCompletes();
}

}  // namespace
}  // namespace flowtest
