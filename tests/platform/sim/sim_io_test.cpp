// Report reads on the simulated bus: synchronous, overlapped completed in SleepEx, removal,
// cancel, the queue bound, and several threads at once.
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/platform/sim/sim_test_util.h"

using simtest::SimBusTest;

namespace {

struct Completion {
    int calls = 0;
    DWORD error = 0;
    DWORD bytes = 0;
    OVERLAPPED* overlapped = nullptr;
};
thread_local Completion lastCompletion;

void onComplete(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
    ++lastCompletion.calls;
    lastCompletion.error = error;
    lastCompletion.bytes = bytes;
    lastCompletion.overlapped = overlapped;
}

// Waits alertably as the reader thread does, up to a generous bound.
bool waitForCompletion() {
    for (int i = 0; i < 200; ++i)
        if (SleepEx(100, 1) == WAIT_IO_COMPLETION) return true;
    return false;
}

}  // namespace

TEST_F(SimBusTest, SynchronousReadsBlockUntilReportOrRemoval) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    HANDLE h = open(id, GENERIC_READ | GENERIC_WRITE);
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        send(id, {0, 1, 2, 3});
    });
    uint8_t in[65] = {};
    DWORD done = 0;
    ASSERT_TRUE(ReadFile(h, in, sizeof in, &done, nullptr));
    device.join();
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(in[3], 3);

    // A report longer than the buffer is cut to it.
    send(id, {0, 9, 8, 7, 6});
    uint8_t small[2] = {};
    ASSERT_TRUE(ReadFile(h, small, sizeof small, &done, nullptr));
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(small[1], 9);

    OVERLAPPED ov{};
    EXPECT_FALSE(ReadFile(h, in, sizeof in, &done, &ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    std::thread unplugger([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        bus().unplug(id);
    });
    EXPECT_FALSE(ReadFile(h, in, sizeof in, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    unplugger.join();
    // Later reads fail at once, they do not block.
    EXPECT_FALSE(ReadFile(h, in, sizeof in, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SimBusTest, OverlappedReadCompletesInsideAlertableSleep) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    HANDLE h = openOverlappedReader(id);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint8_t report[65];
    OVERLAPPED ov{};
    lastCompletion = {};
    ASSERT_TRUE(ReadFileEx(h, report, sizeof report, &ov, &onComplete));

    // Nothing yet: the wait times out and the result is incomplete.
    EXPECT_EQ(SleepEx(10, 1), 0u);
    DWORD done = 99;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &done, 0));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(lastCompletion.calls, 0);

    std::thread device([&] { send(id, {0, 0xA5, 0x5A}); });
    ASSERT_TRUE(waitForCompletion());
    device.join();
    EXPECT_EQ(lastCompletion.calls, 1);
    EXPECT_EQ(lastCompletion.error, ERROR_SUCCESS);
    EXPECT_EQ(lastCompletion.bytes, 3u);
    EXPECT_EQ(lastCompletion.overlapped, &ov);
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &done, 0));
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(report[0], 0);  // report ID first
    EXPECT_EQ(report[1], 0xA5);

    // A report already queued completes the next read at the next alertable wait, and a
    // plain (non-alertable) sleep runs no routine.
    send(id, {0, 0x11});
    ASSERT_TRUE(ReadFileEx(h, report, sizeof report, &ov, &onComplete));
    EXPECT_EQ(SleepEx(1, 0), 0u);
    EXPECT_EQ(lastCompletion.calls, 1);
    EXPECT_EQ(SleepEx(0, 1), WAIT_IO_COMPLETION);
    EXPECT_EQ(lastCompletion.calls, 2);
    EXPECT_EQ(report[1], 0x11);

    // Overlapped reads need an overlapped handle with read access.
    HANDLE sync = open(id, GENERIC_READ);
    EXPECT_FALSE(ReadFileEx(sync, report, sizeof report, &ov, &onComplete));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE writer = open(id, GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    EXPECT_FALSE(ReadFileEx(writer, report, sizeof report, &ov, &onComplete));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(SimBusTest, OverlappedWriteReportsItsRoutineInSleep) {
    simtest::Recorder rec;
    const auto id = bus().plug(simtest::runDevice(), rec.handler());
    HANDLE h = open(id, GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    uint8_t report[65] = {0, 7};
    OVERLAPPED ov{};
    lastCompletion = {};
    ASSERT_TRUE(WriteFileEx(h, report, sizeof report, &ov, &onComplete));
    EXPECT_EQ(rec.count(), 1u);
    DWORD done = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &done, 0));
    EXPECT_EQ(done, 65u);
    EXPECT_EQ(SleepEx(0, 1), WAIT_IO_COMPLETION);
    EXPECT_EQ(lastCompletion.bytes, 65u);
}

TEST_F(SimBusTest, RemovalCompletesPendingReadAndLaterReadsFailAtOnce) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    HANDLE h = openOverlappedReader(id);
    uint8_t report[65];
    OVERLAPPED ov{};
    lastCompletion = {};
    ASSERT_TRUE(ReadFileEx(h, report, sizeof report, &ov, &onComplete));
    std::thread unplugger([&] { bus().unplug(id); });
    ASSERT_TRUE(waitForCompletion());
    unplugger.join();
    EXPECT_EQ(lastCompletion.error, ERROR_DEVICE_NOT_CONNECTED);
    DWORD done = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &done, 0));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    // The next read is failed, not left hanging: the reader sees the error and stops.
    ASSERT_TRUE(ReadFileEx(h, report, sizeof report, &ov, &onComplete));
    EXPECT_EQ(SleepEx(0, 1), WAIT_IO_COMPLETION);
    EXPECT_EQ(lastCompletion.calls, 2);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &done, 0));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SimBusTest, CancelledReadGivesUpItsReportAndRunsNoRoutine) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    HANDLE h = openOverlappedReader(id);
    auto buffer = std::make_unique<uint8_t[]>(65);
    OVERLAPPED ov{};
    lastCompletion = {};
    ASSERT_TRUE(ReadFileEx(h, buffer.get(), 65, &ov, &onComplete));
    ASSERT_TRUE(CancelIo(h));
    DWORD done = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &done, 0));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    buffer.reset();  // the caller may free the buffer once cancelled

    send(id, {0, 0x77});
    EXPECT_EQ(SleepEx(0, 1), 0u);
    EXPECT_EQ(lastCompletion.calls, 0);
    // The report went to the queue, not to the cancelled read.
    uint8_t report[65];
    ASSERT_TRUE(ReadFileEx(h, report, sizeof report, &ov, &onComplete));
    EXPECT_EQ(SleepEx(0, 1), WAIT_IO_COMPLETION);
    EXPECT_EQ(report[1], 0x77);

    // CancelIo touches only the calling thread's reads.
    ASSERT_TRUE(ReadFileEx(h, report, sizeof report, &ov, &onComplete));
    std::thread other([&] { EXPECT_TRUE(CancelIo(h)); });
    other.join();
    send(id, {0, 0x78});
    EXPECT_TRUE(waitForCompletion());
    EXPECT_EQ(report[1], 0x78);
}

TEST_F(SimBusTest, ReaderThreadThatEndsLosesNoReport) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    HANDLE h = openOverlappedReader(id);
    std::thread([&] {
        static uint8_t report[65];
        static OVERLAPPED ov{};
        ASSERT_TRUE(ReadFileEx(h, report, sizeof report, &ov, &onComplete));
    }).join();
    send(id, {0, 0x31});
    uint8_t report[65];
    OVERLAPPED ov{};
    ASSERT_TRUE(ReadFileEx(h, report, sizeof report, &ov, &onComplete));
    EXPECT_EQ(SleepEx(0, 1), WAIT_IO_COMPLETION);
    EXPECT_EQ(report[1], 0x31);
}

TEST_F(SimBusTest, ClosingTheHandleAbortsItsReads) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    HANDLE h = CreateFile(bus().devicePath(id).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    uint8_t report[65];
    OVERLAPPED ov{};
    lastCompletion = {};
    ASSERT_TRUE(ReadFileEx(h, report, sizeof report, &ov, &onComplete));
    std::thread closer([&] { EXPECT_TRUE(CloseHandle(h)); });
    closer.join();
    EXPECT_TRUE(waitForCompletion());
    EXPECT_EQ(lastCompletion.error, ERROR_OPERATION_ABORTED);

    HANDLE h2 = open(id, GENERIC_READ);
    std::thread closer2([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        CloseHandle(h2);
    });
    DWORD done = 0;
    EXPECT_FALSE(ReadFile(h2, report, sizeof report, &done, nullptr));
    closer2.join();
}

TEST_F(SimBusTest, QueueHoldsSixtyFourReportsPerHandleAndDropsNewOnes) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    HANDLE first = open(id, GENERIC_READ);
    HANDLE second = open(id, GENERIC_READ);
    for (int i = 0; i < 70; ++i)
        send(id, {0, static_cast<uint8_t>(i)});
    // Every handle has its own copy; the oldest 64 are kept in order.
    for (HANDLE h : {first, second}) {
        for (int i = 0; i < 64; ++i) {
            uint8_t in[2] = {};
            DWORD done = 0;
            ASSERT_TRUE(ReadFile(h, in, sizeof in, &done, nullptr));
            ASSERT_EQ(in[1], i);
        }
    }
    send(id, {0, 0xFF});
    uint8_t in[2] = {};
    DWORD done = 0;
    ASSERT_TRUE(ReadFile(first, in, sizeof in, &done, nullptr));
    EXPECT_EQ(in[1], 0xFF);
    // FlushQueue empties one handle's queue only.
    send(id, {0, 0x01});
    EXPECT_TRUE(HidD_FlushQueue(first));
    send(id, {0, 0x02});
    ASSERT_TRUE(ReadFile(first, in, sizeof in, &done, nullptr));
    EXPECT_EQ(in[1], 0x02);
    ASSERT_TRUE(ReadFile(second, in, sizeof in, &done, nullptr));
    EXPECT_EQ(in[1], 0xFF);
    EXPECT_FALSE(bus().sendInput(id, nullptr, 0));
    EXPECT_FALSE(bus().sendInput(12345, in, sizeof in));
}

// The HID layer's pattern at full load: a reader thread in SleepEx, a worker writing, the
// device answering from its own thread, another thread enumerating, devices coming and going.
TEST_F(SimBusTest, ConcurrentWritersReadersAndEnumeration) {
    std::atomic<int> outputs{0};
    simbus::DeviceId id = 0;
    id = bus().plug(simtest::runDevice(), [&](const uint8_t* report, std::size_t length) {
        ++outputs;
        if (length > 2) bus().sendInput(id, report, 3);  // echo the sequence number
    });
    HANDLE reader = openOverlappedReader(id);
    std::atomic<bool> stop{false};
    std::atomic<int> received{0};
    std::thread readThread([&] {
        uint8_t report[65];
        OVERLAPPED ov{};
        int last = -1;
        while (!stop) {
            std::memset(report, 0, sizeof report);
            if (!ReadFileEx(reader, report, sizeof report, &ov, &onComplete)) break;
            while (!stop && SleepEx(20, 1) != WAIT_IO_COMPLETION) {
            }
            if (stop) break;
            DWORD done = 0;
            if (GetOverlappedResult(reader, &ov, &done, 0) && done == 3) {
                // Reports from one writer arrive in order.
                if (report[1] == 0) {
                    EXPECT_GT(report[2], last);
                    last = report[2];
                }
                ++received;
            }
        }
        CancelIo(reader);
    });
    std::vector<std::thread> writers;
    std::atomic<int> sent{0};
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&, w] {
            HANDLE h = CreateFile(bus().devicePath(id).c_str(), GENERIC_WRITE, 3, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            for (int i = 0; i < 100; ++i) {
                // Stay well inside the queue bound so that no answer is dropped.
                while (sent - received > 32)
                    std::this_thread::yield();
                ++sent;
                uint8_t report[65] = {0, static_cast<uint8_t>(w), static_cast<uint8_t>(i)};
                DWORD done = 0;
                EXPECT_TRUE(WriteFile(h, report, sizeof report, &done, nullptr));
            }
            CloseHandle(h);
        });
    }
    std::thread churn([&] {
        for (int i = 0; i < 20; ++i) {
            const auto other = bus().plug(simtest::runDevice(), nullptr);
            const GUID guid = [] {
                GUID g;
                HidD_GetHidGuid(&g);
                return g;
            }();
            HDEVINFO set = SetupDiGetClassDevs(&guid, nullptr, nullptr, 0x12);
            SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
            for (DWORD k = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, k, &data); ++k) {
            }
            SetupDiDestroyDeviceInfoList(set);
            bus().unplug(other);
        }
    });
    for (auto& t : writers)
        t.join();
    churn.join();
    EXPECT_EQ(outputs, 300);
    for (int i = 0; i < 3000 && received < 300; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    readThread.join();
    EXPECT_EQ(received, 300);
}

TEST_F(SimBusTest, ReusedRecordEndsTheEarlierRead) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    HANDLE h = openOverlappedReader(id);
    uint8_t first[65] = {}, second[65] = {};
    OVERLAPPED ov{};
    lastCompletion = {};
    ASSERT_TRUE(ReadFileEx(h, first, sizeof first, &ov, &onComplete));
    ASSERT_TRUE(ReadFileEx(h, second, sizeof second, &ov, &onComplete));
    send(id, {0, 0x66});
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(lastCompletion.calls, 1);
    EXPECT_EQ(second[1], 0x66);
    EXPECT_EQ(first[1], 0);
    EXPECT_EQ(SleepEx(0, 1), 0u);
}
