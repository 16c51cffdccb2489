// The whole update with the embedded images, from either button, against the simulated device:
// the end dialog, both memories, and every command the device received, in order.
#include <QLabel>
#include <QObject>
#include <QPushButton>

#include <cstdint>
#include <utility>
#include <vector>

#include "firmware/images.h"
#include "tests/app/flow_fixture.h"

namespace flowtest {
namespace {

struct Expected {
    Bytes mcu;
    int mcuLength = 0;
    Bytes dsp;
    int dspLength = 0;
};

Expected EmbeddedImages() {
    Expected e;
    e.mcu.assign(71680, 0);
    const McuImage m =
        ::PrepareMcuImage(kMcuHexLines, kMcuHexLineCount, e.mcu.data(), kMcuImageSize);
    EXPECT_FALSE(m.ChecksumError);
    e.mcuLength = m.ImageLength;
    e.dsp = PreparedDsp(std::vector<uint32_t>(kDspImageWords, kDspImageWords + kDspImageWordCount),
                        &e.dspLength);
    return e;
}

using Entry = std::pair<int, int64_t>;  // command or IAP byte 0, number (-1 for none)

// What the device must have received, in order, for an image of mcuLength bytes.
// fromUpdateMode: the unit was found in update mode, so it is not told to switch.
std::vector<std::pair<Mode, Entry>> ExpectedLog(int mcuLength, bool fromUpdateMode) {
    std::vector<std::pair<Mode, Entry>> l;
    const auto run = [&](int cmd, int64_t n = -1) { l.push_back({Mode::Run, {cmd, n}}); };
    if (!fromUpdateMode) {
        run(0x10);
        run(0x08);
    }
    // IAP packet numbers: 1 for the first six, then the host's and the device's steps.
    const std::vector<std::pair<int, int64_t>> head = {{0x80, 1}, {0x81, 2}, {0x82, 3},
                                                       {0x83, 4}, {0x84, 5}, {0x81, 1}};
    for (const auto& h : head)
        l.push_back({Mode::Update, h});
    l.push_back({Mode::Update, {0x85, 3}});
    const int dataPackets = std::max(1, (mcuLength - 48 + 55) / 56);
    int64_t number = 3;
    for (int k = 0; k < dataPackets; ++k) {
        number += 2;
        l.push_back({Mode::Update, {0x00, number}});
    }
    l.push_back({Mode::Update, {0x86, number + 2}});
    run(0x10);
    run(0xA8, 0);
    run(0x1A);
    for (int b = 1; b <= 10; ++b)
        run(0xA8, b);
    run(0x10);
    for (int b = 0; b <= 768; ++b)
        run(0x53, b);
    run(0x12);
    run(0x04);
    return l;
}

class FullRun : public FlowFixture {
  protected:
    void RunAndCheck(QPushButton* button, bool fromUpdateMode = false) {
        const Expected e = EmbeddedImages();
        // The run's own switch into update mode is no interrupted update.
        bool noticeGone = isp->DeviceNotice().isEmpty();
        bool noticeInRun = false;
        QObject scope;
        QObject::connect(isp.get(), &TfmIsp::StatusChanged, &scope, [&] {
            const bool shown = !isp->DeviceNotice().isEmpty();
            noticeInRun = noticeInRun || (noticeGone && shown);
            noticeGone = noticeGone || !shown;
        });
        button->click();
        ASSERT_TRUE(WaitUntil([&] { return OkShown(); }, 240000));
        ASSERT_TRUE(WaitUntil([&] { return device->CountReceived(Mode::Run, 0x04) == 1; }));

        EXPECT_EQ(FlowDialogCount(), 1u) << FlowDialogs().back().text.toStdString();
        EXPECT_EQ(FlowDialogs()[0].kind, DialogSeam::Kind::Information);
        EXPECT_TRUE(device->FlashMatches(e.mcu.data(), static_cast<std::size_t>(e.mcuLength)));
        EXPECT_EQ(e.dspLength, 24580);
        EXPECT_EQ(device->DspBlocksStored(), 769u);
        EXPECT_TRUE(device->DspMatches(e.dsp.data(), simdev::kDspMemorySize));
        EXPECT_EQ(Peer().DspMask(), device->DspMask());

        std::vector<std::pair<Mode, Entry>> log;
        for (const auto& entry : device->Log()) {
            EXPECT_TRUE(entry.handled);
            log.push_back({entry.mode, {entry.command, entry.number}});
        }
        const auto expected = ExpectedLog(e.mcuLength, fromUpdateMode);
        ASSERT_EQ(log.size(), expected.size());
        for (std::size_t i = 0; i < log.size(); ++i) {
            ASSERT_EQ(log[i], expected[i]) << "entry " << i;
        }

        EXPECT_FALSE(noticeInRun);
        EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
        EXPECT_FALSE(Peer().McuUpdatePending());
        EXPECT_EQ(Peer().Step(), 1);
        EXPECT_FALSE(isp->StatusIsRed());
        EXPECT_EQ(isp->StatusPanelText(1), QStringLiteral("Detect Run HID"));
        EXPECT_EQ(isp->StatusSimpleText(), QStringLiteral("Dsp Progrmming 768"));
        EXPECT_TRUE(isp->bnMcuProgram->isEnabled());
        EXPECT_TRUE(isp->bnDspPorgram->isEnabled());
    }
};

TEST_F(FullRun, FromStartProgram) {
    EXPECT_TRUE(isp->btnStartProgram->isEnabled());
    RunAndCheck(isp->btnStartProgram);
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());
}

// A unit whose last update was cut off before this program started comes in update mode: the
// window says so in the heading's place, and "Start Program " finishes the update.
TEST_F(FullRun, FromAUnitLeftInUpdateMode) {
    device->Unplug();
    ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
    device->ClearLog();
    ASSERT_TRUE(device->PlugIn(Mode::Update));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Update HID")));
    EXPECT_EQ(isp->DeviceNotice(), InterruptedUpdateNotice());
    EXPECT_TRUE(isp->DeviceProblem().isEmpty());
    EXPECT_TRUE(isp->lbProblem->isVisible());
    EXPECT_EQ(isp->lbProblem->text(), InterruptedUpdateNotice());
    EXPECT_EQ(isp->lbProblem->accessibleName(), InterruptedUpdateNotice());
    ASSERT_TRUE(isp->btnStartProgram->isEnabled());
    RunAndCheck(isp->btnStartProgram, true);
    EXPECT_TRUE(isp->DeviceNotice().isEmpty());
    EXPECT_TRUE(isp->lbHidShow->isVisible());
}

TEST_F(FullRun, FromMcuProg) {
    RunAndCheck(isp->bnMcuProgram);
}

}  // namespace
}  // namespace flowtest
