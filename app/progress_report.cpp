#include "app/progress_report.h"

#include "app/time_left.h"

namespace {

constexpr qint64 kTickMs = 250;
constexpr int kTerminalColumns = 79;  // a line longer than the terminal cannot be redrawn

QString Stamp(qint64 elapsedMs) {
    return QString::asprintf("[%8.3f] ", static_cast<double>(elapsedMs) / 1000.0);
}

int Percent(const RunStatus& s) {
    if (s.maximum <= 0) return 0;
    return static_cast<int>(static_cast<qint64>(s.position) * 100 / s.maximum);
}

}  // namespace

QString ProgressReport::Phase(const QString& step, int* number) {
    *number = -1;
    // A counted step is words and a decimal number: "Dsp Progrmming 5". "Device ID : 00000001,
    // ..." ends in digits too, but not after a word.
    const qsizetype blank = step.lastIndexOf(QLatin1Char(' '));
    if (blank <= 0 || !step.at(blank - 1).isLetter()) return step;
    const QString tail = step.mid(blank + 1);
    bool ok = false;
    const int n = tail.toInt(&ok, 10);
    if (!ok || n < 0 || tail.startsWith(QLatin1Char('+'))) return step;
    *number = n;
    return step.left(blank);
}

QString ProgressReport::Describe(const RunStatus& s, bool terminal) const {
    int number = -1;
    const QString phase = Phase(s.step, &number);
    QString text = s.device;
    if (!s.step.isEmpty()) text += QStringLiteral(" | ") + (terminal ? phase : s.step);
    if (number >= 0) {
        const QString unit = phase.startsWith(QStringLiteral("Mcu"))   ? QStringLiteral("packet")
                             : phase.startsWith(QStringLiteral("Dsp")) ? QStringLiteral("block")
                                                                       : QStringLiteral("step");
        text += QStringLiteral(" | %1 %2/%3 | %4 %")
                    .arg(unit)
                    .arg(s.position)
                    .arg(s.maximum)
                    .arg(Percent(s));
    }
    return text;
}

void ProgressReport::Status(const RunStatus& status, qint64 elapsedMs) {
    if (haveLast_ && status == last_) return;
    haveLast_ = true;
    last_ = status;
    int number = -1;
    const QString phase = status.device + QLatin1Char('|') + Phase(status.step, &number);
    const int decile = number >= 0 ? Percent(status) / 10 : -1;
    const bool newPhase = phase != lastPhase_;
    const bool newDecile = decile > lastDecile_;
    if (newPhase) lastDecile_ = -1;
    if (newPhase || newDecile) {
        lastPhase_ = phase;
        lastDecile_ = decile;
    }
    switch (style_) {
        case ProgressStyle::Terminal:
            Draw(elapsedMs);
            break;
        case ProgressStyle::Lines:
            if (newPhase || newDecile) Write(Stamp(elapsedMs) + Describe(status, false));
            break;
        case ProgressStyle::Verbose:
            Write(Stamp(elapsedMs) + Describe(status, false));
            break;
    }
}

void ProgressReport::Tick(qint64 elapsedMs) {
    if (style_ != ProgressStyle::Terminal || !haveLast_) return;
    if (elapsedMs - drawnAtMs_ >= kTickMs) Draw(elapsedMs);
}

void ProgressReport::Line(const QString& text, qint64 elapsedMs) {
    if (out_ == nullptr) return;
    if (lineShown_) std::fputs("\r\x1b[K", out_);
    lineShown_ = false;
    Write(Stamp(elapsedMs) + text);
    if (style_ == ProgressStyle::Terminal && haveLast_) Draw(elapsedMs);
}

void ProgressReport::Finish() {
    if (out_ == nullptr) return;
    if (lineShown_) std::fputs("\r\x1b[K", out_);
    lineShown_ = false;
    std::fflush(out_);
}

void ProgressReport::Draw(qint64 elapsedMs) {
    if (out_ == nullptr) return;
    QString text = QString::asprintf("%7.1f s  ", static_cast<double>(elapsedMs) / 1000.0);
    // Before the phase, so that a narrow terminal cuts off the phase's details instead.
    if (last_.msLeft >= 0) text += TimeLeft::Format(last_.msLeft) + QStringLiteral("  ");
    text += Describe(last_, true);
    if (text.size() > kTerminalColumns) text.truncate(kTerminalColumns);
    std::fputs(("\r" + text + "\x1b[K").toLocal8Bit().constData(), out_);
    std::fflush(out_);
    lineShown_ = true;
    drawnAtMs_ = elapsedMs;
}

void ProgressReport::Write(const QString& text) {
    if (out_ == nullptr) return;
    std::fputs((prefix_ + text + QLatin1Char('\n')).toLocal8Bit().constData(), out_);
    std::fflush(out_);
}
