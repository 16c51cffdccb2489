// The reader thread of a checked-out device: reads input reports and hands each to the
// user-interface thread, waiting until the handler has returned.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hid/jvhidtypes.h"

class UiPipe;

// Reads input reports of one checked-out device. Made suspended (Resume starts it).
class TJvHidDeviceReadThread {
  public:
    explicit TJvHidDeviceReadThread(TJvHidDevice* Dev);
    ~TJvHidDeviceReadThread();
    TJvHidDeviceReadThread(const TJvHidDeviceReadThread&) = delete;
    TJvHidDeviceReadThread& operator=(const TJvHidDeviceReadThread&) = delete;

    void Resume();
    // Asks the thread to end and drops a hand-over that has not started yet.
    void Terminate();
    bool Terminated() const { return Terminated_.load(); }
    // Joins the thread. Not while a hand-over of this thread runs further up the stack.
    void WaitFor();
    // True while one of this thread's hand-overs runs on the user-interface thread.
    bool InHandOver();
    // For StopThread called from inside a hand-over: the object joins and deletes itself once
    // the hand-over has returned. The device must not be touched by the thread afterwards.
    void FreeAfterHandOver();

    TJvHidDevice* Device;
    uint32_t ErrorCode = 0;
    uint32_t BytesRead = 0;
    std::vector<uint8_t> Report;

  protected:
    void Execute();

  private:
    void DoData();
    void DoDataError();
    void Synchronize(void (TJvHidDeviceReadThread::*Method)());
    void RunHandOver();
    void WaitTerminated(uint32_t Ms);

    std::thread Thread;
    std::atomic<bool> Terminated_{false};
    std::mutex Lock;
    std::condition_variable Changed;
    enum class HandOverState { Idle, Pending, Running } State = HandOverState::Idle;
    void (TJvHidDeviceReadThread::*HandOver)() = nullptr;
    bool FreeWhenDone = false;
    std::unique_ptr<UiPipe> Pipe;
};
