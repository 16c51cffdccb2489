// The HID traffic log: one line per report written to or passed on from the device, kept only
// while the window is visible.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

class QListWidget;

class TfmHidData : public QWidget {
    Q_OBJECT

  public:
    // Outer size, frame included.
    static constexpr int kWidth = 654;
    static constexpr int kHeight = 545;
    static constexpr int kItemHeight = 13;

    // mainWindow: the window this one is centred on; not the parent, so this stays a window of
    // its own.
    explicit TfmHidData(QWidget* mainWindow = nullptr);

    // Puts the window's frame at frameTopLeft, or as near as it may while staying on the screen.
    // The first time, its client size is set so that the frame measures kWidth x kHeight.
    void PlaceAt(const QPoint& frameTopLeft);

    // Adds a line at the end and selects it; nothing while the window is hidden. UI thread.
    void AddLine(const QString& line);
    QListWidget* hbHidData = nullptr;

  private:
    QPointer<QWidget> mainWindow_;
    bool sized_ = false;  // by PlaceAt, with the main window's real frame
};
