// The parameter read and DSP programming against the simulated device in run mode: the mask,
// the block frames, misbehaving answers, and unplugging.
#include <QPushButton>

#include <cstdint>
#include <vector>

#include "tests/app/flow_fixture.h"
#include "tests/support/frames.h"

namespace flowtest {
namespace {

constexpr uint8_t kParam = 0xA8;
constexpr uint8_t kBlock = 0x53;

// An answer as the device sends it, a whole 64-byte input report; checkDelta spoils the check
// byte.
Bytes Answer(uint8_t cmd, const Bytes& payload, uint8_t checkDelta = 0) {
    Bytes f = testsupport::DeviceFrame(cmd, payload, checkDelta);
    f.resize(64, 0);
    return f;
}

// (command, number) of the device's run-mode log, handled entries only.
std::vector<std::pair<int, int64_t>> RunLog(const std::vector<simdev::LogEntry>& log) {
    std::vector<std::pair<int, int64_t>> out;
    for (const auto& e : log)
        if (e.mode == Mode::Run && e.handled) out.emplace_back(e.command, e.number);
    return out;
}

std::vector<std::pair<int, int64_t>> SecurityLog() {
    std::vector<std::pair<int, int64_t>> l = {{0x10, -1}, {kParam, 0}, {0x1A, -1}};
    for (int b = 1; b <= 10; ++b)
        l.emplace_back(kParam, b);
    return l;
}

class DspFlow : public FlowFixture {
  protected:
    void SetUp() override {
        FlowFixture::SetUp();
        mcu = HexImage::Of(Pattern(100, 1));
        // 16 words: 68 bytes, so blocks 0..2 and the last holds 4 bytes and 28 zeros.
        words = DspWords(16);
        buffer = PreparedDsp(words, &length);
        UseImages(mcu, words);
    }

    bool DspDone() {
        return isp->bnDspPorgram->isEnabled() && Peer().Step() == 1 &&
               device->CountReceived(Mode::Run, kBlock) >= 3 && !isp->StatusIsRed();
    }

    // The 0x53 frames the window wrote.
    std::vector<Bytes> BlockFrames() const {
        std::vector<Bytes> out;
        for (const auto& w : Written())
            if (w.size() >= 6 && w[0] == 0x10 && w[5] == kBlock) out.push_back(w);
        return out;
    }

    HexImage mcu;
    std::vector<uint32_t> words;
    Bytes buffer;
    int length = 0;
};

TEST_F(DspFlow, DspProgAloneSendsTheImageUnmaskedAndStops) {
    ASSERT_EQ(length, 68);
    EXPECT_EQ(Peer().DspMask(), 0u);
    isp->bnDspPorgram->click();
    EXPECT_FALSE(isp->bnDspPorgram->isEnabled());
    EXPECT_FALSE(isp->bnMcuProgram->isEnabled());
    EXPECT_TRUE(isp->StatusIsRed());
    ASSERT_TRUE(WaitUntil([&] { return DspDone(); }));
    Spin(400);  // tmRunStep fires with nothing left to do

    const std::vector<Bytes> frames = BlockFrames();
    ASSERT_EQ(frames.size(), 3u);
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const Bytes& f = frames[k];
        ASSERT_EQ(f.size(), 43u);
        EXPECT_EQ(f[6], 0);
        EXPECT_EQ(f[7], k);
        EXPECT_EQ(Bytes(f.begin() + 8, f.begin() + 40),
                  Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(32 * k),
                        buffer.begin() + static_cast<std::ptrdiff_t>(32 * k + 32)))
            << "block " << k;
    }
    EXPECT_EQ(Bytes(frames[2].begin() + 12, frames[2].begin() + 40), Bytes(28, 0));

    EXPECT_EQ(RunLog(device->Log()), (std::vector<std::pair<int, int64_t>>{
                                         {0x10, -1}, {kBlock, 0}, {kBlock, 1}, {kBlock, 2}}));
    const std::vector<QString> expected = {
        QStringLiteral("Dsp Program"), QStringLiteral("Dsp Progrmming 0"),
        QStringLiteral("Dsp Progrmming 1"), QStringLiteral("Dsp Progrmming 2")};
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(maxProgress, 2);
    EXPECT_EQ(isp->ProgressPosition(), 0);
    EXPECT_EQ(isp->ProgressMaximum(), 2);
    EXPECT_TRUE(isp->bnMcuProgram->isEnabled());
    EXPECT_EQ(FlowDialogCount(), 0u);
    EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    EXPECT_EQ(isp->Session().Progress(), (RunProgress{RunPhase::Idle, 0, 2, RunStart::DspOnly}));
    EXPECT_TRUE(progData->Text().startsWith(QStringLiteral("00000000  00 44 ")));
}

TEST_F(DspFlow, SecurityReadsTheTableThenProgramsTheMaskedImage) {
    isp->bnSecurity->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    ASSERT_TRUE(WaitUntil([&] { return device->CountReceived(Mode::Run, 0x04) == 1; }));

    EXPECT_EQ(Peer().ParamTable(), device->ParameterTable());
    EXPECT_EQ(Peer().DspMask(), device->DspMask());
    EXPECT_NE(Peer().DspMask(), 0u);
    // The device removes its mask again: its memory holds the plain buffer.
    EXPECT_TRUE(device->DspMatches(buffer.data(), static_cast<std::size_t>(length)));

    auto expected = SecurityLog();
    expected.insert(expected.end(), {{0x10, -1}, {kBlock, 0}, {kBlock, 1}, {kBlock, 2}});
    expected.insert(expected.end(), {{0x12, -1}, {0x04, -1}});
    EXPECT_EQ(RunLog(device->Log()), expected);
    EXPECT_EQ(texts.front(), QStringLiteral("Parameter Data"));
    EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    EXPECT_EQ(isp->Session().Progress().start, RunStart::ParameterRead);
    EXPECT_EQ(isp->Session().Progress().phase, RunPhase::Idle);
    EXPECT_EQ(FlowDialogCount(), 1u);
}

TEST_F(DspFlow, SecondSecurityReadUnlocksAgainAndBuildsANewMask) {
    isp->bnSecurity->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    const uint32_t first = Peer().DspMask();
    ASSERT_TRUE(WaitUntil([&] { return device->CountReceived(Mode::Run, 0x04) == 1; }));

    device->ClearLog();
    device->SetReportedRowIndex(3);
    dialogs.Clear();
    isp->bnSecurity->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));

    const auto log = RunLog(device->Log());
    const auto security = SecurityLog();
    ASSERT_GE(log.size(), security.size());
    EXPECT_EQ(decltype(log)(log.begin(), log.begin() + 13), security);
    const auto table = device->ParameterTable();
    EXPECT_EQ(table[0], 3);
    EXPECT_EQ(Peer().DspMask(), simdev::VeltoDevice::MaskFromTable(table).value());
    EXPECT_NE(Peer().DspMask(), first);
}

TEST_F(DspFlow, AParameterAnswerAfterTheReadIsIgnored) {
    // Answer 14 is the DSP flow's first: a twelfth parameter answer before it must not start
    // DSP programming again.
    Bytes again(51, 0x5A);
    again[0] = 10;
    device->InjectBeforeAnswer(14, Answer(kParam, again));

    isp->bnSecurity->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    ASSERT_TRUE(WaitUntil([&] { return device->CountReceived(Mode::Run, 0x04) == 1; }));
    Spin(300);
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_EQ(device->CountReceived(Mode::Run, 0x10), 2u) << "one read, one DSP programming";
    EXPECT_EQ(device->CountReceived(Mode::Run, kBlock), 3u);
    EXPECT_EQ(Peer().ParamTable(), device->ParameterTable());
    EXPECT_EQ(Peer().DspMask(), device->DspMask());
    EXPECT_TRUE(device->DspMatches(buffer.data(), static_cast<std::size_t>(length)));
}

// An answer the mask cannot be built from, taken in place of block 1's.
struct UntrustedAnswer {
    const char* name;
    uint8_t block;
    std::size_t payload;  // bytes after the block number
    uint8_t checkDelta;
};

class DspFlowUntrusted : public DspFlow, public ::testing::WithParamInterface<UntrustedAnswer> {};

TEST_P(DspFlowUntrusted, FailsTheReadAndTheNextReadCompletes) {
    const UntrustedAnswer c = GetParam();
    Bytes p(1 + c.payload, 0xEE);
    p[0] = c.block;
    // Answers: 1 = 0x10, 2 = block 0, 3 = 0x1A, 4 = block 1.
    device->InjectBeforeAnswer(4, Answer(kParam, p, c.checkDelta));

    isp->bnSecurity->click();
    ASSERT_TRUE(WaitForDialog(QStringLiteral("Parameter Data Error !!")));
    Spin(500);  // longer than tmRunStep and tmDspProgram together
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_EQ(FlowDialogs()[0].kind, DialogSeam::Kind::Error);
    EXPECT_EQ(device->CountReceived(Mode::Run, kParam), 2u) << "no block is asked for again";
    EXPECT_EQ(device->CountReceived(Mode::Run, kBlock), 0u);
    EXPECT_EQ(Peer().DspMask(), 0u);
    EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    EXPECT_FALSE(isp->StatusIsRed());
    EXPECT_TRUE(isp->btnStartProgram->isEnabled());

    device->ClearFaults();
    isp->bnSecurity->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_EQ(Peer().ParamTable(), device->ParameterTable());
    EXPECT_EQ(Peer().DspMask(), device->DspMask());
    EXPECT_TRUE(device->DspMatches(buffer.data(), static_cast<std::size_t>(length)));
}

INSTANTIATE_TEST_SUITE_P(Answers, DspFlowUntrusted,
                         ::testing::Values(UntrustedAnswer{"BlockAboveTen", 11, 50, 0},
                                           UntrustedAnswer{"BlockFF", 0xFF, 50, 0},
                                           UntrustedAnswer{"WrongCheckByte", 1, 50, 0x40},
                                           UntrustedAnswer{"ShortBlock", 1, 20, 0}),
                         [](const ::testing::TestParamInfo<UntrustedAnswer>& p) {
                             return std::string(p.param.name);
                         });

TEST_F(DspFlow, RowIndexPastTheTableFailsTheRunAndStartProgramRunsItAgain) {
    device->SetReportedRowIndex(40);
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitForDialog(QStringLiteral("Parameter Data Error !!")));
    Spin(500);  // longer than tmRunStep and tmDspProgram together

    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_EQ(FlowDialogs()[0].kind, DialogSeam::Kind::Error);
    EXPECT_EQ(device->CountReceived(Mode::Run, kBlock), 0u);
    EXPECT_EQ(device->CountReceived(Mode::Run, kParam), 11u);
    EXPECT_EQ(Peer().DspMask(), 0u);
    EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    EXPECT_FALSE(Peer().tmRunStep()->isActive());
    EXPECT_FALSE(isp->StatusIsRed());
    ASSERT_TRUE(isp->btnStartProgram->isEnabled());

    // With sound data the whole run goes through again.
    device->ClearFaults();
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_EQ(FlowDialogCount(), 2u);
    EXPECT_EQ(Peer().DspMask(), device->DspMask());
    EXPECT_TRUE(device->DspMatches(buffer.data(), static_cast<std::size_t>(length)));
}

TEST_F(DspFlow, SecurityDoesNothingUnlessTheDeviceRunsItsFirmware) {
    device->Unplug();
    ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
    isp->bnSecurityClick();
    ASSERT_TRUE(device->PlugIn(Mode::Update));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Update HID")));
    isp->bnSecurity->click();
    Spin(200);
    EXPECT_TRUE(Written().empty());
    EXPECT_EQ(Peer().Proc(), nullptr);
}

TEST_F(DspFlow, UnplugDuringTheReadReturnsToIdleAndALaterReadCompletes) {
    device->DropAnswer(4);  // block 1's answer: the read waits
    isp->bnSecurity->click();
    ASSERT_TRUE(WaitUntil([&] { return device->CountReceived(Mode::Run, kParam) == 2; }));
    Spin(100);
    device->Unplug();
    ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
    EXPECT_EQ(Peer().Proc(), nullptr);
    EXPECT_EQ(Peer().Step(), 1);
    EXPECT_FALSE(Peer().AcceptInput());

    ASSERT_TRUE(device->PlugIn(Mode::Run));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Run HID")));
    isp->bnSecurity->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_EQ(Peer().DspMask(), device->DspMask());
    EXPECT_TRUE(device->DspMatches(buffer.data(), static_cast<std::size_t>(length)));
    EXPECT_EQ(FlowDialogCount(), 1u);
}

TEST_F(DspFlow, UnplugDuringProgrammingReturnsToIdleAndALaterRunCompletes) {
    device->UnplugAtDspBlock(1, std::chrono::milliseconds(100));
    isp->bnDspPorgram->click();
    ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
    EXPECT_EQ(Peer().Proc(), nullptr);
    EXPECT_EQ(Peer().Step(), 1);
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Run HID")));
    EXPECT_TRUE(isp->bnDspPorgram->isEnabled());

    device->ClearLog();
    isp->bnDspPorgram->click();
    ASSERT_TRUE(WaitUntil([&] { return DspDone(); }));
    EXPECT_EQ(RunLog(device->Log()), (std::vector<std::pair<int, int64_t>>{
                                         {0x10, -1}, {kBlock, 0}, {kBlock, 1}, {kBlock, 2}}));
    EXPECT_EQ(FlowDialogCount(), 0u);
}

// A full run cut off after its MCU update: whatever device comes back starts again from
// "Start Program ", and that run goes through.
class DspFlowCutOff : public DspFlow {
  protected:
    void ComesBackAndCompletes() {
        ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
        EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
        EXPECT_EQ(Peer().Proc(), nullptr);
        device->ClearFaults();
        ASSERT_TRUE(device->PlugIn(Mode::Run));
        ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Run HID")));
        const std::size_t reads = device->CountReceived(Mode::Run, kParam);
        Spin(300);
        EXPECT_EQ(device->CountReceived(Mode::Run, kParam), reads) << "nothing goes on by itself";
        EXPECT_EQ(FlowDialogCount(), 0u);
        ASSERT_TRUE(isp->btnStartProgram->isEnabled());

        isp->btnStartProgram->click();
        ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
        EXPECT_EQ(FlowDialogCount(), 1u);
        EXPECT_EQ(Peer().DspMask(), device->DspMask());
        EXPECT_TRUE(device->DspMatches(buffer.data(), static_cast<std::size_t>(length)));
        EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    }
};

TEST_F(DspFlowCutOff, InTheParameterRead) {
    // Answers of the run: 1 and 2 the run-mode commands, 3..11 the IAP packets (one data
    // packet), 12 the read's 0x10, 13 block 0, 14 the 0x1A, 15 block 1.
    device->DropAnswer(15);
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return device->CountReceived(Mode::Run, kParam) == 2; }));
    Spin(100);
    device->Unplug();
    ComesBackAndCompletes();
}

TEST_F(DspFlowCutOff, InDspProgramming) {
    device->UnplugAtDspBlock(1);
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return device->CountReceived(Mode::Run, kBlock) == 2; }));
    ComesBackAndCompletes();
}

}  // namespace
}  // namespace flowtest
