#include "hid/ui_pipe.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

UiPipe::UiPipe(std::function<void()> OnWake) : OnWake_(std::move(OnWake)) {
    if (pipe2(Fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        Fds[0] = Fds[1] = -1;
        return;
    }
    Notifier = new QSocketNotifier(Fds[0], QSocketNotifier::Read);
    QObject::connect(Notifier, &QSocketNotifier::activated, Notifier, [this] { Activated(); });
}

UiPipe::~UiPipe() {
    if (DestroyedFlag != nullptr) *DestroyedFlag = true;
    if (Notifier != nullptr) {
        Notifier->setEnabled(false);
        QObject::disconnect(Notifier, nullptr, nullptr, nullptr);
        // Deleting the notifier from inside its own signal would pull it from under Qt.
        if (Dispatching)
            Notifier->deleteLater();
        else
            delete Notifier;
    }
    if (Fds[0] >= 0) close(Fds[0]);
    if (Fds[1] >= 0) close(Fds[1]);
}

void UiPipe::Wake() {
    if (Fds[1] < 0) return;
    const char Byte = 1;
    // A full pipe already holds a wake-up; nothing is lost by dropping this one.
    [[maybe_unused]] ssize_t Ignored = write(Fds[1], &Byte, 1);
}

void UiPipe::Activated() {
    char Buf[64];
    while (read(Fds[0], Buf, sizeof Buf) > 0) {
    }
    bool Destroyed = false;
    bool* OuterFlag = DestroyedFlag;
    const bool WasDispatching = Dispatching;
    DestroyedFlag = &Destroyed;
    Dispatching = true;
    // Copy: the receiver may destroy this object.
    std::function<void()> Call = OnWake_;
    Call();
    if (Destroyed) {
        if (OuterFlag != nullptr) *OuterFlag = true;
        return;
    }
    Dispatching = WasDispatching;
    DestroyedFlag = OuterFlag;
}
