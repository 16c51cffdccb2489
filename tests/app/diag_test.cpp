// The diagnostic windows, the dialog seam and the status bar, alone and through the main window.
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>

#include <string>
#include <thread>

#include "app/diag/dump.h"
#include "app/status_bar.h"
#include "app/window_placement.h"
#include "tests/app/window_fixture.h"

namespace {

using windowtest::App;
using windowtest::WaitUntil;

TEST(HidDataWindow, ShowsTheNewestLinesInBatchesSaysWhatWentAndSavesWhatItShows) {
    App();
    TfmHidData window(nullptr, 100);
    EXPECT_EQ(window.objectName(), "fmHidData");
    EXPECT_EQ(window.windowTitle(), "Hid Data");
    EXPECT_EQ(window.size() + kNominalFrameExtra, QSize(654, 545));  // the outer size
    ASSERT_NE(window.hbHidData, nullptr);
    EXPECT_EQ(window.hbHidData->objectName(), "hbHidData");
    EXPECT_TRUE(QFontInfo(window.hbHidData->font()).fixedPitch());

    window.AddLine("W 00  01 ");
    window.Flush();
    EXPECT_EQ(window.LineCount(), 0) << "a hidden log takes nothing";

    window.show();
    for (int i = 0; i < 250; ++i)
        window.AddLine(QStringLiteral("R 00  %1 ").arg(i, 2, 16, QLatin1Char('0')).toUpper());
    EXPECT_EQ(window.LineCount(), 0) << "lines wait for their batch";
    ASSERT_TRUE(WaitUntil([&] { return window.LineCount() > 0; }));
    ASSERT_EQ(window.LineCount(), 100);
    EXPECT_EQ(window.Line(0), "R 00  96 ");
    EXPECT_EQ(window.Line(99), "R 00  F9 ");
    EXPECT_EQ(window.CurrentRow(), 99);
    EXPECT_TRUE(window.hbHidData->selectionModel()->isRowSelected(99, QModelIndex()));
    EXPECT_EQ(window.hbHidData->visualRect(window.hbHidData->currentIndex()).height(), 13);
    EXPECT_EQ(window.DroppedCount(), 150);
    EXPECT_TRUE(window.lbDropped->isVisible());
    EXPECT_TRUE(window.DroppedNote().startsWith("150 older lines dropped"))
        << window.DroppedNote().toStdString();
    ASSERT_TRUE(QDir().mkpath(VELTO_ARTIFACT_DIR));
    EXPECT_TRUE(window.grab().save(QStringLiteral(VELTO_ARTIFACT_DIR "/hid-log.png")));

    // "Save..." writes what the list shows, through the dialog seam.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    RecordingDialogs dialogs;
    window.SetDialogs(&dialogs);
    dialogs.SetSaveFileName(dir.filePath("log.txt"));
    window.btnSave->click();
    QFile saved(dir.filePath("log.txt"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = saved.readAll().split('\n');
    ASSERT_EQ(lines.size(), 101);  // the last line ends too
    EXPECT_EQ(lines[0], "R 00  96 ");
    EXPECT_EQ(lines[99], "R 00  F9 ");
    EXPECT_EQ(dialogs.Count(), 0u);

    dialogs.SetSaveFileName(dir.filePath("no-such-folder/log.txt"));
    window.btnSave->click();
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_TRUE(dialogs.Entries()[0].text.startsWith("Cannot write "))
        << dialogs.Entries()[0].text.toStdString();
}

TEST(ProgDataWindow, StartsWithTheMemoLineAndShowsDumps) {
    App();
    TfmProgData window;
    EXPECT_EQ(window.objectName(), "fmProgData");
    EXPECT_EQ(window.windowTitle(), "Program Data");
    EXPECT_EQ(window.size() + kNominalFrameExtra, QSize(654, 545));  // the outer size
    QPlainTextEdit* memo = window.moShowCode;
    ASSERT_NE(memo, nullptr);
    EXPECT_EQ(memo->objectName(), "moShowCode");
    EXPECT_EQ(memo->toPlainText(), "Memo1");
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(memo->font().pixelSize(), 13);
    EXPECT_TRUE(QFontInfo(memo->font()).fixedPitch());

    // The example line: two bytes, fourteen paddings.
    const uint8_t two[] = {0x41, 0x00};
    window.ShowDump(two, 2, 0);
    const QString line = "00000000  41 00 " + QString(14 * 3, QLatin1Char(' ')) + "; A.\r\n";
    EXPECT_EQ(window.Text(), line);
    EXPECT_EQ(memo->document()->blockCount(), 2);  // the line and the empty one after it

    window.ShowDump(two, 0, 0);
    EXPECT_EQ(window.Text(), "");
    EXPECT_EQ(memo->toPlainText(), "");
    window.ShowDump(nullptr, 5, 0);
    EXPECT_EQ(window.Text(), "");
}

TEST(ProgDataWindow, DumpTextMatchesTheDumpAtLineBoundaries) {
    App();
    TfmProgData window;
    std::vector<uint8_t> bytes(40);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 0x0D);
    for (std::size_t count : {std::size_t{16}, std::size_t{17}, std::size_t{40}}) {
        window.ShowDump(bytes.data(), count, 0x100);
        const QString expected = QString::fromStdString(FormatDump(bytes.data(), count, 0x100));
        EXPECT_EQ(window.Text(), expected) << count;
        EXPECT_EQ(window.Text().count("\r\n"), static_cast<int>((count + 15) / 16)) << count;
    }
    window.ShowDump(bytes.data(), 17, 0);
    const QStringList lines = window.moShowCode->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith("00000000  0D 14 1B "));
    EXPECT_EQ(lines[1], "00000010  7D " + QString(15 * 3, QLatin1Char(' ')) + "; }");
}

TEST(ReportLine, IsUpperCaseHexWithTheReportId) {
    const uint8_t bytes[] = {0x10, 0x02, 0xab, 0x00, 0xFF};
    EXPECT_EQ(ReportLog::FormatReportLine('W', 0, bytes, 5), "W 00  10 02 AB 00 FF ");
    EXPECT_EQ(ReportLog::FormatReportLine('R', 0x3c, bytes, 1), "R 3C  10 ");
    EXPECT_EQ(ReportLog::FormatReportLine('R', 0, nullptr, 9), "R 00  ");
}

TEST(StatusBar, PanelsSimpleTextAndColour) {
    App();
    QWidget parent;
    TStatusBar bar(&parent);
    parent.resize(415, 40);
    bar.setGeometry(0, 0, 415, 19);
    EXPECT_EQ(bar.height(), 19);
    EXPECT_EQ(bar.PanelWidth(0), 180);
    EXPECT_EQ(bar.PanelWidth(1), 50);
    EXPECT_EQ(bar.PanelWidth(2), 0);
    parent.show();
    auto* first = bar.findChild<QLabel*>("panel0");
    auto* last = bar.findChild<QLabel*>("panel1");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(first->geometry(), QRect(0, 0, 180, 19));
    EXPECT_EQ(last->geometry(), QRect(180, 0, 415 - 180, 19));  // out to the right edge

    bar.SetPanelText(0, "Disconnect");
    bar.SetPanelText(1, "No Device");
    bar.SetPanelText(2, "ignored");
    bar.SetPanelText(-1, "ignored");
    EXPECT_EQ(bar.PanelText(0), "Disconnect");
    EXPECT_EQ(bar.PanelText(1), "No Device");
    EXPECT_EQ(bar.PanelText(2), "");

    bar.SetSimpleText("Sync Package");
    EXPECT_EQ(bar.SimpleText(), "Sync Package");
    EXPECT_EQ(bar.PanelText(0), "Disconnect");  // the panels stay as they are

    const QColor face = parent.palette().color(QPalette::Button);
    EXPECT_FALSE(bar.IsRed());
    EXPECT_EQ(bar.Color(), face);
    bar.SetRed(true);
    EXPECT_TRUE(bar.IsRed());
    EXPECT_EQ(bar.Color(), QColor(Qt::red));
    bar.SetRed(false);
    EXPECT_EQ(bar.Color(), face);
}

TEST(RecordingDialogs, RecordsAndCallsBack) {
    App();
    RecordingDialogs dialogs;
    int calls = 0;
    dialogs.SetOnShow([&](const RecordingDialogs::Entry& e) {
        ++calls;
        EXPECT_EQ(e.text, " Program OK !! ");
    });
    dialogs.Show(DialogSeam::Kind::Information, " Program OK !! ");
    EXPECT_EQ(calls, 1);
    dialogs.SetOnShow(nullptr);
    dialogs.Show(DialogSeam::Kind::Error, "Check sum error!");
    dialogs.Show(DialogSeam::Kind::Error, "Check sum error!");
    EXPECT_EQ(dialogs.Count(), 3u);
    EXPECT_EQ(dialogs.Count(DialogSeam::Kind::Error, "Check sum error!"), 2u);
    EXPECT_EQ(dialogs.Count(DialogSeam::Kind::Information, "Check sum error!"), 0u);
    TfmProgData window;
    dialogs.ShowModal(window);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(dialogs.ModalWindowsShown(), 1);
    dialogs.Clear();
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_EQ(dialogs.ModalWindowsShown(), 0);
}

class DiagThroughWindow : public windowtest::WindowFixture {};

TEST_F(DiagThroughWindow, LogShowsOnlyLinesWrittenWhileVisible) {
    const uint8_t a[] = {0x01, 0x0A};
    isp->Reports().LogReport('W', 0, a, 2);
    EXPECT_EQ(LogLines().size(), 0);

    isp->HidData1Click();
    isp->Reports().LogReport('W', 0, a, 2);
    isp->Reports().LogReport('R', 0, a, 1);
    EXPECT_EQ(LogLines(), QStringList({"W 00  01 0A ", "R 00  01 "}));

    hidData->hide();
    isp->Reports().LogReport('W', 0, a, 1);
    isp->HidData1Click();
    EXPECT_EQ(LogLines().size(), 2);

    // From another thread (the processor's worker) the line arrives through the event loop.
    std::thread worker([&] { isp->Reports().LogReport('W', 0, a, 2); });
    worker.join();
    ASSERT_TRUE(WaitUntil([&] { return LogLines().size() == 3; }));
    EXPECT_EQ(hidData->CurrentRow(), 2);

    // Every line also reaches the trace, shown or not.
    QStringList traced;
    isp->SetReportTrace([&](const QString& line) { traced << line; });
    hidData->hide();
    isp->Reports().LogReport('R', 0, a, 2);
    EXPECT_EQ(traced, QStringList({"R 00  01 0A "}));
    EXPECT_EQ(LogLines().size(), 3);
    isp->SetReportTrace(nullptr);
}

TEST_F(DiagThroughWindow, ProgramDumpShowsTheBuffer) {
    for (std::size_t i = 0; i < 20; ++i)
        Peer().ProgramBuffer()[i] = static_cast<uint8_t>(0x30 + i);
    isp->ShowProgramDump(20);
    EXPECT_EQ(progData->Text(),
              QString::fromStdString(FormatDump(Peer().ProgramBuffer().data(), 20, 0)));
    isp->ShowProgramDump(-4);
    EXPECT_EQ(progData->Text(), "");
    // A count beyond the buffer dumps the buffer, no more.
    isp->ShowProgramDump(1 << 20);
    EXPECT_EQ(progData->moShowCode->document()->blockCount(),
              static_cast<int>(Peer().ProgramBuffer().size() / 16) + 1);

    // The window is centred on the main window when shown.
    isp->Memory1Click();
    ASSERT_TRUE(progData->isVisible());
    const QPoint mainCentre = isp->frameGeometry().center();
    const QPoint centre = progData->frameGeometry().center();
    EXPECT_LE((mainCentre - centre).manhattanLength(), 1);
}

}  // namespace
