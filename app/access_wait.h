// udev hands a new device node over a moment after it appears: until then the node cannot be
// opened, and that is no fault. The window says it is waiting, and gives the advice to install
// the udev rule only once the access has not come for kWaitMs.
#pragma once

#include <QElapsedTimer>
#include <QObject>

class QTimer;

class AccessWait : public QObject {
    Q_OBJECT

  public:
    static constexpr int kWaitMs = 10000;

    explicit AccessWait(QObject* parent = nullptr);

    // A device without access was seen; the wait starts with the first sighting.
    void Seen();
    // No device is waiting for access any more.
    void Clear();
    bool Over() const { return over_; }

  signals:
    // The wait ran out: what the window says has to change.
    void RanOut();

  private:
    QTimer* timer_ = nullptr;
    bool waiting_ = false;
    bool over_ = false;
};
