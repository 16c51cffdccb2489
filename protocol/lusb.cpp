#include "protocol/lusb.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <limits>
#include <system_error>
#include <utility>

#include "protocol/answer.h"

// What the worker and the owner-thread relay share. It outlives the processor, so that a
// message still queued for the relay when the processor is deleted finds `detached` set and
// is dropped.
struct LUsbLink {
    LUsbOwner* owner = nullptr;
    QPointer<QObject> ownerObject;  // owner thread only

    std::mutex m;
    std::condition_variable cv;
    bool closing = false;
    bool detached = false;

    // The one synchronous message in flight.
    enum class Sync { Idle, Pending, Running, Done };
    Sync state = Sync::Idle;
    uint64_t seq = 0;
    uint32_t msg = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;

    int deliveryDepth = 0;  // owner thread only: > 0 while a sent message is being handled
};

namespace {

QEvent::Type SentEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

QEvent::Type PostedEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

class SentEvent : public QEvent {
  public:
    explicit SentEvent(uint64_t s) : QEvent(SentEventType()), seq(s) {}
    uint64_t seq;
};

class PostedEvent : public QEvent {
  public:
    PostedEvent(uint32_t m, uintptr_t w, intptr_t l)
        : QEvent(PostedEventType()), msg(m), wParam(w), lParam(l) {}
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
};

}  // namespace

// Lives on the owner's thread and hands messages to the owner there.
class LUsbRelay : public QObject {
  public:
    explicit LUsbRelay(std::shared_ptr<LUsbLink> link) : link_(std::move(link)) {}

    bool event(QEvent* e) override {
        // Only the local copy of the link is used from here on: the owner may delete the
        // processor, and so schedule this relay's deletion, from inside its handler.
        std::shared_ptr<LUsbLink> link = link_;
        QEvent::Type type;
        bool ours = false, drop = false;
        uint64_t seq = 0;
        uint32_t msg = 0;
        uintptr_t wParam = 0;
        intptr_t lParam = 0;
        {
            // Events are made and posted under this lock; reading them under it orders the
            // read after the worker's writes for every observer, race checkers included.
            std::lock_guard<std::mutex> lk(link->m);
            type = e->type();
            if (type == SentEventType()) {
                ours = true;
                seq = static_cast<SentEvent*>(e)->seq;
            } else if (type == PostedEventType()) {
                ours = true;
                const auto* pe = static_cast<PostedEvent*>(e);
                msg = pe->msg;
                wParam = pe->wParam;
                lParam = pe->lParam;
            }
            drop = link->detached;
        }
        if (!ours) return QObject::event(e);
        if (type == SentEventType())
            DeliverSent(*link, seq);
        else if (!drop && link->ownerObject)
            link->owner->UsbMessage(msg, wParam, lParam);
        return true;
    }

  private:
    static void DeliverSent(LUsbLink& link, uint64_t seq) {
        uint32_t msg;
        uintptr_t w;
        intptr_t l;
        {
            std::lock_guard<std::mutex> lk(link.m);
            if (link.detached || link.closing || link.state != LUsbLink::Sync::Pending ||
                link.seq != seq)
                return;  // cancelled meanwhile
            link.state = LUsbLink::Sync::Running;
            msg = link.msg;
            w = link.wParam;
            l = link.lParam;
        }
        if (link.ownerObject) {
            ++link.deliveryDepth;
            link.owner->UsbMessage(msg, w, l);
            --link.deliveryDepth;
        }
        {
            std::lock_guard<std::mutex> lk(link.m);
            if (link.state == LUsbLink::Sync::Running && link.seq == seq)
                link.state = LUsbLink::Sync::Done;
        }
        link.cv.notify_all();
    }

    std::shared_ptr<LUsbLink> link_;
};

// ---------------------------------------------------------------------------------------------
// LUsb

LUsb::LUsb(LUsbOwner* ownerWindow) : owner(ownerWindow), link_(std::make_shared<LUsbLink>()) {
    link_->owner = owner;
    if (owner == nullptr) return;
    QObject* ownerObject = owner->UsbOwnerObject();
    link_->ownerObject = ownerObject;
    relay_ = new LUsbRelay(link_);
    if (ownerObject != nullptr && ownerObject->thread() != relay_->thread())
        relay_->moveToThread(ownerObject->thread());
}

LUsb::~LUsb() {
    LUsb::Close();
    {
        std::lock_guard<std::mutex> lk(link_->m);
        link_->detached = true;
    }
    if (relay_ == nullptr) return;
    // Deleting the relay drops whatever is still queued for it. From inside its own delivery
    // (the owner tearing the link down in its answer handler) or from another thread it has
    // to wait for the event loop.
    if (relay_->thread() == QThread::currentThread() && link_->deliveryDepth == 0)
        delete relay_;
    else
        relay_->deleteLater();
    relay_ = nullptr;
}

int64_t LUsb::CounterNow() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

int64_t LUsb::CounterFrequency() {
    using P = std::chrono::steady_clock::period;
    return static_cast<int64_t>(P::den / P::num);
}

bool LUsb::Open() {
    if (running.load()) return false;
    if (hThread.joinable()) hThread.join();  // a worker that ended by itself
    events.Reset();
    {
        std::lock_guard<std::mutex> lk(ioLock);
        txPending.clear();
        rxPending.clear();
    }
    {
        std::lock_guard<std::mutex> lk(link_->m);
        link_->closing = false;
        closing_.store(false, std::memory_order_release);
    }
    {
        std::lock_guard<std::mutex> lk(doneLock);
        workerDone = false;
    }
    retryCount = 0;
    silentPeriods.store(0);
    running.store(true);
    try {
        hThread = std::thread(&LUsb::Run, this);
    } catch (const std::system_error&) {
        running.store(false);
        std::lock_guard<std::mutex> lk(doneLock);
        workerDone = true;
        return false;
    }
    return true;
}

void LUsb::Close() {
    if (!hThread.joinable()) return;
    {
        std::lock_guard<std::mutex> lk(link_->m);
        link_->closing = true;
        closing_.store(true, std::memory_order_release);
    }
    link_->cv.notify_all();  // releases a worker waiting for its answer to be handled
    events.Set(kStopEvent);
    if (std::this_thread::get_id() == hThread.get_id()) return;  // cannot wait for itself
    bool ended;
    {
        std::unique_lock<std::mutex> lk(doneLock);
        ended = doneCv.wait_for(lk, std::chrono::milliseconds(kStopWaitMs),
                                [this] { return workerDone; });
    }
    if (!ended) Notify(USB_EVT_STOP_TIMEOUT, 0);
    // Still running here means the owner's report writer is stuck; the worker's object must
    // not go away under it, so keep waiting.
    hThread.join();
    events.Reset();
}

void LUsb::SendBytes(const uint8_t* data, uint32_t len) {
    if (!running.load() || len > kBufSize || (data == nullptr && len > 0)) return;
    {
        std::lock_guard<std::mutex> lk(ioLock);
        txPending.emplace_back(data, data + len);
    }
    events.Set(kTxEvent);
}

void LUsb::SendFrame(const BSTM& frame) {
    LUsb::SendBytes(frame.data(), static_cast<uint32_t>(frame.size()));
}

void LUsb::Receive(const uint8_t* data, uint32_t len) {
    if (!running.load() || len == 0 || len > kBufSize || data == nullptr) return;
    {
        std::lock_guard<std::mutex> lk(ioLock);
        if (rxPending.size() + len > kMaxPendingRx) return;
        rxPending.insert(rxPending.end(), data, data + len);
    }
    events.Set(kRxEvent);
}

void LUsb::OnRxByte(uint8_t b) {
    PostOwnerMessage(WM_USB_RXBYTE, b, 0);
}

void LUsb::Notify(uint32_t code, uint32_t param) {
    PostOwnerMessage(WM_USB_EVENT, code, param);
}

void LUsb::SetWaitTime(uint32_t ms) {
    waitTime.store(ms);
}

bool LUsb::Closing() const {
    return closing_.load(std::memory_order_acquire);
}

bool LUsb::SendOwnerMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (relay_ == nullptr) return false;
    uint64_t seq;
    {
        std::lock_guard<std::mutex> lk(link_->m);
        if (link_->closing || link_->detached) return false;
        seq = ++link_->seq;
        link_->state = LUsbLink::Sync::Pending;
        link_->msg = msg;
        link_->wParam = wParam;
        link_->lParam = lParam;
        QCoreApplication::postEvent(relay_, new SentEvent(seq));
    }
    std::unique_lock<std::mutex> lk(link_->m);
    link_->cv.wait(lk, [&] { return link_->state == LUsbLink::Sync::Done || link_->closing; });
    const bool delivered = link_->state == LUsbLink::Sync::Done;
    link_->state = LUsbLink::Sync::Idle;
    return delivered;
}

void LUsb::PostOwnerMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (relay_ == nullptr) return;
    std::lock_guard<std::mutex> lk(link_->m);
    QCoreApplication::postEvent(relay_, new PostedEvent(msg, wParam, lParam));
}

void LUsb::Run() {
    uint32_t quiet = 0;
    for (;;) {
        const int ev = events.WaitAny(std::chrono::milliseconds(waitTime.load()));
        if (ev == static_cast<int>(kRxEvent)) {
            std::lock_guard<std::mutex> lk(lock);
            {
                std::lock_guard<std::mutex> io(ioLock);
                rxBuf.swap(rxPending);
                rxPending.clear();
            }
            rxLen = static_cast<uint32_t>(rxBuf.size());
            for (uint32_t i = 0; i < rxLen && !Closing(); ++i)
                OnRxByte(rxBuf[i]);
        } else if (ev == static_cast<int>(kTxEvent)) {
            retryCount = 0;
            std::lock_guard<std::mutex> lk(lock);
            for (;;) {
                BSTM frame;
                {
                    std::lock_guard<std::mutex> io(ioLock);
                    if (txPending.empty()) break;
                    frame = std::move(txPending.front());
                    txPending.pop_front();
                }
                std::copy(frame.begin(), frame.end(), txBuf.begin());
                txLen = static_cast<uint32_t>(frame.size());
                if (owner != nullptr) owner->WriteReport(txBuf.data(), txLen);
            }
        } else if (ev == EventSet<3>::kTimeout) {
            // Silence: count it; notify after retryLimit periods plus five more, or plus one
            // when the last frame written was command 5.
            silentPeriods.fetch_add(1);
            if (retryCount < static_cast<int64_t>(retryLimit.load())) {
                ++retryCount;
                quiet = 0;
            } else if (quiet > 3 || txBuf[5] == 5) {
                retryCount = 0;
                Notify(USB_EVT_TIMEOUT, txBuf[3]);
            } else {
                ++quiet;
            }
        } else {
            break;
        }
    }
    Notify(USB_EVT_THREAD_END, txBuf[3]);
    running.store(false);
    {
        std::lock_guard<std::mutex> lk(doneLock);
        workerDone = true;
    }
    doneCv.notify_all();
}

// ---------------------------------------------------------------------------------------------
// LUsbProc

LUsbProc::LUsbProc(LUsbOwner* mainWindow) : LUsb(mainWindow) {}

LUsbProc::~LUsbProc() {
    // The worker calls into this class; it has to be gone before our members are.
    LUsbProc::Close();
    delete tmPoll;
    tmPoll = nullptr;
}

bool LUsbProc::Open() {
    if (IsRunning()) return false;
    TouchPoll();
    if (tmPoll == nullptr) {
        tmPoll = new QTimer();
        tmPoll->setTimerType(Qt::PreciseTimer);  // never earlier than the interval
        tmPoll->setInterval(static_cast<int>(pollInterval));
        QObject::connect(tmPoll, &QTimer::timeout, tmPoll, [this] { PollTimerFired(); });
    }
    tmPoll->start();
    if (LUsb::Open()) return true;
    tmPoll->stop();
    return false;
}

void LUsbProc::Close() {
    if (tmPoll != nullptr) tmPoll->stop();
    {
        std::lock_guard<std::mutex> lk(queueLock);
        sendQueue.clear();
        replacePos = 0;
    }
    LUsb::Close();
    delete tmPoll;
    tmPoll = nullptr;
}

void LUsbProc::SetWaitTime(uint32_t ms) {
    LUsb::SetWaitTime(ms);
}

void LUsbProc::TouchPoll() {
    lastActivity.store(CounterNow());
}

void LUsbProc::WriteNow(const BSTM& frame) {
    busy = true;
    sendStart = CounterNow();
    counterFreq = CounterFrequency();
    LUsb::SendBytes(frame.data(), static_cast<uint32_t>(frame.size()));
}

void LUsbProc::Enqueue(const BSTM& frame, bool append) {
    // replacePos at the end means the next frame put at the back becomes the replaceable one,
    // whichever mode put it there.
    if (append || replacePos >= sendQueue.size()) {
        if (replacePos > sendQueue.size()) replacePos = sendQueue.size();
        sendQueue.push_back(frame);
        return;
    }
    sendQueue[replacePos] = frame;
}

void LUsbProc::PostFrame(const BSTM& frame, bool append) {
    if (!IsRunning()) return;
    if (frame.size() < 2 || frame.size() > kBufSize) return;
    TouchPoll();
    answerFramed.store(IsFramed(frame) ? 1 : 0);
    std::lock_guard<std::mutex> lk(queueLock);
    if (!busy) {
        WriteNow(frame);
        return;
    }
    Enqueue(frame, append);
}

void LUsbProc::SendBytes(const uint8_t* data, uint32_t len) {
    if (!IsRunning() || data == nullptr || len == 0 || len > kBufSize) return;
    SendFrame(BSTM(data, data + len));
}

void LUsbProc::SendFrame(const BSTM& frame) {
    if (!IsRunning() || frame.empty() || frame.size() > kBufSize) return;
    TouchPoll();
    std::lock_guard<std::mutex> lk(queueLock);
    if (!busy) {
        WriteNow(frame);
        return;
    }
    Enqueue(frame, false);
}

bool LUsbProc::IsBusy() const {
    std::lock_guard<std::mutex> lk(queueLock);
    return busy;
}

std::size_t LUsbProc::QueuedFrames() const {
    std::lock_guard<std::mutex> lk(queueLock);
    return sendQueue.size();
}

void LUsbProc::OnRxByte(uint8_t b) {
    if (Closing()) return;
    if (AssembleAnswerByte(answer, answerFramed.load() != 0, b)) AnswerComplete();
}

uint32_t LUsbProc::ElapsedMs(int64_t start, int64_t now, int64_t freq) {
    constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
    if (freq <= 0 || now <= start) return 0;
    const uint64_t ticks = static_cast<uint64_t>(now) - static_cast<uint64_t>(start);
    const uint64_t f = static_cast<uint64_t>(freq);
    const uint64_t whole = ticks / f;
    if (whole > kMax / 1000) return static_cast<uint32_t>(kMax);
    const uint64_t rest = ticks % f;  // < f, so rest * 1000 fits for any clock below 1.8e16 Hz
    const uint64_t ms = whole * 1000 + rest * 1000 / f;
    return static_cast<uint32_t>(ms > kMax ? kMax : ms);
}

void LUsbProc::AnswerComplete() {
    const int64_t now = CounterNow();
    int64_t start, freq;
    {
        std::lock_guard<std::mutex> lk(queueLock);
        start = sendStart;
        freq = counterFreq;
    }
    if (freq != 0) {
        SendOwnerMessage(WM_USB_ANSWER, reinterpret_cast<uintptr_t>(&answer),
                         static_cast<intptr_t>(ElapsedMs(start, now, freq)));
        // Closing: the queue is gone and the answer stays for the owner to look at.
        if (Closing()) return;
        Advance();
    }
    answer.clear();
}

void LUsbProc::Advance() {
    TouchPoll();
    std::lock_guard<std::mutex> lk(queueLock);
    if (sendQueue.empty()) {
        busy = false;
        return;
    }
    WriteNow(sendQueue.front());
    sendQueue.pop_front();
    if (replacePos == 0)
        replacePos = sendQueue.size();
    else
        --replacePos;
}

void LUsbProc::OnPollTimer() {
    if (pollSuppressed.load() != 0) return;
    {
        std::lock_guard<std::mutex> lk(queueLock);
        if (busy || !sendQueue.empty()) return;
    }
    PostFrame(LCmd(static_cast<uint8_t>(pollAddress & 0xFF), kPollCmd).GetBytes(1), false);
}

void LUsbProc::PollTimerFired() {
    // The poll counts from the last submission or advance; the worker only stamps the time,
    // so the timer is re-armed here for what is left.
    const int64_t freq = CounterFrequency();
    const int64_t due = lastActivity.load() + static_cast<int64_t>(pollInterval) * (freq / 1000);
    const int64_t now = CounterNow();
    if (now < due) {
        const int64_t leftMs = (due - now + freq / 1000 - 1) / (freq / 1000);
        tmPoll->start(static_cast<int>(leftMs));
        return;
    }
    tmPoll->start(static_cast<int>(pollInterval));
    OnPollTimer();
}
