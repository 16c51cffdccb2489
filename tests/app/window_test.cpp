// The main window over the simulated bus: layout, detection, the link and the report I/O.
#include <QAction>
#include <QDir>
#include <QFont>
#include <QLabel>
#include <QMenuBar>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdint>
#include <thread>
#include <vector>

#include "app/status_bar.h"
#include "app/window_placement.h"
#include "hid/hid.h"
#include "hid/jvhidcontrollerclass.h"
#include "protocol/lcmd.h"
#include "protocol/lusb.h"
#include "sim/bus_port.h"
#include "tests/app/window_fixture.h"
#include "tests/support/frames.h"

namespace {

using windowtest::BareDevice;
using windowtest::Spin;
using windowtest::WaitUntil;

using testsupport::DeviceFrame;

QString Hex(const std::vector<uint8_t>& bytes, std::size_t count) {
    QString s;
    for (std::size_t i = 0; i < count; ++i)
        s += QString::asprintf("%02X ", bytes[i]);
    return s;
}

class WindowTest : public windowtest::WindowFixture {};

TEST_F(WindowTest, ControlsHaveTheirNamesTextsPlacesAndStates) {
    EXPECT_EQ(isp->windowTitle(), "Update Velto V1.03 DezArurEdodOzave");
    EXPECT_EQ(isp->objectName(), "fmIsp");
    EXPECT_EQ(isp->size(), QSize(415, 133));
    EXPECT_EQ(isp->font().pixelSize(), 11);

    struct Expect {
        QWidget* w;
        const char* name;
        QRect rect;
    };
    const Expect expected[] = {
        {isp->lbHidShow, "lbHidShow", QRect(104, 16, 201, 20)},
        {isp->bnSecurity, "bnSecurity", QRect(88, 52, 80, 25)},
        {isp->bnDspPorgram, "bnDspPorgram", QRect(168, 52, 80, 25)},
        {isp->bnMcuProgram, "bnMcuProgram", QRect(248, 52, 80, 25)},
        {isp->btnStartProgram, "btnStartProgram", QRect(88, 48, 241, 30)},
        {isp->pbProgress, "pbProgress", QRect(0, 133 - 19 - 17, 415, 17)},
        {isp->sbStatus, "sbStatus", QRect(0, 133 - 19, 415, 19)},
    };
    for (const Expect& e : expected) {
        ASSERT_NE(e.w, nullptr) << e.name;
        EXPECT_EQ(e.w->objectName(), e.name);
        EXPECT_EQ(e.w->geometry(), e.rect) << e.name;
        EXPECT_EQ(isp->findChild<QWidget*>(e.name), e.w) << e.name;
    }

    EXPECT_EQ(isp->lbHidShow->text(), "Device Update");
    EXPECT_EQ(isp->lbHidShow->font().pixelSize(), 16);
    EXPECT_TRUE(isp->lbHidShow->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(isp->bnSecurity->text(), "Security");
    EXPECT_EQ(isp->bnDspPorgram->text(), "Dsp Prog");
    EXPECT_EQ(isp->bnMcuProgram->text(), "Mcu Prog");
    EXPECT_EQ(isp->btnStartProgram->text(), "Start Program ");
    for (QPushButton* b :
         {isp->bnSecurity, isp->bnDspPorgram, isp->bnMcuProgram, isp->btnStartProgram}) {
        EXPECT_EQ(b->font().pixelSize(), 13) << b->objectName().toStdString();
    }

    // With no device: only the start button's place is seen, and it is disabled.
    EXPECT_FALSE(isp->bnSecurity->isEnabled());
    EXPECT_FALSE(isp->bnDspPorgram->isEnabled());
    EXPECT_FALSE(isp->bnMcuProgram->isEnabled());  // the no-device display at creation
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());
    QWidget* area = isp->centralWidget();
    for (QPushButton* b : {isp->bnSecurity, isp->bnDspPorgram, isp->bnMcuProgram}) {
        EXPECT_EQ(area->childAt(b->geometry().center()), isp->btnStartProgram);
    }

    EXPECT_EQ(isp->pbProgress->minimum(), 0);
    EXPECT_EQ(isp->pbProgress->maximum(), 100);
    EXPECT_EQ(isp->ProgressPosition(), 0);
    EXPECT_EQ(isp->sbStatus->PanelWidth(0), 180);
    EXPECT_EQ(isp->sbStatus->PanelWidth(1), 50);
    EXPECT_EQ(isp->StatusPanelText(0), "Disconnect");
    EXPECT_EQ(isp->StatusPanelText(1), "No Device");
    EXPECT_FALSE(isp->StatusIsRed());

    EXPECT_FALSE(Peer().McuUpdatePending());
    EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    EXPECT_EQ(Peer().Proc(), nullptr);
    EXPECT_FALSE(Peer().AcceptInput());
}

TEST_F(WindowTest, TabOrderRunsMcuSecurityDspStart) {
    std::vector<QWidget*> order;
    QWidget* w = isp->bnMcuProgram;
    for (int i = 0; i < 20 && order.size() < 4; ++i) {
        if (w->focusPolicy() & Qt::TabFocus) order.push_back(w);
        w = w->nextInFocusChain();
    }
    const std::vector<QWidget*> expected{isp->bnMcuProgram, isp->bnSecurity, isp->bnDspPorgram,
                                         isp->btnStartProgram};
    EXPECT_EQ(order, expected);
}

TEST_F(WindowTest, ServiceEntriesAreHiddenActionsWithShortcuts) {
    EXPECT_EQ(isp->findChild<QMenuBar*>(), nullptr);
    ASSERT_NE(isp->Memory1, nullptr);
    ASSERT_NE(isp->HidData1, nullptr);
    EXPECT_EQ(isp->Memory1->objectName(), "Memory1");
    EXPECT_EQ(isp->Memory1->text(), "Memory");
    EXPECT_EQ(isp->Memory1->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+M")));
    EXPECT_EQ(isp->HidData1->objectName(), "HidData1");
    EXPECT_EQ(isp->HidData1->text(), "HidData");
    EXPECT_EQ(isp->HidData1->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+H")));
    EXPECT_TRUE(isp->actions().contains(isp->Memory1));
    EXPECT_TRUE(isp->actions().contains(isp->HidData1));

    // HidData: beside the main window, top aligned, not modal (placement: see below).
    isp->HidData1->trigger();
    ASSERT_TRUE(hidData->isVisible());
    EXPECT_FALSE(hidData->isModal());

    // Memory: modal, through the dialog seam.
    isp->Memory1->trigger();
    EXPECT_EQ(dialogs.ModalWindowsShown(), 1);
    EXPECT_TRUE(progData->isVisible());
}

TEST_F(WindowTest, TimersStartStoppedWithTheirIntervals) {
    const std::array<std::pair<QTimer*, int>, 5> timers{{{Peer().tmUsbWait(), 100},
                                                         {Peer().tmWaitDisconnect(), 500},
                                                         {Peer().tmDspProgram(), 100},
                                                         {Peer().tmMcuProg(), 100},
                                                         {Peer().tmRunStep(), 100}}};
    for (const auto& [timer, interval] : timers) {
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(timer->interval(), interval) << timer->objectName().toStdString();
        EXPECT_FALSE(timer->isActive()) << timer->objectName().toStdString();
        EXPECT_FALSE(timer->isSingleShot());
        EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
    }

    // The wait timers fire once: they stop themselves.
    Peer().tmUsbWait()->start();
    isp->tmUsbWaitTimer();
    EXPECT_FALSE(Peer().tmUsbWait()->isActive());
    EXPECT_TRUE(Peer().AcceptInput());

    ASSERT_TRUE(Peer().OpenLink());
    Peer().Step() = 7;
    Peer().tmWaitDisconnect()->start();
    ASSERT_TRUE(WaitUntil([&] { return Peer().Proc() == nullptr; }));
    EXPECT_FALSE(Peer().tmWaitDisconnect()->isActive());
    EXPECT_EQ(Peer().Step(), 1);
}

TEST_F(WindowTest, RunModeDeviceIsDetectedAndUnplugged) {
    auto dev = PlugHeld(BareDevice::kRunProduct);
    EXPECT_EQ(isp->StatusPanelText(1), "Detect Run HID");
    EXPECT_TRUE(isp->bnSecurity->isEnabled());
    EXPECT_TRUE(isp->bnDspPorgram->isEnabled());
    EXPECT_TRUE(isp->bnMcuProgram->isEnabled());
    EXPECT_TRUE(isp->btnStartProgram->isEnabled());
    EXPECT_TRUE(Peer().HidDevice()->IsCheckedOut());
    EXPECT_EQ(Peer().Proc(), nullptr);  // detection alone opens no link

    dev->Unplug();
    ASSERT_TRUE(WaitForPanel("No Device"));
    Spin(20);
    EXPECT_EQ(Peer().HidDevice(), nullptr);
    EXPECT_FALSE(isp->bnDspPorgram->isEnabled());
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());
    // The unplug handler enables it; the no-device display that follows the change disables it.
    EXPECT_FALSE(isp->bnMcuProgram->isEnabled());
    EXPECT_EQ(isp->StatusPanelText(0), "Disconnect");
    EXPECT_EQ(isp->Controller()->CheckedOutCount(), 0);
}

TEST_F(WindowTest, DevicePresentAtStartIsShownAsDetected) {
    isp.reset();
    BareDevice dev(BareDevice::kVendor, BareDevice::kRunProduct);
    isp = std::make_unique<TfmIsp>(&dialogs);
    isp->SetDiagnosticWindows(hidData.get(), progData.get());
    ASSERT_TRUE(WaitUntil([&] { return Peer().HidDevice() != nullptr; }));
    Spin(20);
    // The start-up no-device display must not hide a device found in the first change pass.
    EXPECT_EQ(isp->StatusPanelText(1), "Detect Run HID");
    EXPECT_TRUE(isp->bnMcuProgram->isEnabled());
    EXPECT_TRUE(isp->bnDspPorgram->isEnabled());
    EXPECT_TRUE(isp->btnStartProgram->isEnabled());
}

TEST_F(WindowTest, UpdateModeDeviceEnablesStartUnlessAnUpdateIsPending) {
    {
        auto dev = PlugHeld(BareDevice::kUpdateProduct);
        EXPECT_EQ(isp->StatusPanelText(1), "Detect Update HID");
        EXPECT_TRUE(isp->bnSecurity->isEnabled());
        EXPECT_FALSE(isp->bnDspPorgram->isEnabled());
        EXPECT_TRUE(isp->btnStartProgram->isEnabled());
        dev->Unplug();
        ASSERT_TRUE(WaitUntil([&] { return Peer().HidDevice() == nullptr; }));
    }
    Peer().McuUpdatePending() = true;
    auto dev = PlugHeld(BareDevice::kUpdateProduct);
    EXPECT_EQ(isp->StatusPanelText(1), "Detect Update HID");
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());
}

TEST_F(WindowTest, OtherDevicesAreLeftAlone) {
    BareDevice otherVendor(0x1234, BareDevice::kRunProduct);
    BareDevice otherProduct(BareDevice::kVendor, 0x0001);
    ASSERT_TRUE(WaitUntil([&] { return isp->Controller()->Devices().size() == 2; }));
    Spin(20);
    EXPECT_EQ(Peer().HidDevice(), nullptr);
    EXPECT_EQ(isp->StatusPanelText(1), "No Device");
    EXPECT_EQ(isp->Controller()->CheckedOutCount(), 0);

    // A second device of ours does not take the place of the one held.
    auto first = PlugHeld(BareDevice::kRunProduct);
    TJvHidDevice* held = Peer().HidDevice();
    BareDevice second(BareDevice::kVendor, BareDevice::kUpdateProduct);
    ASSERT_TRUE(WaitUntil([&] { return isp->Controller()->Devices().size() == 4; }));
    Spin(20);
    EXPECT_EQ(Peer().HidDevice(), held);
    EXPECT_EQ(isp->StatusPanelText(1), "Detect Run HID");
    second.Unplug();
    ASSERT_TRUE(WaitUntil([&] { return isp->Controller()->Devices().size() == 3; }));
    EXPECT_EQ(Peer().HidDevice(), held);
    EXPECT_EQ(isp->StatusPanelText(1), "Detect Run HID");
}

TEST_F(WindowTest, RunModeDeviceArrivingMidRunStartsTheParameterRead) {
    Peer().RunStage() = FullRunStage::McuUpdate;
    auto dev = PlugHeld(BareDevice::kRunProduct);
    ASSERT_TRUE(WaitUntil([&] { return dev->OutputCount() >= 1; }));
    const std::vector<uint8_t> first = dev->Outputs().front();
    ASSERT_EQ(first.size(), 65u);
    const std::vector<uint8_t> open = CM_MCS_CMD(1, 0x10).GetBytes(1);
    EXPECT_EQ(first[0], 0);
    EXPECT_TRUE(std::equal(open.begin(), open.end(), first.begin() + 1));
    EXPECT_NE(Peer().Proc(), nullptr);
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());  // only at RunStage 0
}

TEST_F(WindowTest, InputIsPassedOnlyWhileAccepted) {
    auto dev = PlugHeld(BareDevice::kRunProduct);
    isp->HidData1Click();
    ASSERT_TRUE(Peer().OpenLink());
    Peer().Proc()->SetPollSuppressed(true);

    // Not accepted: nothing is passed or logged.
    const std::vector<uint8_t> frame = DeviceFrame(0x77, {1, 2, 3});
    std::vector<uint8_t> report = frame;
    report.resize(64, 0xEE);
    Peer().AcceptInput() = false;
    isp->HidCtlDeviceData(Peer().HidDevice(), 0, report.data(), 64);
    EXPECT_TRUE(LogLines().isEmpty());

    // Accepted in the idle step: a frame passes with its own length and input stays accepted.
    Peer().AcceptInput() = true;
    Peer().Step() = 1;
    isp->HidCtlDeviceData(Peer().HidDevice(), 0, report.data(), 64);
    ASSERT_EQ(LogLines().size(), 1);
    EXPECT_EQ(LogLines().back(), "R 00  " + Hex(frame, frame.size()));
    EXPECT_TRUE(Peer().AcceptInput());

    // During the update steps one report is taken per wait; an unframed one passes 64 bytes.
    std::vector<uint8_t> raw(64);
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint8_t>(0xA0 + i);
    Peer().Step() = 5;
    isp->HidCtlDeviceData(Peer().HidDevice(), 0, raw.data(), 64);
    EXPECT_FALSE(Peer().AcceptInput());
    ASSERT_EQ(LogLines().size(), 2);
    EXPECT_EQ(LogLines().back(), "R 00  " + Hex(raw, 64));
    isp->HidCtlDeviceData(Peer().HidDevice(), 0, raw.data(), 64);
    EXPECT_EQ(LogLines().size(), 2);

    // The same through the device's reader.
    Peer().Step() = 1;
    Peer().AcceptInput() = true;
    ASSERT_TRUE(dev->Send(DeviceFrame(0x78, {9})));
    ASSERT_TRUE(WaitUntil([&] { return LogLines().size() == 3; }));
    EXPECT_EQ(LogLines().back(), "R 00  " + Hex(DeviceFrame(0x78, {9}), 10));
}

TEST_F(WindowTest, FrameLengthFromTheReportIsCappedAtTheReport) {
    isp->HidData1Click();
    ASSERT_TRUE(Peer().OpenLink());
    Peer().Proc()->SetPollSuppressed(true);
    Peer().AcceptInput() = true;
    Peer().Step() = 1;

    // Byte 4 of 0xF0 (read unsigned: 248 bytes) claims more than the 64 bytes that came.
    std::vector<uint8_t> report{0x10, 0x02, 0x01, 0x00, 0xF0};
    report.resize(64, 0x5A);
    isp->HidCtlDeviceData(nullptr, 0, report.data(), 64);
    ASSERT_EQ(LogLines().size(), 1);
    EXPECT_EQ(LogLines().back(), "R 00  " + Hex(report, 64));

    // A short report passes what it holds, never more, framed or not.
    auto shortReport = std::make_unique<uint8_t[]>(6);
    const uint8_t head[6] = {0x10, 0x02, 0x01, 0x00, 0x30, 0x12};
    std::copy(std::begin(head), std::end(head), shortReport.get());
    isp->HidCtlDeviceData(nullptr, 0, shortReport.get(), 6);
    EXPECT_EQ(LogLines().back(), "R 00  10 02 01 00 30 12 ");
    auto tiny = std::make_unique<uint8_t[]>(3);
    tiny[0] = 0x10;
    tiny[1] = 0x02;
    tiny[2] = 0x01;
    isp->HidCtlDeviceData(nullptr, 0, tiny.get(), 3);
    EXPECT_EQ(LogLines().back(), "R 00  10 02 01 ");
    EXPECT_EQ(LogLines().size(), 3);

    // A report without a processor is logged but goes nowhere.
    isp->TearDownLink();
    Peer().AcceptInput() = true;
    isp->HidCtlDeviceData(nullptr, 0, report.data(), 64);
    EXPECT_EQ(LogLines().size(), 4);
}

TEST_F(WindowTest, WriteReportSendsOneReportAndCutsLongPackets) {
    auto dev = PlugHeld(BareDevice::kUpdateProduct);
    isp->HidData1Click();

    // A 70-byte IAP packet on a 65-byte report: the first 64 bytes go, nothing past the report.
    std::array<uint8_t, 70> packet{};
    for (std::size_t i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<uint8_t>(i + 1);
    isp->Session().WriteReport(packet.data(), 70);
    ASSERT_EQ(dev->OutputCount(), 1u);
    std::vector<uint8_t> out = dev->Outputs().back();
    ASSERT_EQ(out.size(), 65u);
    EXPECT_EQ(out[0], 0);
    EXPECT_TRUE(std::equal(packet.begin(), packet.begin() + 64, out.begin() + 1));
    ASSERT_EQ(LogLines().size(), 1);
    EXPECT_EQ(LogLines().back(),
              "W 00  " + Hex(std::vector<uint8_t>(packet.begin(), packet.end()), 64));

    // A short frame fills the front of the report; the rest is zero.
    const BSTM frame = CM_MCS_CMD(1, 0x12).GetBytes(1);
    isp->Session().WriteReport(frame.data(), static_cast<uint32_t>(frame.size()));
    ASSERT_EQ(dev->OutputCount(), 2u);
    out = dev->Outputs().back();
    ASSERT_EQ(out.size(), 65u);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), out.begin() + 1));
    EXPECT_TRUE(std::all_of(out.begin() + 1 + static_cast<long>(frame.size()), out.end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(LogLines().back(), "W 00  " + Hex(frame, frame.size()));

    // The processor's worker writes through the same path.
    ASSERT_TRUE(Peer().OpenLink());
    Peer().Proc()->SetPollSuppressed(true);
    isp->SubmitCommand(CM_MCS_PROGRAM_DATA(packet.data(), 70), true, false);
    ASSERT_TRUE(WaitUntil([&] { return dev->OutputCount() == 3 && LogLines().size() == 3; }));
    out = dev->Outputs().back();
    EXPECT_TRUE(std::equal(packet.begin(), packet.begin() + 64, out.begin() + 1));
    EXPECT_EQ(LogLines().back(), LogLines().front());

    // A raw command with no bytes is not a frame: nothing is sent, nothing thrown.
    isp->TearDownLink();
    ASSERT_TRUE(Peer().OpenLink());
    isp->SubmitCommand(CM_MCS_CMD(1, 0x10), true, false);
    Spin(30);
    EXPECT_EQ(dev->OutputCount(), 3u);

    // Without a device, nothing is written.
    dev->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return Peer().HidDevice() == nullptr; }));
    isp->Session().WriteReport(packet.data(), 70);
    EXPECT_EQ(dev->OutputCount(), 3u);
}

TEST_F(WindowTest, TearDownLinkResetsTheLinkAndTheStatus) {
    ASSERT_TRUE(Peer().OpenLink());
    LUsbProc* proc = Peer().Proc();
    EXPECT_TRUE(Peer().OpenLink());
    EXPECT_EQ(Peer().Proc(), proc);  // one processor at a time
    Peer().AcceptInput() = true;
    Peer().Step() = 9;
    isp->SetStatusRed(true);
    isp->SetPanelText(0, "Busy");
    isp->SetProgress(40);
    isp->TearDownLink();
    EXPECT_EQ(Peer().Proc(), nullptr);
    EXPECT_FALSE(Peer().AcceptInput());
    EXPECT_EQ(Peer().Step(), 1);
    EXPECT_FALSE(isp->StatusIsRed());
    EXPECT_EQ(isp->StatusPanelText(0), "Disconnect");
    EXPECT_EQ(isp->ProgressPosition(), 0);

    // Without a processor, input acceptance is left as it was.
    Peer().AcceptInput() = true;
    isp->TearDownLink();
    EXPECT_TRUE(Peer().AcceptInput());

    // Closing the window tears the link down.
    ASSERT_TRUE(Peer().OpenLink());
    isp->close();
    EXPECT_EQ(Peer().Proc(), nullptr);
}

TEST_F(WindowTest, UnplugWhileTheWorkerWritesEndsTheLinkCleanly) {
    for (int round = 0; round < 3; ++round) {
        auto dev = PlugHeld(BareDevice::kRunProduct);
        ASSERT_TRUE(Peer().OpenLink());
        Peer().AcceptInput() = true;
        Peer().Proc()->SetPollSuppressed(true);
        isp->HidData1Click();
        // The device never answers: the first frame is written, the rest wait in the queue.
        for (int i = 0; i < 5; ++i)
            isp->SubmitCommand(CM_MCS_CMD(1, 0xA8, 0), true, true);
        ASSERT_TRUE(WaitUntil([&] { return dev->OutputCount() >= 1; }));
        dev->Unplug();
        ASSERT_TRUE(WaitUntil([&] { return Peer().HidDevice() == nullptr; }));
        EXPECT_EQ(Peer().Proc(), nullptr);
        EXPECT_FALSE(Peer().AcceptInput());
        EXPECT_EQ(isp->StatusPanelText(1), "No Device");
        EXPECT_EQ(dev->OutputCount(), 1u);
    }
}

TEST_F(WindowTest, LogLinesFromTheWorkerKeepTheirOrderAndTheTraceCallsNeverOverlap) {
    isp->HidData1Click();
    // A plain vector: the window runs the trace one call at a time, whatever the thread.
    std::vector<QString> traced;
    isp->SetReportTrace([&traced](const QString& line) { traced.push_back(line); });
    const auto bytes = [](int i) {
        return std::array<uint8_t, 2>{static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    };
    constexpr int kWorkerLines = 300;
    constexpr int kUiLines = 100;
    std::thread worker([&] {
        for (int i = 0; i < kWorkerLines; ++i)
            isp->Reports().LogReport('W', 0, bytes(i).data(), 2);
    });
    for (int i = 0; i < kUiLines; ++i)
        isp->Reports().LogReport('R', 0, bytes(i).data(), 2);
    worker.join();
    // Logged after every worker line, before the UI thread has seen any wake-up.
    isp->Reports().LogReport('R', 1, nullptr, 0);

    constexpr int kTotal = kWorkerLines + kUiLines + 1;
    ASSERT_TRUE(WaitUntil([&] { return LogLines().size() >= kTotal; }));
    Spin(20);
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), kTotal);
    EXPECT_EQ(lines.back().toStdString(), "R 01  ");
    int w = 0;
    int r = 0;
    for (const QString& line : lines.mid(0, kTotal - 1)) {
        if (line.startsWith('W')) {
            EXPECT_EQ(line.toStdString(),
                      ReportLog::FormatReportLine('W', 0, bytes(w).data(), 2).toStdString());
            ++w;
        } else {
            EXPECT_EQ(line.toStdString(),
                      ReportLog::FormatReportLine('R', 0, bytes(r).data(), 2).toStdString());
            ++r;
        }
    }
    EXPECT_EQ(w, kWorkerLines);
    EXPECT_EQ(r, kUiLines);
    ASSERT_EQ(traced.size(), static_cast<std::size_t>(kTotal));
    EXPECT_EQ(traced.back().toStdString(), "R 01  ");

    // A hidden log window takes nothing, queued or not.
    hidData->hide();
    std::thread([&] { isp->Reports().LogReport('W', 2, nullptr, 0); }).join();
    isp->Reports().LogReport('R', 2, nullptr, 0);
    Spin(20);
    EXPECT_EQ(LogLines().size(), kTotal);
    isp->SetReportTrace(nullptr);
}

TEST_F(WindowTest, AnswersAndLinkEventsReachTheirHandlers) {
    // A link event changes nothing.
    Peer().Step() = 2;
    isp->Session().UsbMessage(WM_USB_EVENT, USB_EVT_TIMEOUT, 1);
    isp->Session().UsbMessage(WM_USB_ANSWER, 0, 0);
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_EQ(Peer().Step(), 2);

    // An answer goes to the answer handler: a wrong sum at the connect step is an error.
    BSTM answer(64, 0);
    answer[0] = 0x55;
    Peer().PacketSum() = 0x1234;
    Peer().McuAnswerDue() = true;
    isp->Session().UsbMessage(WM_USB_ANSWER, reinterpret_cast<uintptr_t>(&answer), 12);
    EXPECT_EQ(dialogs.Count(DialogSeam::Kind::Error, "ISP Start Error !!"), 1u);
}

TEST_F(WindowTest, RepeatsOfEarlierAnswersArePassedOverAndEveryOtherReportIsJudged) {
    auto dev = PlugHeld(BareDevice::kUpdateProduct);
    ASSERT_TRUE(Peer().OpenLink());
    // The link delivers answers once it has written something.
    const std::array<uint8_t, 70> packet{};
    isp->SubmitCommand(CM_MCS_PROGRAM_DATA(packet.data(), 70), true, false);
    ASSERT_TRUE(WaitUntil([&] { return dev->OutputCount() == 1; }));
    const auto report = [](uint32_t value) {
        std::vector<uint8_t> r(64, 0);
        for (int i = 0; i < 4; ++i)
            r[static_cast<std::size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
        return r;
    };
    const auto awaiting = [&](int packetSum) {
        Peer().Step() = 4;
        Peer().PacketSum() = packetSum;
        Peer().McuAnswerDue() = true;
        Peer().AcceptInput() = true;
    };
    Peer().PreviousPacketSum() = 900;   // the packet before the last
    Peer().LastMcuAnswerValue() = 901;  // the last answer judged (a wrong one: its step failed)

    // Repeats of either say nothing about the last packet: passed over, input still taken.
    awaiting(1000);
    for (uint32_t stale : {900u, 901u}) {
        isp->HidCtlDeviceData(nullptr, 0, report(stale).data(), 64);
        EXPECT_TRUE(Peer().AcceptInput()) << stale;
    }
    Spin(100);
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_EQ(Peer().Step(), 4);
    EXPECT_TRUE(Peer().McuAnswerDue());

    // Any other value is the answer, and a wrong one.
    isp->HidCtlDeviceData(nullptr, 0, report(777).data(), 64);
    EXPECT_FALSE(Peer().AcceptInput());
    ASSERT_TRUE(WaitUntil([&] { return dialogs.Count() == 1; }));
    EXPECT_EQ(dialogs.Count(DialogSeam::Kind::Error, "Erase All Error !!"), 1u);
    EXPECT_EQ(Peer().LastMcuAnswerValue(), 777);

    // A packet whose sum is the one before's: its answer cannot be told from a repeat, and
    // is taken as the answer (here a good one: the next packet goes out).
    Peer().PreviousPacketSum() = 1000;
    awaiting(1000);
    isp->HidCtlDeviceData(nullptr, 0, report(1000).data(), 64);
    ASSERT_TRUE(WaitUntil([&] { return Peer().Step() == 5; }));
    ASSERT_TRUE(WaitUntil([&] { return dev->OutputCount() == 2; }));
    EXPECT_EQ(dialogs.Count(), 1u);
}

TEST_F(WindowTest, ReadErrorIsShownWithTheSystemText) {
    isp->HidCtlDeviceDataError(nullptr, ERROR_GEN_FAILURE);
    const auto entries = dialogs.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].kind, DialogSeam::Kind::Information);
    EXPECT_EQ(entries[0].text,
              "READ ERROR: " + QString::fromStdString(SysErrorMessage(ERROR_GEN_FAILURE)));
    EXPECT_GT(entries[0].text.size(), QStringLiteral("READ ERROR: ").size());
}

TEST_F(WindowTest, DeviceLeavingIsNoReadError) {
    // The reader's report of a removed device: the unplug path shows the removal instead.
    isp->HidCtlDeviceDataError(nullptr, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(dialogs.Count(), 0u);

    // Devices leaving with their reads pending, also in the middle of a link.
    for (int round = 0; round < 5; ++round) {
        auto dev = PlugHeld(round % 2 == 0 ? BareDevice::kRunProduct : BareDevice::kUpdateProduct);
        if (round >= 3) {
            ASSERT_TRUE(Peer().OpenLink());
            Peer().AcceptInput() = true;
            isp->SubmitCommand(CM_MCS_CMD(1, 0xA8, 0), true, true);
            ASSERT_TRUE(WaitUntil([&] { return dev->OutputCount() >= 1; }));
        }
        dev->Unplug();
        ASSERT_TRUE(WaitForPanel("No Device"));
        Spin(20);
    }
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(WindowTest, StatusChangesAreSignalledOnce) {
    struct {
        int n = 0;
        int count() const { return n; }
    } spy;
    QObject::connect(isp.get(), &TfmIsp::StatusChanged, isp.get(), [&spy] { ++spy.n; });
    isp->SetPanelText(1, "Detect Run HID");
    isp->SetPanelText(1, "Detect Run HID");
    EXPECT_EQ(spy.count(), 1);
    isp->SetSimpleText("Connect");
    EXPECT_EQ(isp->StatusSimpleText(), "Connect");
    EXPECT_EQ(spy.count(), 2);
    isp->SetProgressMax(768);
    isp->SetProgress(768);
    EXPECT_EQ(spy.count(), 4);
    EXPECT_EQ(isp->ProgressPosition(), 768);
    EXPECT_EQ(isp->ProgressMaximum(), 768);
    // Positions beyond the range are held at its ends.
    isp->SetProgressMax(10);
    isp->SetProgress(50);
    EXPECT_EQ(isp->ProgressPosition(), 10);
    isp->SetProgress(-3);
    EXPECT_EQ(isp->ProgressPosition(), 0);
    isp->SetStatusRed(true);
    EXPECT_TRUE(isp->StatusIsRed());
}

TEST_F(WindowTest, StartButtonDisablesItselfAndStartsTheUpdate) {
    auto dev = PlugHeld(BareDevice::kUpdateProduct);
    ASSERT_TRUE(isp->btnStartProgram->isEnabled());
    isp->btnStartProgram->click();
    EXPECT_FALSE(isp->btnStartProgram->isEnabled());
    EXPECT_TRUE(Peer().McuUpdatePending());
    EXPECT_TRUE(isp->StatusIsRed());
    EXPECT_FALSE(isp->bnMcuProgram->isEnabled());
}

TEST_F(WindowTest, WindowsHaveTheirOuterSizesAndStayOnScreen) {
    // The main window cannot be resized: its controls sit at fixed places.
    EXPECT_EQ(isp->minimumSize(), QSize(415, 133));
    EXPECT_EQ(isp->maximumSize(), QSize(415, 133));

    // The diagnostic windows' sizes are outer sizes, with the frame this platform draws.
    const QRect available = isp->screen()->availableGeometry();
    isp->HidData1Click();
    const QRect main = isp->frameGeometry();
    const QRect log = hidData->frameGeometry();
    EXPECT_EQ(log.size(), QSize(654, 545));
    EXPECT_TRUE(available.contains(log)) << available.width() << "x" << available.height();
    // Beside the main window, top aligned, as far as the screen allows.
    EXPECT_EQ(log.left(), std::min(main.right() + 1 + 10, available.right() + 1 - 654));
    EXPECT_EQ(log.top(), std::min(main.top(), available.bottom() + 1 - 545));
    isp->Memory1Click();
    EXPECT_EQ(progData->frameGeometry().size(), QSize(654, 545));
    EXPECT_TRUE(available.contains(progData->frameGeometry()));

    // On a 1366 x 768 desktop with a 27-pixel panel at the top, the log beside the centred main
    // window would hang 196 pixels off the right edge and 48 off the bottom.
    const QRect desk(0, 27, 1366, 741);
    const QRect centred(467, 298, 431, 172);
    EXPECT_EQ(
        KeepOnScreen(QRect(QPoint(centred.right() + 1 + 10, centred.top()), QSize(654, 545)), desk),
        QPoint(1366 - 654, 768 - 545));
    EXPECT_EQ(KeepOnScreen(QRect(100, 100, 654, 545), desk), QPoint(100, 100));
    EXPECT_EQ(KeepOnScreen(QRect(-50, 0, 654, 545), desk), QPoint(0, 27));
    // Larger than the desktop: the title bar stays reachable.
    EXPECT_EQ(KeepOnScreen(QRect(300, 300, 2000, 1000), desk), QPoint(0, 27));
}

TEST_F(WindowTest, MemoryWindowWithoutASeamIsModal) {
    TfmIsp plain;  // real dialogs
    TfmProgData prog(&plain);
    plain.SetDiagnosticWindows(nullptr, &prog);
    plain.show();
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        wasModal = modal == &prog;
        if (modal != nullptr) modal->close();
    });
    plain.Memory1Click();  // returns once closed
    EXPECT_TRUE(wasModal);
    EXPECT_FALSE(prog.isVisible());
}

TEST_F(WindowTest, ScreenshotWithADeviceInRunMode) {
    // The simulated device itself, as the program sees it.
    auto device = simdev::MakeDeviceOnBus();
    ASSERT_TRUE(device->PlugIn(simdev::Mode::Run));
    ASSERT_TRUE(WaitForPanel("Detect Run HID"));
    Spin(50);
    const QPixmap shot = isp->grab();
    EXPECT_EQ(shot.size(), QSize(415, 133) * shot.devicePixelRatio());
    ASSERT_TRUE(QDir().mkpath(VELTO_ARTIFACT_DIR));
    EXPECT_TRUE(shot.save(QStringLiteral(VELTO_ARTIFACT_DIR "/main-window.png")));
    device->Unplug();
    ASSERT_TRUE(WaitForPanel("No Device"));
}

}  // namespace
