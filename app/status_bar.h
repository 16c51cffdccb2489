// The main window's status bar: two fixed-width panels along the bottom, a simple text that is
// kept but not drawn while the panels are shown, and a background colour that turns red while
// an update runs.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <array>

class QLabel;

class TStatusBar : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kPanelCount = 2;
    static constexpr std::array<int, kPanelCount> kPanelWidths{180, 50};
    static constexpr int kHeight = 19;

    explicit TStatusBar(QWidget* parent = nullptr);

    // Out-of-range panel indexes are ignored (set) or read as empty (get).
    void SetPanelText(int panel, const QString& text);
    QString PanelText(int panel) const;
    // The panel's set width; the last panel is drawn out to the bar's right edge.
    int PanelWidth(int panel) const;

    void SetSimpleText(const QString& text);
    QString SimpleText() const { return simpleText_; }

    // Red while an update runs; otherwise the button face colour of the palette.
    void SetRed(bool red);
    bool IsRed() const { return red_; }
    QColor Color() const;

  private:
    void ApplyColor();

    std::array<QLabel*, kPanelCount> panels_{};
    QString simpleText_;
    bool red_ = false;
};
