// One progress line per unit on a terminal, redrawn in place below the lines already printed.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

class UnitBoard {
  public:
    explicit UnitBoard(std::FILE* out) : out_(out) {}

    // Adds a unit's line; returns its row.
    int AddRow(const QString& text);
    void SetRow(int row, const QString& text);
    // A line of its own above the board.
    void Print(const QString& text);
    // Leaves the board's last state on screen.
    void Finish();

  private:
    void Erase();
    void Draw();

    std::FILE* out_;
    QStringList rows_;
    int drawnRows_ = 0;
};
