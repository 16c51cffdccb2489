// The link to the device: a worker thread that writes one frame at a time through the owner's
// report writer and parses the bytes handed in by Receive (LUsb), and the processor on top of
// it (LUsbProc) with its send queue, answer assembler, round-trip time and idle poll.
//
// Threads: Open, Close, the destructor and the poll timer run on the owner's thread. PostFrame,
// Receive, SetWaitTime and SetPollSuppressed may be called from any thread. The worker runs the
// report writer, OnRxByte, the answer delivery and the queue advance.
#pragma once

#include <QtGlobal>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "protocol/event_set.h"
#include "protocol/lcmd.h"

QT_BEGIN_NAMESPACE
class QObject;
class QTimer;
QT_END_NAMESPACE

// Implemented by the window that owns a processor.
class LUsbOwner {
  public:
    virtual ~LUsbOwner() = default;
    // The QObject whose thread is the owner's thread: tmPoll lives there, and every message
    // is delivered there.
    virtual QObject* UsbOwnerObject() = 0;
    // A message on the owner's thread. WM_USB_EVENT (and WM_USB_RXBYTE of a plain LUsb) are
    // posted: delivered later from the event loop. WM_USB_ANSWER is sent: the worker waits
    // until this returns. wParam of WM_USB_ANSWER points to the answer (const BSTM*), valid
    // only during the call; lParam is the round-trip time in ms.
    virtual void UsbMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) = 0;
    // The report writer: worker thread, link lock held.
    virtual void WriteReport(const uint8_t* data, uint32_t len) = 0;
};
constexpr uint32_t WM_USB_RXBYTE = 0x054F, WM_USB_ANSWER = 0x0550, WM_USB_EVENT = 0x0551;
constexpr uint32_t USB_EVT_TIMEOUT = 0, USB_EVT_STOP_TIMEOUT = 5, USB_EVT_THREAD_END = 6;

struct LUsbLink;
class LUsbRelay;

// A derived class that overrides something the worker calls (OnRxByte, Notify) has to Close
// in its own destructor, so that the worker is gone before the derived part is.
class LUsb {
  public:
    static constexpr std::size_t kBufSize = 1024;
    // Bytes handed in but not yet parsed; beyond this a Receive is refused.
    static constexpr std::size_t kMaxPendingRx = 64 * 1024;
    static constexpr uint32_t kStopWaitMs = 5000;

    explicit LUsb(LUsbOwner* owner);
    virtual ~LUsb();
    LUsb(const LUsb&) = delete;
    LUsb& operator=(const LUsb&) = delete;

    virtual bool Open();
    // Stops the worker. Never returns with the worker still running, and never blocks on an
    // answer delivery: one that is waiting is cancelled, and Close called from inside the
    // owner's WM_USB_ANSWER handler releases the worker at once.
    virtual void Close();
    // Refused when longer than kBufSize or when not running.
    virtual void SendBytes(const uint8_t* data, uint32_t len);
    virtual void SendFrame(const BSTM& frame);
    // Hands in received bytes (any thread). More than kBufSize at once is refused.
    virtual void Receive(const uint8_t* data, uint32_t len);
    virtual void OnRxByte(uint8_t b);
    virtual void Notify(uint32_t code, uint32_t param);
    virtual void SetWaitTime(uint32_t ms);

    uint32_t GetWaitTime() const { return waitTime.load(); }
    void SetRetryLimit(uint32_t limit) { retryLimit.store(limit); }
    bool IsRunning() const { return running.load(); }
    // Wait periods that ended with no event since Open.
    uint64_t SilentPeriods() const { return silentPeriods.load(); }

    // Steady-clock ticks and ticks per second: the round-trip time base.
    static int64_t CounterNow();
    static int64_t CounterFrequency();

  protected:
    // Delivers msg on the owner's thread and waits for it to be handled. False when it was not
    // delivered: closing, no owner, or the processor is going away.
    bool SendOwnerMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    // Queues msg for the owner's thread; dropped if the processor is gone by then.
    void PostOwnerMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    // True from the start of Close until the next Open: the worker delivers nothing more.
    bool Closing() const;

    enum : std::size_t { kRxEvent = 0, kTxEvent = 1, kStopEvent = 2 };

    std::mutex lock;  // link lock: held by the worker around each write and each parse
    int32_t retryCount = 0;
    LUsbOwner* owner;
    std::thread hThread;
    std::atomic<bool> running{false};
    EventSet<3> events;
    // Worker-owned: the last frame written, and the bytes being parsed.
    std::array<uint8_t, kBufSize> txBuf{};
    uint32_t txLen = 0;
    BSTM rxBuf;
    uint32_t rxLen = 0;
    std::atomic<uint32_t> waitTime{800};
    std::atomic<uint32_t> retryLimit{2};

  private:
    void Run();

    // Hand-off between the submitting threads and the worker; held only to move bytes.
    std::mutex ioLock;
    std::deque<BSTM> txPending;
    BSTM rxPending;

    std::mutex doneLock;
    std::condition_variable doneCv;
    bool workerDone = true;

    std::atomic<uint64_t> silentPeriods{0};
    std::atomic<bool> closing_{false};  // mirrors the link's flag for the per-byte check
    std::shared_ptr<LUsbLink> link_;
    LUsbRelay* relay_ = nullptr;
};

class LUsbProc : public LUsb {
  public:
    static constexpr uint8_t kPollCmd = 0x12;

    explicit LUsbProc(LUsbOwner* mainWindow);
    ~LUsbProc() override;

    bool Open() override;
    void Close() override;
    void SendBytes(const uint8_t* data, uint32_t len) override;
    void SendFrame(const BSTM& frame) override;
    void OnRxByte(uint8_t b) override;
    void SetWaitTime(uint32_t ms) override;

    // Writes the frame now when idle, else queues it: behind every queued frame (append) or
    // over the replaceable one. Frames under 2 or over kBufSize bytes are refused (no-op).
    void PostFrame(const BSTM& frame, bool append);
    void SetPollSuppressed(bool suppressed) { pollSuppressed.store(suppressed ? 1 : 0); }
    bool IsBusy() const;
    std::size_t QueuedFrames() const;
    // The idle poll: a framed 0x12 to pollAddress when idle, queue empty and not suppressed.
    void OnPollTimer();

    // (now - start) in ms for a counter of `freq` ticks per second, capped at 0xFFFFFFFF.
    static uint32_t ElapsedMs(int64_t start, int64_t now, int64_t freq);

  protected:
    void AnswerComplete();
    void Advance();
    // queueLock held.
    void WriteNow(const BSTM& frame);
    void Enqueue(const BSTM& frame, bool append);
    void TouchPoll();

    std::atomic<uint8_t> answerFramed{1};
    std::atomic<uint8_t> pollSuppressed{0};
    bool busy = false;  // queueLock
    BSTM answer;        // worker
    std::deque<BSTM> sendQueue;
    std::size_t replacePos = 0;  // an index; equal to sendQueue.size() means the end
    QTimer* tmPoll = nullptr;
    uint32_t pollInterval = 3000;
    uint32_t pollAddress = 1;
    int64_t sendStart = 0;
    int64_t counterFreq = 0;  // 0 until the first write: no round-trip time before it

    // Guards the queue, busy, replacePos and the send time. Never held by the worker while an
    // answer is being delivered.
    mutable std::mutex queueLock;

  private:
    void PollTimerFired();
    std::atomic<int64_t> lastActivity{0};
};
