// The unattended run's progress text in its three styles, fed a run's worth of statuses.
#include <gtest/gtest.h>

#include <QStringList>

#include <cstdio>
#include <cstdlib>

#include "app/progress_report.h"

namespace {

// Captures what a report writes.
class Capture {
  public:
    Capture() : file_(open_memstream(&buffer_, &size_)) {}
    ~Capture() {
        if (file_ != nullptr) std::fclose(file_);
        std::free(buffer_);
    }
    std::FILE* File() { return file_; }
    QString Text() {
        std::fflush(file_);
        return QString::fromLocal8Bit(buffer_, static_cast<qsizetype>(size_));
    }

  private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

// A short run: detection, an MCU phase of 40 packets, a DSP phase of 769 blocks, with the
// window's habit of setting the text before the progress.
void FeedRun(ProgressReport& report) {
    qint64 t = 0;
    report.Status({"No Device", "", 0, 100}, t);
    report.Status({"Detect Update HID", "", 0, 100}, t += 10);
    report.Status({"Detect Update HID", "Connect", 0, 100}, t += 10);
    report.Status({"Detect Update HID", "Device ID : 4C560821, 00000000, 00000003", 0, 41},
                  t += 10);
    for (int p = 0; p <= 40; ++p) {
        const QString step = QStringLiteral("Mcu Programing %1").arg(p);
        report.Status({"Detect Update HID", step, p > 0 ? p - 1 : 0, 41}, t += 10);
        report.Status({"Detect Update HID", step, p, 41}, t);
    }
    report.Line(QStringLiteral("dialog (information): \" Program OK !! \""), t += 10);
    for (int b = 0; b <= 768; ++b)
        report.Status({"Detect Run HID", QStringLiteral("Dsp Progrmming %1").arg(b), b, 768},
                      t += 1);
    report.Finish();
}

QStringList LinesOf(const QString& text) {
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int Count(const QStringList& lines, const QString& part) {
    int n = 0;
    for (const QString& l : lines)
        n += l.contains(part) ? 1 : 0;
    return n;
}

TEST(ProgressReport, PhaseSplitsOffOnlyAStepCounter) {
    int n = 0;
    EXPECT_EQ(ProgressReport::Phase("Mcu Programing 12", &n), "Mcu Programing");
    EXPECT_EQ(n, 12);
    EXPECT_EQ(ProgressReport::Phase("Dsp Progrmming 0", &n), "Dsp Progrmming");
    EXPECT_EQ(n, 0);
    for (const char* whole : {"Connect", "Device ID : 4C560821, 00000000, 00000003", "", "12",
                              "Mcu Programing -1", "Mcu Programing x"}) {
        EXPECT_EQ(ProgressReport::Phase(whole, &n), whole);
        EXPECT_EQ(n, -1) << whole;
    }
}

TEST(ProgressReport, PipeGetsPhaseChangesAndEveryTenPercentOnce) {
    Capture out;
    ProgressReport report(out.File(), ProgressStyle::Lines);
    FeedRun(report);
    const QString text = out.Text();
    EXPECT_FALSE(text.contains('\r'));
    EXPECT_FALSE(text.contains("\x1b"));
    const QStringList lines = LinesOf(text);
    // Each counted phase: its first step, then the first step at or past each 10 %.
    QStringList expected = {"No Device", "Detect Update HID", "Detect Update HID | Connect",
                            "Detect Update HID | Device ID : 4C560821, 00000000, 00000003"};
    for (int p : {0, 5, 9, 13, 17, 21, 25, 29, 33, 37}) {
        expected << QStringLiteral("Detect Update HID | Mcu Programing %1 | packet %1/41 | %2 %")
                        .arg(p)
                        .arg(p * 100 / 41);
    }
    expected << "dialog (information): \" Program OK !! \"";
    for (int b : {0, 77, 154, 231, 308, 384, 461, 538, 615, 692, 768}) {
        expected << QStringLiteral("Detect Run HID | Dsp Progrmming %1 | block %1/768 | %2 %")
                        .arg(b)
                        .arg(b * 100 / 768);
    }
    ASSERT_EQ(lines.size(), expected.size()) << text.toStdString();
    for (int i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].mid(11), expected[i]) << i;
        EXPECT_TRUE(lines[i].startsWith('[')) << lines[i].toStdString();
    }
}

TEST(ProgressReport, VerbosePrintsEveryStep) {
    Capture out;
    ProgressReport report(out.File(), ProgressStyle::Verbose);
    FeedRun(report);
    const QStringList lines = LinesOf(out.Text());
    EXPECT_EQ(Count(lines, "Mcu Programing "), 41 * 2 - 1);  // packet 0 sets its progress once
    EXPECT_EQ(Count(lines, "Dsp Progrmming "), 769);
}

TEST(ProgressReport, TerminalRedrawsOneLineAndKeepsTheDialog) {
    Capture out;
    ProgressReport report(out.File(), ProgressStyle::Terminal);
    FeedRun(report);
    const QString text = out.Text();
    // Only the dialog ends a line; everything else is redrawn in place and cleared at the end.
    const QStringList lines = LinesOf(text);
    ASSERT_EQ(lines.size(), 2) << text.toStdString();
    EXPECT_TRUE(lines[0].endsWith("dialog (information): \" Program OK !! \""));
    EXPECT_TRUE(text.endsWith("\r\x1b[K"));
    const QStringList draws = text.split('\r', Qt::SkipEmptyParts);
    QString longest;
    for (const QString& d : draws)
        if (d.size() > longest.size()) longest = d;
    EXPECT_LE(longest.size(), 79 + 3);  // the erase-to-end sequence after the text
    EXPECT_TRUE(text.contains("Detect Update HID | Mcu Programing | packet 40/41 | 97 %"));
    EXPECT_TRUE(text.contains("Detect Run HID | Dsp Progrmming | block 768/768 | 100 %"));
}

}  // namespace
