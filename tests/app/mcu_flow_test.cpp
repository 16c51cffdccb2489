// The microcontroller update against the simulated device, on small images: packet layout and
// chunking, the image's failure cases, wrong sums at every step, unplugging, and silence.
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/app/flow_fixture.h"

namespace flowtest {
namespace {

uint32_t Le32(const Bytes& b, std::size_t i) {
    return static_cast<uint32_t>(b[i]) | static_cast<uint32_t>(b[i + 1]) << 8 |
           static_cast<uint32_t>(b[i + 2]) << 16 | static_cast<uint32_t>(b[i + 3]) << 24;
}

class McuFlow : public FlowFixture {
  protected:
    void SetUp() override {
        FlowFixture::SetUp();
        dsp = DspWords(16);
    }
    std::vector<uint32_t> dsp;
};

// ---- Chunking of the image into packets ----

class McuImageLength : public McuFlow, public ::testing::WithParamInterface<int> {};

TEST_P(McuImageLength, PacketsCarryTheImageAndTheFlashHoldsIt) {
    const int length = GetParam();
    const Bytes image = Pattern(static_cast<std::size_t>(length), 3);
    HexImage hex = HexImage::Of(image);
    UseImages(hex, dsp);

    isp->bnMcuProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_EQ(Peer().ImageLength(), 68);  // the DSP buffer replaced the MCU image afterwards
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));

    // Packet order: connect, sync, version, id, config, sync, start, data..., reset.
    const std::vector<Bytes> packets = IapPackets();
    const int dataPackets = std::max(1, (length - 48 + 55) / 56);
    ASSERT_EQ(packets.size(), static_cast<std::size_t>(8 + dataPackets));
    const std::vector<uint8_t> head = {0x80, 0x81, 0x82, 0x83, 0x84, 0x81, 0x85};
    for (std::size_t i = 0; i < head.size(); ++i)
        EXPECT_EQ(packets[i][0], head[i]) << "packet " << i;
    EXPECT_EQ(packets.back()[0], 0x86);

    // The start packet announces the length and carries the first 48 bytes.
    const Bytes& start = packets[6];
    EXPECT_EQ(Le32(start, 12), static_cast<uint32_t>(length));
    Bytes first48(48, 0);
    std::copy_n(image.begin(), std::min(48, length), first48.begin());
    EXPECT_EQ(Bytes(start.begin() + 16, start.begin() + 64), first48);

    // Data packets: 56 bytes each from byte 8; the last one takes the rest, zeros after it.
    std::size_t pos = 48;
    for (int k = 0; k < dataPackets; ++k) {
        const Bytes& p = packets[7 + static_cast<std::size_t>(k)];
        EXPECT_EQ(p[0], 0x00);
        EXPECT_EQ(Le32(p, 4), Le32(packets[6 + static_cast<std::size_t>(k)], 4) + 2)
            << "packet numbers advance by the device's and the host's step";
        const std::size_t take =
            pos < image.size() ? std::min<std::size_t>(56, image.size() - pos) : 0;
        Bytes expected(56, 0);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(std::min(pos, image.size())), take,
                    expected.begin());
        EXPECT_EQ(Bytes(p.begin() + 8, p.end()), expected) << "data packet " << k;
        pos += take;
    }
    EXPECT_GE(pos, image.size());
}

// 56k + 48 ends with a full data packet; +20 with a short one; under 48 bytes the start
// packet carries all and one empty data packet follows.
INSTANTIATE_TEST_SUITE_P(Lengths, McuImageLength,
                         ::testing::Values(56 * 3 + 48, 56 * 2 + 48 + 20, 30),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return "Bytes" + std::to_string(p.param);
                         });

TEST_F(McuFlow, StatusTextsFollowTheSteps) {
    HexImage hex = HexImage::Of(Pattern(56 * 4 + 48, 5));
    UseImages(hex, dsp);
    isp->btnStartProgram->click();
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));

    const std::vector<QString> expected = {
        QStringLiteral("Connect"),
        QStringLiteral("Sync Package"),
        QStringLiteral("Get Firmware Version"),
        QStringLiteral("Get Device ID"),
        QStringLiteral("Device ID : 4C560821, 00000000, 00000000"),
        QStringLiteral("Read Config"),
        QStringLiteral("Sync Program"),
        QStringLiteral("Start Program"),
        QStringLiteral("Mcu Programing 0"),
        QStringLiteral("Mcu Programing 1"),
        QStringLiteral("Mcu Programing 2"),
        QStringLiteral("Mcu Programing 3"),
        QStringLiteral("MCU Reset"),
        QStringLiteral("Parameter Data"),
        QStringLiteral("Dsp Program"),
    };
    ASSERT_GE(texts.size(), expected.size());
    EXPECT_EQ(std::vector<QString>(texts.begin(), texts.begin() + 15), expected);
    EXPECT_EQ(Peer().FirmwareVersion(), 0x13);
    EXPECT_EQ(static_cast<uint32_t>(Peer().DeviceId1()), 0x4C560821u);
    EXPECT_EQ(static_cast<uint32_t>(Peer().DeviceId2()), 0xFFFFFF7Fu);
    EXPECT_EQ(static_cast<uint32_t>(Peer().DeviceId3()), 0x0000FFFEu);
    EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    EXPECT_FALSE(Peer().McuUpdatePending());
    // The dump shows what was last prepared: the DSP buffer, its length first.
    EXPECT_TRUE(progData->Text().startsWith(QStringLiteral("00000000  00 44 ")));
}

// ---- The image's own failures ----

TEST_F(McuFlow, ChecksumErrorSendsNothingAndLeavesTheButtonsUsable) {
    const Bytes image = Pattern(160, 9);
    HexImage hex;
    hex.AddRecord(0, image.data(), 16);
    hex.AddRecord(16, image.data() + 16, 16);
    hex.AddRecord(32, image.data() + 32, 16, 0, 1);  // wrong checksum
    hex.AddRecord(48, image.data() + 48, 16);
    hex.AddEnd();
    UseImages(hex, dsp);

    isp->btnStartProgram->click();
    Spin(400);
    EXPECT_EQ(dialogs.Count(DialogSeam::Kind::Error, QStringLiteral("Check sum error!")), 1u);
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_TRUE(Written().empty());
    EXPECT_TRUE(device->Log().empty());
    EXPECT_EQ(device->CurrentMode(), Mode::Run);
    EXPECT_FALSE(Peer().McuUpdatePending());
    EXPECT_FALSE(Peer().tmMcuProg()->isActive());
    EXPECT_FALSE(isp->StatusIsRed());
    EXPECT_TRUE(isp->bnMcuProgram->isEnabled());
    EXPECT_TRUE(isp->btnStartProgram->isEnabled());

    // Once the image is sound the same window updates the device.
    HexImage good = HexImage::Of(image);
    UseImages(good, dsp);
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
}

TEST_F(McuFlow, RecordBeyondThePreparedRegionEndsTheImageSilently) {
    const Bytes image = Pattern(200, 11);
    const Bytes far = Pattern(16, 12);
    HexImage hex;
    hex.AddData(image);
    const uint8_t upper[2] = {0x00, 0x01};  // linear base 0x10000
    hex.AddRecord(0, upper, 2, 4);
    hex.AddRecord(static_cast<uint32_t>(kMcuImageSize - 8) & 0xFFFF, far.data(), far.size());
    hex.AddData(Pattern(32, 13), 200);  // after the stop: not part of the image
    hex.AddEnd();
    UseImages(hex, dsp);

    isp->bnMcuProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_EQ(device->AnnouncedLength(), 200u);
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
}

// ---- A wrong sum at each step ----

struct WrongSumCase {
    uint8_t byte0;
    int occurrence;
    int step;
    const char* text;
    bool tearsDown;
};

class McuWrongSum : public McuFlow, public ::testing::WithParamInterface<WrongSumCase> {};

TEST_P(McuWrongSum, ShowsTheStepsDialogAndStops) {
    const WrongSumCase c = GetParam();
    const Bytes image = Pattern(56 * 3 + 48, 17);
    HexImage hex = HexImage::Of(image);
    UseImages(hex, dsp);
    device->SetWrongSum(c.byte0, c.occurrence);

    isp->bnMcuProgram->click();
    ASSERT_TRUE(WaitForDialog(QString::fromLatin1(c.text)));
    const std::size_t sent = IapPackets().size();
    Spin(400);  // well past every pacing interval but the first data packet's

    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_EQ(FlowDialogs()[0].kind, DialogSeam::Kind::Error);
    EXPECT_EQ(IapPackets().size(), sent) << "nothing more is sent";
    EXPECT_EQ(IapPackets().back()[0], c.byte0);
    EXPECT_EQ(device->CurrentMode(), Mode::Update);
    if (c.tearsDown) {
        EXPECT_EQ(Peer().Proc(), nullptr);
        EXPECT_EQ(Peer().Step(), 1);
        EXPECT_FALSE(Peer().AcceptInput());
        EXPECT_EQ(isp->StatusPanelText(0), QStringLiteral("Disconnect"));
    } else {
        EXPECT_NE(Peer().Proc(), nullptr);
        EXPECT_EQ(Peer().Step(), c.step);
    }
    EXPECT_FALSE(isp->StatusIsRed());

    // Whether or not the link is gone, the run is over with the device still in update mode:
    // "Start Program " tries again from there, and that update goes through.
    EXPECT_EQ(isp->StatusPanelText(1), QStringLiteral("Detect Update HID"));
    EXPECT_FALSE(Peer().McuUpdatePending());
    ASSERT_TRUE(isp->btnStartProgram->isEnabled());
    device->ClearFaults();
    const std::size_t runModeCommands = LogOf(Mode::Run).size();
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_EQ(FlowDialogCount(), 2u);
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
    EXPECT_EQ(IapPackets().size(), sent + 7 + 3 + 1) << "a whole session: 3 data packets";
    EXPECT_GT(LogOf(Mode::Run).size(), runModeCommands) << "then security and DSP programming";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, McuWrongSum,
    ::testing::Values(WrongSumCase{0x80, 0, 2, "ISP Start Error !!", true},
                      WrongSumCase{0x81, 0, 3, "ISP Sync Error !!", true},
                      WrongSumCase{0x82, 0, 4, "Erase All Error !!", false},
                      WrongSumCase{0x83, 0, 5, "Get ID Error !!", true},
                      WrongSumCase{0x84, 0, 6, "Erase All Error !!", false},
                      WrongSumCase{0x81, 1, 7, "Erase All Error !!", false},
                      WrongSumCase{0x85, 0, 8, "Program Start Error !!", false},
                      WrongSumCase{0x00, 1, 9, "Program Data Error !!", false}),
    [](const ::testing::TestParamInfo<WrongSumCase>& p) {
        return "Step" + std::to_string(p.param.step);
    });

// ---- Unplugging and silence ----

TEST_F(McuFlow, UnplugDuringDataReturnsToIdleAndALaterRunCompletes) {
    const Bytes image = Pattern(56 * 6 + 48, 19);
    HexImage hex = HexImage::Of(image);
    UseImages(hex, dsp);
    // Packet 9 of the session is the second data packet; the device leaves instead of
    // answering it and stays away.
    device->UnplugAtIapPacket(8);

    isp->bnMcuProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return IapPackets().size() >= 9; }));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
    EXPECT_EQ(Peer().Proc(), nullptr);
    EXPECT_EQ(Peer().Step(), 1);
    EXPECT_FALSE(Peer().AcceptInput());
    EXPECT_EQ(FlowDialogCount(), 0u);

    // Power-cycled, the device starts its old firmware: the cut-off run must not go on to
    // the parameter read and report success.
    ASSERT_TRUE(device->PlugIn(Mode::Run));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Run HID")));
    Spin(300);
    EXPECT_EQ(FlowDialogCount(), 0u);
    EXPECT_EQ(device->CountReceived(Mode::Run, 0xA8), 0u);
    EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    EXPECT_FALSE(Peer().McuUpdatePending());
    ASSERT_TRUE(isp->btnStartProgram->isEnabled());

    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
}

TEST_F(McuFlow, UnplugDuringTheExchangeLetsStartProgramUpdateFromUpdateMode) {
    const Bytes image = Pattern(56 * 4 + 48, 29);
    HexImage hex = HexImage::Of(image);
    UseImages(hex, dsp);
    // The device leaves instead of answering the second data packet and comes back, still in
    // update mode.
    device->UnplugAtIapPacket(8, std::chrono::milliseconds(300));

    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return IapPackets().size() >= 9; }));
    ASSERT_TRUE(WaitForPanel(QStringLiteral("No Device")));
    EXPECT_FALSE(Peer().McuUpdatePending());
    EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    ASSERT_TRUE(WaitForPanel(QStringLiteral("Detect Update HID")));
    Spin(300);
    EXPECT_EQ(IapPackets().size(), 9u) << "nothing goes on by itself";
    EXPECT_EQ(FlowDialogCount(), 0u);
    ASSERT_TRUE(isp->btnStartProgram->isEnabled());

    device->ClearFaults();
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
    EXPECT_EQ(IapPackets().size(), 9u + 7 + 4 + 1);
    EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    EXPECT_FALSE(Peer().McuUpdatePending());
}

// The right answer never comes: the device says nothing, or (the packet lost on the way) goes
// on repeating its answer to the packet before.
class McuNoAnswer : public McuFlow, public ::testing::WithParamInterface<bool> {};

TEST_P(McuNoAnswer, FailsTheStepOnTheLinksTimeOutAndStartProgramFinishesTheJob) {
    const bool packetLost = GetParam();
    const Bytes image = Pattern(56 * 6 + 48, 31);
    HexImage hex = HexImage::Of(image);
    UseImages(hex, dsp);
    if (packetLost) {
        device->IgnoreIapPacket(8);  // the second data packet
    } else {
        // Answers 1 and 2 are the run-mode commands; 3.. the IAP packets: 12 is a data
        // packet's.
        device->DropAnswer(12);
    }

    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitForDialog(QStringLiteral("Program Data Error !!")));
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_EQ(IapPackets().size(), packetLost ? 9u : 10u) << "nothing is sent again";
    ASSERT_TRUE(isp->btnStartProgram->isEnabled());
    // The link stays as it was: its later time-outs (hurried here) are no new failures, and
    // the device's repeats no answers.
    ASSERT_NE(Peer().Proc(), nullptr);
    const uint64_t silent = Peer().Proc()->SilentPeriods();
    Peer().Proc()->SetWaitTime(20);
    ASSERT_TRUE(WaitUntil([&] { return Peer().Proc()->SilentPeriods() > silent + 20; }));
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_EQ(Peer().Step(), 9);

    device->ClearFaults();
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_EQ(FlowDialogCount(), 2u);
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
}

INSTANTIATE_TEST_SUITE_P(Causes, McuNoAnswer, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "PacketLost" : "AnswerLost";
                         });

TEST_F(McuFlow, ClosingWhileTheDeviceIsWrittenAsksFirstAndNoGoesOn) {
    const Bytes image = Pattern(56 * 8 + 48, 37);
    HexImage hex = HexImage::Of(image);
    UseImages(hex, dsp);
    const QString question = QStringLiteral(
        "The device is being written. Closing now stops the update half way, and the device "
        "will need it again.\n\nClose anyway?");

    // Nothing is written yet: the window closes without a question.
    EXPECT_FALSE(isp->WriteInProgress());
    EXPECT_TRUE(isp->close());
    EXPECT_EQ(FlowDialogCount(), 0u);
    isp->show();

    // MCU data: "No" (the default) keeps the window and the update going.
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return Peer().Step() == 9; }));
    EXPECT_FALSE(isp->close());
    EXPECT_EQ(dialogs.Count(DialogSeam::Kind::Question, question), 1u);
    EXPECT_TRUE(isp->isVisible());

    // DSP programming: "Yes" closes, and the link goes with the window.
    ASSERT_TRUE(WaitUntil([&] { return Peer().DspWriting(); }));
    dialogs.SetConfirmAnswer(true);
    EXPECT_TRUE(isp->close());
    EXPECT_EQ(dialogs.Count(DialogSeam::Kind::Question, question), 2u);
    EXPECT_FALSE(isp->isVisible());
    EXPECT_EQ(Peer().Proc(), nullptr);
    EXPECT_FALSE(OkShown());
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size())) << "the MCU update went on";
}

TEST_F(McuFlow, AnUnattendedRunIsNotAskedBeforeClosing) {
    HexImage hex = HexImage::Of(Pattern(56 * 8 + 48, 41));
    UseImages(hex, dsp);
    isp->SetAskBeforeClosing(false);
    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return Peer().Step() == 9; }));
    EXPECT_TRUE(isp->close());
    EXPECT_EQ(FlowDialogCount(), 0u);
    EXPECT_EQ(Peer().Proc(), nullptr);
}

TEST_F(McuFlow, MissingAnswerLeavesTheWindowResponsiveAndClosable) {
    HexImage hex = HexImage::Of(Pattern(56 * 6 + 48, 23));
    UseImages(hex, dsp);
    // Answers 1 and 2 are the run-mode commands; 3.. the IAP packets: 12 is a data packet's.
    device->DropAnswer(12);

    isp->bnMcuProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return IapPackets().size() >= 10; }));
    Spin(500);
    EXPECT_EQ(IapPackets().size(), 10u) << "the update waits for the lost answer";
    EXPECT_EQ(Peer().Step(), 9);
    EXPECT_EQ(FlowDialogCount(), 0u);

    bool fired = false;
    QTimer::singleShot(0, isp.get(), [&] { fired = true; });
    EXPECT_TRUE(WaitUntil([&] { return fired; }, 5000));

    QElapsedTimer clock;
    clock.start();
    dialogs.SetConfirmAnswer(true);  // the close question: "Yes"
    EXPECT_TRUE(isp->close());
    isp.reset();
    // Far below the link's stop time-out (5 s) and its answer time-out (35 s).
    EXPECT_LT(clock.elapsed(), 4000);
}

}  // namespace
}  // namespace flowtest
