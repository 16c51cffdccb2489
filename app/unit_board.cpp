#include "app/unit_board.h"

namespace {

constexpr int kColumns = 79;  // a line longer than the terminal would wrap and break the redraw

}  // namespace

int UnitBoard::AddRow(const QString& text) {
    rows_ << text.left(kColumns);
    Erase();
    Draw();
    return static_cast<int>(rows_.size()) - 1;
}

void UnitBoard::SetRow(int row, const QString& text) {
    if (row < 0 || row >= rows_.size() || rows_[row] == text.left(kColumns)) return;
    rows_[row] = text.left(kColumns);
    Erase();
    Draw();
}

void UnitBoard::Print(const QString& text) {
    Erase();
    std::fputs((text + QLatin1Char('\n')).toLocal8Bit().constData(), out_);
    Draw();
}

void UnitBoard::Finish() {
    drawnRows_ = 0;
    std::fflush(out_);
}

void UnitBoard::Erase() {
    // Up to the board's first line, and everything below it cleared.
    if (drawnRows_ > 0) std::fprintf(out_, "\x1b[%dA\r\x1b[J", drawnRows_);
    drawnRows_ = 0;
}

void UnitBoard::Draw() {
    for (const QString& row : rows_)
        std::fputs((row + QStringLiteral("\x1b[K\n")).toLocal8Bit().constData(), out_);
    drawnRows_ = static_cast<int>(rows_.size());
    std::fflush(out_);
}
