// The HID traffic log: one line per report written to or passed on from the device, kept only
// while the window is visible. Lines are taken in batches and the list is bounded (the oldest
// lines go first, and the window says how many went), so that a device talking a thousand
// reports a second never makes the user-interface thread late.
#pragma once

#include <QAbstractListModel>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <deque>

class DialogSeam;
class QLabel;
class QListView;
class QPushButton;
class QTimer;

// The lines of the log: at most Capacity(), the oldest dropped first.
class HidLogModel : public QAbstractListModel {
    Q_OBJECT

  public:
    explicit HidLogModel(int capacity, int itemHeight, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Appends the lines as one insertion, after dropping as many of the oldest as they need.
    void Append(const QStringList& lines);
    int Capacity() const { return capacity_; }
    // Lines dropped to stay within the capacity, since the log was made.
    int64_t Dropped() const { return dropped_; }
    const std::deque<QString>& Lines() const { return lines_; }

  private:
    int capacity_;
    int itemHeight_;
    std::deque<QString> lines_;
    int64_t dropped_ = 0;
};

class TfmHidData : public QWidget {
    Q_OBJECT

  public:
    // Outer size, frame included.
    static constexpr int kWidth = 654;
    static constexpr int kHeight = 545;
    static constexpr int kItemHeight = 13;
    // About twenty seconds of a device answering every millisecond; a whole update fits.
    static constexpr int kCapacity = 20000;
    // Lines wait at most this long before they are shown, all of them at once.
    static constexpr int kBatchMs = 50;

    // mainWindow: the window this one is centred on; not the parent, so this stays a window of
    // its own.
    explicit TfmHidData(QWidget* mainWindow = nullptr, int capacity = kCapacity);

    // Puts the window's frame at frameTopLeft, or as near as it may while staying on the screen.
    // The first time, its client size is set so that the frame measures kWidth x kHeight.
    void PlaceAt(const QPoint& frameTopLeft);

    // Adds a line at the end and selects it; nothing while the window is hidden. UI thread.
    // Where the file-name question of "Save..." and its error go (not owned); null: real
    // dialogs.
    void SetDialogs(DialogSeam* dialogs) { dialogs_ = dialogs; }

    // Queues a line for the end of the list, where it becomes the selected line with the next
    // batch; nothing while the window is hidden. UI thread.
    void AddLine(const QString& line);
    // Shows the queued lines now.
    void Flush();

    // What the list shows (queued lines not included).
    int LineCount() const;
    QString Line(int row) const;
    int CurrentRow() const;
    int64_t DroppedCount() const;
    QString DroppedNote() const;

    // Writes the lines shown, one per line, to path. False with the reason in error.
    bool SaveTo(const QString& path, QString* error = nullptr);
    // "Save...": asks for a file and writes the lines shown to it.
    void SaveClick();

    QListView* hbHidData = nullptr;
    QPushButton* btnSave = nullptr;
    QLabel* lbDropped = nullptr;

  private:
    void UpdateDroppedNote();

    QPointer<QWidget> mainWindow_;
    bool sized_ = false;  // by PlaceAt, with the main window's real frame
    DialogSeam* dialogs_ = nullptr;
    HidLogModel* model_ = nullptr;
    QTimer* batch_ = nullptr;
    QStringList pending_;
};
