#include "protocol/lusb.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "protocol/event_set.h"
#include "protocol/lcmd.h"
#include "tests/support/frames.h"
#include "tests/support/qt_wait.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "protocol_lusb_test";
        static char* argv[] = {name, nullptr};
        app_ = new QCoreApplication(argc, argv);
    }
    void TearDown() override { delete app_; }

  private:
    QCoreApplication* app_ = nullptr;
};
[[maybe_unused]] auto* const kEnv = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

using qtwait::WaitUntil;

void Pump(std::chrono::milliseconds d) {
    qtwait::Spin(static_cast<int>(d.count()));
}

using testsupport::DeviceFrame;

struct Event {
    uint32_t code;
    intptr_t param;
};

// The window side: records what reaches it on the test's thread, and writes reports to an
// optional device.
class FakeOwner : public LUsbOwner {
  public:
    QObject* UsbOwnerObject() override { return &object; }

    void UsbMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        ++messages;
        if (msg == WM_USB_ANSWER) {
            const BSTM& a = *reinterpret_cast<const BSTM*>(wParam);
            answers.push_back(a);
            elapsed.push_back(lParam);
            if (onAnswer) onAnswer(a);
        } else if (msg == WM_USB_EVENT) {
            events.push_back({static_cast<uint32_t>(wParam), lParam});
            if (onEvent) onEvent(static_cast<uint32_t>(wParam));
        } else if (msg == WM_USB_RXBYTE) {
            rxBytes.push_back(static_cast<uint8_t>(wParam));
        }
    }

    void WriteReport(const uint8_t* data, uint32_t len) override {
        BSTM frame(data, data + len);
        {
            std::lock_guard<std::mutex> lk(m);
            writes.push_back(frame);
        }
        if (device) device(frame);
    }

    std::vector<BSTM> Writes() {
        std::lock_guard<std::mutex> lk(m);
        return writes;
    }
    std::size_t WriteCount() {
        std::lock_guard<std::mutex> lk(m);
        return writes.size();
    }
    int EventCount(uint32_t code) const {
        int n = 0;
        for (const Event& e : events)
            n += e.code == code ? 1 : 0;
        return n;
    }

    QObject object;
    std::function<void(const BSTM&)> device;  // worker thread
    std::function<void(const BSTM&)> onAnswer;
    std::function<void(uint32_t code)> onEvent;
    std::vector<BSTM> answers;
    std::vector<intptr_t> elapsed;
    std::vector<Event> events;
    std::vector<uint8_t> rxBytes;
    int messages = 0;

  private:
    std::mutex m;
    std::vector<BSTM> writes;
};

// A device on a thread of its own: answers every frame written, handing the answer in as
// several reports so that every split point gets exercised.
class EchoDevice {
  public:
    EchoDevice(LUsb* link, bool framed) : link_(link), framed_(framed) {
        thread_ = std::thread([this] { Run(); });
    }
    ~EchoDevice() { Stop(); }

    void OnWrite(const BSTM& frame) {
        {
            std::lock_guard<std::mutex> lk(m_);
            queue_.push_back(frame);
        }
        cv_.notify_one();
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lk(m_);
            stop_ = true;
        }
        cv_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    static BSTM AnswerFor(const BSTM& frame, bool framed) {
        if (framed) return DeviceFrame(frame[5], LCmd(frame).GetData());
        BSTM a(kRawAnswerSize);
        for (std::size_t i = 0; i < a.size(); ++i)
            a[i] = static_cast<uint8_t>(frame[i % frame.size()] + i / frame.size());
        return a;
    }

  private:
    void Run() {
        std::size_t n = 0;
        for (;;) {
            BSTM frame;
            {
                std::unique_lock<std::mutex> lk(m_);
                cv_.wait(lk, [this] { return stop_ || !queue_.empty(); });
                if (stop_) return;
                frame = std::move(queue_.front());
                queue_.pop_front();
            }
            BSTM a = AnswerFor(frame, framed_);
            if (framed_) a.insert(a.begin(), {0x55, 0x03, 0xAA});  // noise before DLE STX
            // Split at point n % size, and on odd rounds into tiny pieces as fast as possible.
            ++n;
            std::vector<std::pair<std::size_t, std::size_t>> pieces;
            if (n % 2 == 0) {
                const std::size_t k = n % a.size();
                if (k > 0) pieces.push_back({0, k});
                pieces.push_back({k, a.size() - k});
            } else {
                const std::size_t step = 1 + n % 7;
                for (std::size_t at = 0; at < a.size(); at += step)
                    pieces.push_back({at, std::min(step, a.size() - at)});
            }
            for (auto [at, len] : pieces)
                link_->Receive(a.data() + at, static_cast<uint32_t>(len));
        }
    }

    LUsb* link_;
    bool framed_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<BSTM> queue_;
    bool stop_ = false;
    std::thread thread_;
};

// Records the silent-period count at each notice (the worker calls Notify).
class CountingProc : public LUsbProc {
  public:
    using LUsbProc::LUsbProc;
    ~CountingProc() override { Close(); }

    struct Note {
        uint32_t code, param;
        uint64_t period;
    };
    void Notify(uint32_t code, uint32_t param) override {
        {
            std::lock_guard<std::mutex> lk(m);
            notes.push_back({code, param, SilentPeriods()});
        }
        LUsbProc::Notify(code, param);
    }
    std::vector<Note> Notes() {
        std::lock_guard<std::mutex> lk(m);
        return notes;
    }

  private:
    std::mutex m;
    std::vector<Note> notes;
};

BSTM Framed(uint8_t cmd, const BSTM& payload = {}) {
    LCmd c(1, cmd);
    c.Data = payload;
    return c.GetBytes(1);
}

// ---------------------------------------------------------------------------------------------

TEST(EventSet, LowestSignalledWinsAndEachResetsAlone) {
    EventSet<3> ev;
    EXPECT_EQ(ev.WaitAny(0ms), EventSet<3>::kTimeout);
    ev.Set(2);
    ev.Set(1);
    ev.Set(0);
    EXPECT_EQ(ev.WaitAny(0ms), 0);
    EXPECT_EQ(ev.WaitAny(0ms), 1);
    EXPECT_EQ(ev.WaitAny(0ms), 2);
    EXPECT_EQ(ev.WaitAny(1ms), EventSet<3>::kTimeout);
    ev.Set(1);
    ev.Set(1);  // auto-reset: two signals, one wake
    EXPECT_EQ(ev.WaitAny(0ms), 1);
    EXPECT_EQ(ev.WaitAny(0ms), EventSet<3>::kTimeout);

    std::thread t([&] { ev.Set(2); });
    EXPECT_EQ(ev.WaitAny(10s), 2);
    t.join();
}

TEST(LUsbPlain, WritesFramesPostsBytesAndEndsWithThreadEnd) {
    FakeOwner owner;
    auto* usb = new LUsb(&owner);
    ASSERT_TRUE(usb->Open());
    EXPECT_FALSE(usb->Open());
    EXPECT_TRUE(usb->IsRunning());
    const BSTM f = Framed(0x10);
    usb->SendFrame(f);
    const uint8_t tooLong[LUsb::kBufSize + 1] = {};
    usb->SendBytes(tooLong, sizeof tooLong);
    ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() == 1; }));
    const uint8_t in[] = {1, 2, 3, 0x10};
    usb->Receive(in, 4);
    usb->Receive(tooLong, sizeof tooLong);
    ASSERT_TRUE(WaitUntil([&] { return owner.rxBytes.size() == 4; }));
    usb->Close();
    EXPECT_FALSE(usb->IsRunning());
    ASSERT_TRUE(WaitUntil([&] { return owner.EventCount(USB_EVT_THREAD_END) == 1; }));
    EXPECT_EQ(owner.events.back().param, 1);  // byte 3 of the last frame
    delete usb;
    Pump(20ms);
    EXPECT_EQ(owner.Writes(), std::vector<BSTM>{f});
    EXPECT_EQ(owner.rxBytes, (std::vector<uint8_t>{1, 2, 3, 0x10}));
    EXPECT_EQ(owner.EventCount(USB_EVT_STOP_TIMEOUT), 0);
}

TEST(LUsbProc, NothingHappensWhileClosedOrForRefusedFrames) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    proc.PostFrame(Framed(0x10), true);  // not open yet
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(true);
    proc.PostFrame(BSTM{0x10}, true);
    proc.PostFrame(BSTM{}, false);
    proc.PostFrame(BSTM(LUsb::kBufSize + 1, 0), true);
    EXPECT_FALSE(proc.IsBusy());
    proc.PostFrame(BSTM(LUsb::kBufSize, 0x77), true);  // the largest that fits
    ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() == 1; }));
    EXPECT_EQ(owner.Writes()[0].size(), LUsb::kBufSize);
    EXPECT_TRUE(proc.IsBusy());
    proc.Close();
    proc.PostFrame(Framed(0x10), true);
    EXPECT_EQ(owner.WriteCount(), 1u);
}

TEST(LUsbProc, FramedAnswersAssembleAcrossReports) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(true);
    proc.PostFrame(Framed(0x10), true);
    ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() == 1; }));

    // Noise, a stray DLE whose STX comes later (no frame), and DLE DLE STX: the answer starts at
    // the DLE STX pair. LEN 0 ends at 8 bytes.
    const BSTM lenZero = {0x10, 0x02, 0x01, 0x00, 0x00, 0x10, 0x03, 0x02};
    BSTM in = {0x77, 0x10, 0x55, 0x02, 0x01, 0x10};
    in.insert(in.end(), lenZero.begin(), lenZero.end());
    proc.Receive(in.data(), static_cast<uint32_t>(in.size()));
    ASSERT_TRUE(WaitUntil([&] { return owner.answers.size() == 1; }));
    EXPECT_EQ(owner.answers[0], lenZero);
    EXPECT_TRUE(WaitUntil([&] { return !proc.IsBusy(); }));

    // LEN 255: 263 bytes over five reports.
    proc.PostFrame(Framed(0x11), true);
    const BSTM big = DeviceFrame(0x11, BSTM(254, 0x10));
    ASSERT_EQ(big.size(), 263u);
    for (std::size_t at = 0; at < big.size(); at += 60)
        proc.Receive(big.data() + at,
                     static_cast<uint32_t>(std::min<std::size_t>(60, big.size() - at)));
    ASSERT_TRUE(WaitUntil([&] { return owner.answers.size() == 2; }));
    EXPECT_EQ(owner.answers[1], big);
    EXPECT_LT(owner.elapsed[1], 10000);
}

TEST(LUsbProc, RawAnswersAreSixtyFourBytesAndTheRestStartsTheNext) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(true);
    const BSTM packet(70, 0x01);
    proc.PostFrame(packet, true);
    proc.PostFrame(packet, true);
    BSTM stream(128);
    for (std::size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<uint8_t>(i);
    proc.Receive(stream.data(), 40);
    proc.Receive(stream.data() + 40, 30);
    ASSERT_TRUE(WaitUntil([&] { return owner.answers.size() == 1; }));
    EXPECT_EQ(owner.answers[0], BSTM(stream.begin(), stream.begin() + 64));
    proc.Receive(stream.data() + 70, 58);
    ASSERT_TRUE(WaitUntil([&] { return owner.answers.size() == 2; }));
    EXPECT_EQ(owner.answers[1], BSTM(stream.begin() + 64, stream.end()));
    // The second answer can be whole before the worker has written the second packet.
    EXPECT_TRUE(WaitUntil([&] { return owner.WriteCount() == 2u && !proc.IsBusy(); }));
}

TEST(LUsbProc, PartialAnswerLeftFromTheOtherModeStillCompletes) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(true);
    proc.PostFrame(BSTM(70, 0), true);  // raw: 64-byte answers
    ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() == 1; }));
    const BSTM head = {0x10, 0x02, 0x01, 0x00, 0x01, 0x22, 0x10, 0x03, 0x00, 0x00};
    proc.Receive(head.data(), static_cast<uint32_t>(head.size()));
    Pump(20ms);
    proc.PostFrame(Framed(0x22), true);  // now framed; LEN 1 wants 9 bytes, 10 are there
    const uint8_t one = 0x00;
    proc.Receive(&one, 1);
    ASSERT_TRUE(WaitUntil([&] { return owner.answers.size() == 1; }));
    EXPECT_EQ(owner.answers[0].size(), 11u);
}

TEST(LUsbProc, QueuedFramesGoOutInOrderOnePerAnswer) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(true);
    proc.PostFrame(Framed(1), true);
    proc.PostFrame(Framed(2), true);
    proc.PostFrame(Framed(3), true);
    ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() == 1; }));
    EXPECT_EQ(proc.QueuedFrames(), 2u);
    for (uint8_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() == i; }));
        Pump(5ms);
        EXPECT_EQ(owner.WriteCount(), i);  // nothing more goes out before the answer
        EXPECT_TRUE(proc.IsBusy());
        const BSTM a = DeviceFrame(i, {});
        proc.Receive(a.data(), static_cast<uint32_t>(a.size()));
        ASSERT_TRUE(WaitUntil([&] { return owner.answers.size() == i; }));
    }
    ASSERT_TRUE(WaitUntil([&] { return !proc.IsBusy(); }));
    const auto w = owner.Writes();
    ASSERT_EQ(w.size(), 3u);
    for (uint8_t i = 0; i < 3; ++i)
        EXPECT_EQ(w[i][5], i + 1);
}

TEST(LUsbProc, ReplaceModeOverwritesTheReplaceableFrame) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(true);
    auto answerOne = [&](std::size_t n) {
        const BSTM a = DeviceFrame(0, {});
        proc.Receive(a.data(), static_cast<uint32_t>(a.size()));
        ASSERT_TRUE(WaitUntil([&] { return owner.answers.size() == n; }));
        // and the advance that follows it
        ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() > n || !proc.IsBusy(); }));
    };
    proc.PostFrame(Framed(0xA0), true);  // written at once
    proc.PostFrame(Framed(0xA1), false);
    proc.PostFrame(Framed(0xA2), false);  // takes A1's place
    proc.PostFrame(Framed(0xA3), true);
    proc.PostFrame(Framed(0xA4), false);  // A2 is still the replaceable one
    EXPECT_EQ(proc.QueuedFrames(), 2u);
    answerOne(1);                         // A4 goes out; the end is the replaceable position again
    proc.PostFrame(Framed(0xA7), false);  // so this lands behind A3 instead of over it
    answerOne(2);
    answerOne(3);
    // Empty queue, end replaceable: the next frame put at the back, appended or not, becomes
    // the one a replace overwrites.
    proc.PostFrame(Framed(0xA5), true);
    proc.PostFrame(Framed(0xA6), false);
    answerOne(4);
    answerOne(5);
    ASSERT_TRUE(WaitUntil([&] { return !proc.IsBusy(); }));
    std::vector<uint8_t> cmds;
    for (const BSTM& w : owner.Writes())
        cmds.push_back(w[5]);
    EXPECT_EQ(cmds, (std::vector<uint8_t>{0xA0, 0xA4, 0xA3, 0xA7, 0xA6}));
}

TEST(LUsbProc, FramesPostedFromTheAnswerHandlerGoNext) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(true);
    owner.onAnswer = [&](const BSTM&) {
        EXPECT_TRUE(proc.IsBusy());  // still busy inside the handler
        if (owner.answers.size() == 1) proc.PostFrame(Framed(0x31), true);
    };
    owner.device = [&](const BSTM& f) {
        const BSTM a = DeviceFrame(f[5], {});
        proc.Receive(a.data(), static_cast<uint32_t>(a.size()));
    };
    proc.PostFrame(Framed(0x30), true);
    ASSERT_TRUE(WaitUntil([&] { return owner.answers.size() == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return !proc.IsBusy(); }));
    EXPECT_EQ(owner.answers[1][5], 0x31);
    proc.Close();
}

TEST(LUsbProc, ElapsedMsScalesAndCaps) {
    EXPECT_EQ(LUsbProc::ElapsedMs(0, 1500, 1000), 1500u);
    EXPECT_EQ(LUsbProc::ElapsedMs(1000, 2'500'000'000, 1'000'000'000), 2499u);
    EXPECT_EQ(LUsbProc::ElapsedMs(5, 4, 1000), 0u);
    EXPECT_EQ(LUsbProc::ElapsedMs(0, 10, 0), 0u);
    // 0xFFFFFFFF ms and one more tick, at a nanosecond clock.
    EXPECT_EQ(LUsbProc::ElapsedMs(0, 4'294'967'295'000'000, 1'000'000'000), 0xFFFFFFFFu);
    EXPECT_EQ(LUsbProc::ElapsedMs(0, 4'294'967'296'000'000, 1'000'000'000), 0xFFFFFFFFu);
    EXPECT_EQ(LUsbProc::ElapsedMs(0, INT64_MAX, 1'000'000'000), 0xFFFFFFFFu);
    EXPECT_EQ(LUsbProc::ElapsedMs(0, INT64_MAX, 1), 0xFFFFFFFFu);
}

TEST(LUsbProc, AnswerBeforeAnyWriteIsNotDelivered) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(true);
    const BSTM a = DeviceFrame(1, {});
    proc.Receive(a.data(), static_cast<uint32_t>(a.size()));
    Pump(30ms);
    EXPECT_TRUE(owner.answers.empty());
}

TEST(LUsbProc, TimeOutCountsSilentPeriodsAndNeverResends) {
    for (const uint8_t cmd : {uint8_t{0x10}, uint8_t{0x05}}) {
        FakeOwner owner;
        CountingProc proc(&owner);
        std::atomic<uint64_t> writtenAt{0};
        owner.device = [&](const BSTM&) { writtenAt = proc.SilentPeriods(); };
        ASSERT_TRUE(proc.Open());
        proc.SetPollSuppressed(true);
        proc.SetWaitTime(2);
        EXPECT_EQ(proc.GetWaitTime(), 2u);
        LCmd c(7, cmd);
        proc.PostFrame(c.GetBytes(1), true);
        auto after = [&] {
            std::vector<CountingProc::Note> out;
            for (const auto& n : proc.Notes())
                if (n.code == USB_EVT_TIMEOUT && n.period > writtenAt) out.push_back(n);
            return out;
        };
        ASSERT_TRUE(WaitUntil([&] { return after().size() >= 3; }));
        proc.Close();
        const auto notes = after();
        const uint64_t spacing = cmd == 5 ? 3 : 7;
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(notes[i].period - writtenAt, spacing * (i + 1)) << int(cmd);
            EXPECT_EQ(notes[i].param, 7u);
        }
        EXPECT_EQ(owner.WriteCount(), 1u);
        EXPECT_TRUE(proc.IsBusy());  // only an answer ends the wait
        ASSERT_TRUE(WaitUntil([&] { return owner.EventCount(USB_EVT_TIMEOUT) >= 3; }));
    }
}

TEST(LUsbProc, IdlePollConditions) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(true);
    proc.OnPollTimer();
    Pump(10ms);
    EXPECT_EQ(owner.WriteCount(), 0u);

    proc.SetPollSuppressed(false);
    proc.PostFrame(Framed(0x10), true);
    ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() == 1; }));
    proc.OnPollTimer();  // busy
    Pump(10ms);
    EXPECT_EQ(owner.WriteCount(), 1u);

    const BSTM a = DeviceFrame(0x10, {});
    proc.Receive(a.data(), static_cast<uint32_t>(a.size()));
    ASSERT_TRUE(WaitUntil([&] { return !proc.IsBusy(); }));
    proc.OnPollTimer();
    ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() == 2; }));
    EXPECT_EQ(owner.Writes()[1], CM_MCS_CMD(1, 0x12).GetBytes(1));
}

TEST(LUsbProc, IdlePollFiresAfterThreeQuietSeconds) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    std::atomic<int64_t> writtenAt{0};
    owner.device = [&](const BSTM&) { writtenAt = LUsb::CounterNow(); };
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(false);
    Pump(500ms);
    const int64_t submitted = LUsb::CounterNow();
    proc.PostFrame(Framed(0x10), true);  // answered: the poll counts from the advance
    ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() == 1; }));
    const BSTM a = DeviceFrame(0x10, {});
    proc.Receive(a.data(), static_cast<uint32_t>(a.size()));
    ASSERT_TRUE(WaitUntil([&] { return owner.answers.size() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return owner.WriteCount() == 2; }, 8000));
    const int64_t gapMs = (writtenAt - submitted) / (LUsb::CounterFrequency() / 1000);
    EXPECT_GE(gapMs, 3000);
    EXPECT_EQ(owner.Writes()[1][5], 0x12);
}

// Thousands of frames through an echoing device on its own thread, the answers handed in
// split at every point, with a few frames always queued behind the outstanding one.
void RunEcho(bool framed, int total) {
    FakeOwner owner;
    LUsbProc proc(&owner);
    EchoDevice device(&proc, framed);
    owner.device = [&](const BSTM& f) { device.OnWrite(f); };
    auto frame = [&](int i) {
        BSTM payload(static_cast<std::size_t>(i % 48 + 4));
        for (std::size_t k = 0; k < payload.size(); ++k)
            payload[k] = static_cast<uint8_t>(i >> (8 * (k % 4)));
        if (framed) return Framed(static_cast<uint8_t>(i), payload);
        payload.resize(70);
        payload[69] = static_cast<uint8_t>(i);
        return payload;
    };
    int posted = 0;
    int bad = 0;
    owner.onAnswer = [&](const BSTM& a) {
        const int i = static_cast<int>(owner.answers.size()) - 1;
        if (a != EchoDevice::AnswerFor(frame(i), framed)) ++bad;
        if (posted < total) proc.PostFrame(frame(posted++), true);
    };
    ASSERT_TRUE(proc.Open());
    proc.SetPollSuppressed(true);
    for (; posted < 3; ++posted)
        proc.PostFrame(frame(posted), true);
    ASSERT_TRUE(WaitUntil([&] { return static_cast<int>(owner.answers.size()) == total; }, 60000))
        << owner.answers.size();
    ASSERT_TRUE(WaitUntil([&] { return !proc.IsBusy(); }));
    proc.Close();
    device.Stop();
    EXPECT_EQ(bad, 0);
    const auto writes = owner.Writes();
    ASSERT_EQ(static_cast<int>(writes.size()), total);
    for (int i = 0; i < total; ++i)
        ASSERT_EQ(writes[static_cast<std::size_t>(i)], frame(i)) << i;
    EXPECT_EQ(owner.EventCount(USB_EVT_TIMEOUT), 0);
}

TEST(LUsbProcThreads, EchoFramedAnswers) {
    RunEcho(true, 1500);
}
TEST(LUsbProcThreads, EchoRawAnswers) {
    RunEcho(false, 1500);
}

TEST(LUsbProcThreads, CloseCancelsAnAnswerWaitingForTheOwner) {
    FakeOwner owner;
    auto* proc = new LUsbProc(&owner);
    std::atomic<bool> answered{false};
    owner.device = [&](const BSTM&) {
        const BSTM a = DeviceFrame(0x10, {});
        proc->Receive(a.data(), static_cast<uint32_t>(a.size()));
        answered = true;
    };
    ASSERT_TRUE(proc->Open());
    proc->SetPollSuppressed(true);
    proc->PostFrame(Framed(0x10), true);
    while (!answered)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);  // the worker now waits for this thread to take it
    proc->Close();                      // without running the event loop
    EXPECT_FALSE(proc->IsRunning());
    delete proc;
    Pump(30ms);
    EXPECT_TRUE(owner.answers.empty());
    EXPECT_EQ(owner.EventCount(USB_EVT_STOP_TIMEOUT), 0);
}

TEST(LUsbProcThreads, TearDownFromInsideTheAnswerHandler) {
    FakeOwner owner;
    auto* proc = new LUsbProc(&owner);
    owner.device = [&](const BSTM&) {
        const BSTM a = DeviceFrame(0x10, {0xAB});
        // Two answers in one report: the second must not be delivered once closed.
        BSTM two = a;
        two.insert(two.end(), a.begin(), a.end());
        proc->Receive(two.data(), static_cast<uint32_t>(two.size()));
    };
    bool stillRunning = true;
    owner.onAnswer = [&](const BSTM& a) {
        proc->PostFrame(Framed(0x11), true);
        proc->Close();
        stillRunning = proc->IsRunning();
        EXPECT_EQ(a.size(), 10u);  // the answer stays readable until the handler returns
        delete proc;
        proc = nullptr;
    };
    ASSERT_TRUE(proc->Open());
    proc->SetPollSuppressed(true);
    proc->PostFrame(Framed(0x10), true);
    ASSERT_TRUE(WaitUntil([&] { return proc == nullptr; }));
    Pump(30ms);
    EXPECT_FALSE(stillRunning);
    EXPECT_EQ(owner.answers.size(), 1u);
    EXPECT_EQ(owner.WriteCount(), 1u);
}

TEST(LUsbProcThreads, TearDownFromInsideAPostedNotice) {
    // A window may drop the link when a time-out notice reaches it, with more notices queued
    // behind that one.
    FakeOwner owner;
    auto* proc = new CountingProc(&owner);
    owner.onEvent = [&](uint32_t code) {
        if (code != USB_EVT_TIMEOUT || proc == nullptr) return;
        proc->Close();
        delete proc;
        proc = nullptr;
    };
    ASSERT_TRUE(proc->Open());
    proc->SetPollSuppressed(true);
    proc->SetWaitTime(1);
    proc->PostFrame(Framed(0x05), true);
    while (proc->Notes().size() < 3)
        std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(WaitUntil([&] { return proc == nullptr; }));
    Pump(30ms);
    EXPECT_EQ(owner.EventCount(USB_EVT_TIMEOUT), 1);
    EXPECT_EQ(owner.messages, 1);
}

TEST(LUsbProcThreads, MessagesQueuedForADeletedProcessorAreDropped) {
    FakeOwner owner;
    auto* proc = new CountingProc(&owner);
    ASSERT_TRUE(proc->Open());
    proc->SetPollSuppressed(true);
    proc->SetWaitTime(1);
    proc->PostFrame(Framed(0x05), true);
    // Time-out notices pile up while this thread does not run its loop.
    while (proc->Notes().size() < 3)
        std::this_thread::sleep_for(2ms);
    proc->Close();
    delete proc;
    Pump(30ms);
    EXPECT_EQ(owner.messages, 0);
}

TEST(LUsbProcThreads, CloseAtRandomMoments) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 120; ++round) {
        FakeOwner owner;
        auto* proc = new LUsbProc(&owner);
        EchoDevice device(proc, round % 2 == 0);
        owner.device = [&](const BSTM& f) { device.OnWrite(f); };
        const int how = static_cast<int>(rng() % 3);
        const std::size_t closeAt = rng() % 6;
        bool closedInside = false;
        owner.onAnswer = [&](const BSTM&) {
            if (proc == nullptr) return;
            proc->PostFrame(round % 2 == 0 ? Framed(0x40) : BSTM(70, 1), true);
            if (how == 2 && owner.answers.size() > closeAt) {
                proc->Close();
                closedInside = !proc->IsRunning();
                device.Stop();
                delete proc;
                proc = nullptr;
            }
        };
        ASSERT_TRUE(proc->Open());
        proc->SetPollSuppressed(true);
        proc->PostFrame(round % 2 == 0 ? Framed(0x40) : BSTM(70, 1), true);
        proc->PostFrame(round % 2 == 0 ? Framed(0x41) : BSTM(70, 2), true);
        if (how == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
        } else {
            const auto until = Clock::now() + std::chrono::microseconds(rng() % 5000);
            WaitUntil([&] { return proc == nullptr || Clock::now() >= until; });
        }
        if (how == 2) {
            ASSERT_TRUE(WaitUntil([&] { return proc == nullptr; }));
        }
        if (proc != nullptr) {
            proc->Close();
            EXPECT_FALSE(proc->IsRunning());
            device.Stop();
            delete proc;
            proc = nullptr;
        } else {
            EXPECT_TRUE(closedInside);
        }
        const int before = owner.messages;
        Pump(2ms);
        EXPECT_EQ(owner.messages, before) << "round " << round;
        EXPECT_EQ(owner.EventCount(USB_EVT_STOP_TIMEOUT), 0);
    }
}

}  // namespace
