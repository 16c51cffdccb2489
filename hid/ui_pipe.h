// Wakes the user-interface thread from any thread: a byte written to a pipe that a socket
// notifier on the user-interface thread watches. Everything the woken side reads is guarded
// by the caller's own mutex; the pipe only carries the wake-up.
#pragma once

#include <functional>

class QSocketNotifier;

class UiPipe {
  public:
    // Made on the thread that is to run OnWake.
    explicit UiPipe(std::function<void()> OnWake);
    ~UiPipe();
    UiPipe(const UiPipe&) = delete;
    UiPipe& operator=(const UiPipe&) = delete;

    // Any thread. Several wake-ups before the receiver runs may fold into one.
    void Wake();

  private:
    void Activated();

    int Fds[2] = {-1, -1};
    QSocketNotifier* Notifier = nullptr;
    std::function<void()> OnWake_;
    bool Dispatching = false;
    bool* DestroyedFlag = nullptr;
};
