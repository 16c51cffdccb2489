#include "hid/jvhidreadthread.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "hid/hid.h"
#include "hid/jvhiddevice.h"
#include "hid/ui_pipe.h"

namespace {

DWORD LastError() {
    return syslib::GetLastError != nullptr ? syslib::GetLastError() : 0;
}

void EmptyCompletion(DWORD, DWORD, OVERLAPPED*) {}

}  // namespace

TJvHidDeviceReadThread::TJvHidDeviceReadThread(TJvHidDevice* Dev) : Device(Dev) {
    if (Dev == nullptr)
        throw EControllerError("Direct creation of a TJvDeviceReadThread object is not allowed");
    Report.resize(Dev->Caps().InputReportByteLength);
    Pipe = std::make_unique<UiPipe>([this] { RunHandOver(); });
}

TJvHidDeviceReadThread::~TJvHidDeviceReadThread() {
    Terminate();
    WaitFor();
}

void TJvHidDeviceReadThread::Resume() {
    if (!Thread.joinable()) Thread = std::thread([this] { Execute(); });
}

void TJvHidDeviceReadThread::Terminate() {
    std::lock_guard<std::mutex> Guard(Lock);
    Terminated_ = true;
    // A hand-over the user-interface thread has not begun is dropped: the reader stops
    // waiting for it and the receiving side finds nothing to run.
    if (State == HandOverState::Pending) State = HandOverState::Idle;
    Changed.notify_all();
}

void TJvHidDeviceReadThread::WaitFor() {
    if (Thread.joinable()) Thread.join();
}

bool TJvHidDeviceReadThread::InHandOver() {
    std::lock_guard<std::mutex> Guard(Lock);
    return State == HandOverState::Running;
}

void TJvHidDeviceReadThread::FreeAfterHandOver() {
    std::lock_guard<std::mutex> Guard(Lock);
    FreeWhenDone = true;
}

void TJvHidDeviceReadThread::WaitTerminated(uint32_t Ms) {
    std::unique_lock<std::mutex> Guard(Lock);
    if (Ms == std::numeric_limits<uint32_t>::max())
        Changed.wait(Guard, [this] { return Terminated_.load(); });
    else
        Changed.wait_for(Guard, std::chrono::milliseconds(Ms),
                         [this] { return Terminated_.load(); });
}

void TJvHidDeviceReadThread::Synchronize(void (TJvHidDeviceReadThread::*Method)()) {
    {
        std::lock_guard<std::mutex> Guard(Lock);
        if (Terminated_) return;
        HandOver = Method;
        State = HandOverState::Pending;
    }
    Pipe->Wake();
    std::unique_lock<std::mutex> Guard(Lock);
    Changed.wait(Guard, [this] { return State == HandOverState::Idle; });
}

void TJvHidDeviceReadThread::RunHandOver() {
    void (TJvHidDeviceReadThread::*Method)() = nullptr;
    {
        std::lock_guard<std::mutex> Guard(Lock);
        if (State != HandOverState::Pending) return;
        State = HandOverState::Running;
        Method = HandOver;
    }
    (this->*Method)();
    bool FreeNow = false;
    {
        std::lock_guard<std::mutex> Guard(Lock);
        State = HandOverState::Idle;
        FreeNow = FreeWhenDone;
        Changed.notify_all();
    }
    if (FreeNow) {
        // Stopped from inside this hand-over: the reader ends as soon as it sees the hand-over
        // return, without touching its device again.
        WaitFor();
        delete this;
    }
}

void TJvHidDeviceReadThread::Execute() {
    bool Reported = false;
    while (!Terminated_) {
        std::fill(Report.begin(), Report.end(), 0);
        uint32_t Failure = ERROR_SUCCESS;
        if (!Device->ReadFileEx(Report.data(), static_cast<uint32_t>(Report.size()),
                                &EmptyCompletion)) {
            Failure = LastError();
            if (Failure == ERROR_SUCCESS) Failure = ERROR_INVALID_HANDLE;
        } else {
            bool Completed = false;
            while (!Terminated_) {
                if (syslib::SleepEx(static_cast<DWORD>(Device->ThreadSleepTime.load()), 1) ==
                    WAIT_IO_COMPLETION) {
                    Completed = true;
                    break;
                }
            }
            if (!Completed) {
                Device->CancelIO(omhRead);
                break;
            }
            uint32_t Bytes = 0;
            if (Device->CollectRead(Bytes, Failure)) {
                Reported = false;
                BytesRead = std::min<uint32_t>(Bytes, static_cast<uint32_t>(Report.size()));
                if (BytesRead > 0) Synchronize(&TJvHidDeviceReadThread::DoData);
                continue;
            }
        }
        // The read could not be started, or it ended in an error (a removed device ends
        // its pending read that way, and every later one at once).
        if (!Device->PluggedIn) Failure = ERROR_DEVICE_NOT_CONNECTED;
        ErrorCode = Failure;
        const bool Gone = Failure == ERROR_DEVICE_NOT_CONNECTED;
        // One report per run of failures. A device that is gone is not retried: its removal
        // arrives through the controller. Other failures are retried after a pause rather
        // than in a busy loop.
        if (!Reported) {
            Reported = true;
            Synchronize(&TJvHidDeviceReadThread::DoDataError);
            if (Terminated_) break;
        }
        if (Gone) {
            WaitTerminated(std::numeric_limits<uint32_t>::max());
            break;
        }
        WaitTerminated(static_cast<uint32_t>(Device->ThreadSleepTime.load()));
    }
}

void TJvHidDeviceReadThread::DoData() {
    THandler<TJvHidDataEvent> Handler = Device->OnData;
    if (Handler && BytesRead > 0)
        (*Handler)(Device, Report[0], Report.data() + 1, static_cast<uint16_t>(BytesRead - 1));
}

void TJvHidDeviceReadThread::DoDataError() {
    THandler<TJvHidDataErrorEvent> Handler = Device->OnDataError;
    if (Handler) (*Handler)(Device, ErrorCode);
}
