// Report I/O on hidraw nodes: report IDs both ways, short reports, one write per report,
// overlapped reads polled in SleepEx, removal during a pending read, cancel and close, feature
// ioctl failures.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "tests/platform/hidraw/hidraw_test_util.h"

using hidrawtest::FakeDevice;
using hidrawtest::HidrawTest;
using hidrawtest::NodeKind;

namespace {

struct Completion {
    int calls = 0;
    DWORD error = 0;
    DWORD bytes = 0;
};
thread_local Completion completion;

void onComplete(DWORD error, DWORD bytes, OVERLAPPED*) {
    ++completion.calls;
    completion.error = error;
    completion.bytes = bytes;
}

bool waitForCompletion() {
    for (int i = 0; i < 200; ++i)
        if (SleepEx(100, 1) == WAIT_IO_COMPLETION) return true;
    return false;
}

FakeDevice device(int reportId, NodeKind node = NodeKind::Fifo) {
    FakeDevice d;
    d.descriptor = testsupport::ProductDescriptor(static_cast<uint8_t>(reportId));
    d.node = node;
    return d;
}

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

}  // namespace

TEST_F(HidrawTest, ShortReportsArePaddedAndUnnumberedOnesGetReportIdZeroFirst) {
    tree().add(0, device(0));
    HANDLE h = open(0, GENERIC_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // The kernel leaves out an unnumbered ID, and passes on only the 3 bytes the device sent:
    // the caller gets the report's declared length, zero padded.
    tree().write(0, bytes({0x11, 0x22, 0x33}));
    uint8_t in[70];
    std::memset(in, 0xEE, sizeof in);
    DWORD done = 0;
    ASSERT_TRUE(ReadFile(h, in, sizeof in, &done, nullptr));
    EXPECT_EQ(done, 65u);
    EXPECT_EQ(in[0], 0);
    EXPECT_EQ(in[1], 0x11);
    EXPECT_EQ(in[3], 0x33);
    EXPECT_EQ(in[4], 0);
    EXPECT_EQ(in[64], 0);
    EXPECT_EQ(in[65], 0xEE);

    // Report IDs are numbered per report type: numbered feature reports beside unnumbered
    // input reports leave the input reports' first byte as data. (The feature report's ID is
    // pushed and popped, so the input report after it has none.)
    FakeDevice mixed = device(0);
    mixed.descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF,
                        0x00, 0x75, 0x08, 0xA4, 0x85, 0x03, 0x95, 0x08, 0x09, 0x03, 0xB1,
                        0x02, 0xB4, 0x95, 0x40, 0x09, 0x02, 0x81, 0x02, 0xC0};
    tree().add(2, mixed);
    HANDLE h2 = open(2, GENERIC_READ);
    tree().write(2, bytes({0x03, 0x44}));
    ASSERT_TRUE(ReadFile(h2, in, sizeof in, &done, nullptr));
    EXPECT_EQ(done, 65u);
    EXPECT_EQ(in[0], 0);
    EXPECT_EQ(in[1], 0x03);
    EXPECT_EQ(in[2], 0x44);

    // A data byte that looks like a Report ID item does not make reports numbered.
    FakeDevice tricky = device(0);
    tricky.descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x25,
                         0x85, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0xC0};
    tree().add(1, tricky);
    HANDLE h1 = open(1, GENERIC_READ);
    tree().write(1, bytes({0x85, 0x01}));
    ASSERT_TRUE(ReadFile(h1, in, sizeof in, &done, nullptr));
    EXPECT_EQ(done, 3u);  // its input report is 2 bytes
    EXPECT_EQ(in[0], 0);
    EXPECT_EQ(in[1], 0x85);
}

TEST_F(HidrawTest, NumberedReportsKeepTheirId) {
    tree().add(0, device(5));
    HANDLE h = open(0, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    uint8_t in[65] = {};
    OVERLAPPED ov{};
    completion = {};
    ASSERT_TRUE(ReadFileEx(h, in, sizeof in, &ov, &onComplete));
    tree().write(0, bytes({5, 0xAA, 0xBB}));
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(completion.error, ERROR_SUCCESS);
    EXPECT_EQ(completion.bytes, 65u);
    DWORD done = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &done, 0));
    EXPECT_EQ(done, 65u);
    EXPECT_EQ(in[0], 5);
    EXPECT_EQ(in[1], 0xAA);
}

TEST_F(HidrawTest, WritesGoOutReportIdFirst) {
    tree().add(0, device(0, NodeKind::File));
    HANDLE h = open(0, GENERIC_WRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> report(65, 0);
    report[1] = 0x10;
    report[64] = 0x7F;
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, report.data(), 65, &done, nullptr));
    EXPECT_EQ(done, 65u);
    EXPECT_EQ(tree().written(0), report);

    // A fresh handle writes from the start of the stand-in file again.
    HANDLE w = open(0, GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};
    completion = {};
    report[1] = 0x20;
    ASSERT_TRUE(WriteFileEx(w, report.data(), 65, &ov, &onComplete));
    EXPECT_EQ(SleepEx(0, 1), WAIT_IO_COMPLETION);
    EXPECT_EQ(completion.bytes, 65u);
    EXPECT_EQ(tree().written(0), report);

    // A read-only handle can not write.
    HANDLE r = open(0, GENERIC_READ);
    EXPECT_FALSE(WriteFile(r, report.data(), 65, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(HidrawTest, AWriteIsOneReportAndItsFailureDoesNotEndTheDevice) {
    // A write the node takes only in part fails at once; the rest never follows as a report of
    // its own. (A FIFO with little room left stands in for a device taking part of a report.)
    tree().add(0, device(0));
    HANDLE h = open(0, GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const int drain = ::open(tree().nodePath(0).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(drain, 0);
    // Room for one more page of the report, not for all of it.
    const int capacity = ::fcntl(drain, F_GETPIPE_SZ);
    ASSERT_GE(capacity, 16384);
    const auto fill = static_cast<std::size_t>(capacity) - 5536;
    tree().write(0, std::vector<uint8_t>(fill, 0x55));
    std::vector<uint8_t> big(16384, 0xA5);
    DWORD done = 7;
    EXPECT_FALSE(WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    EXPECT_EQ(done, 0u);
    std::vector<uint8_t> chunk(65536);
    std::size_t drained = 0;
    std::size_t tail = 0;
    for (;;) {
        const ssize_t n = ::read(drain, chunk.data(), chunk.size());
        if (n <= 0) break;
        drained += static_cast<std::size_t>(n);
        tail += static_cast<std::size_t>(std::count(chunk.begin(), chunk.begin() + n, 0xA5));
    }
    EXPECT_GT(tail, 0u);
    EXPECT_LT(tail, big.size());
    EXPECT_EQ(drained, fill + tail);
    // The next report goes out whole.
    std::vector<uint8_t> report(65, 0x21);
    ASSERT_TRUE(WriteFile(h, report.data(), 65, &done, nullptr));
    EXPECT_EQ(done, 65u);
    EXPECT_EQ(::read(drain, chunk.data(), chunk.size()), 65);
    ::close(drain);

    // A transfer the device refuses (a stalled endpoint, EPIPE; here a FIFO nobody reads)
    // fails that report only: the handle is not given up as removed.
    std::signal(SIGPIPE, SIG_IGN);
    tree().add(1, device(0));
    int reader = ::open(tree().nodePath(1).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    HANDLE w = open(1, GENERIC_WRITE);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    ::close(reader);
    EXPECT_FALSE(WriteFile(w, report.data(), 65, &done, nullptr));
    EXPECT_NE(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    reader = ::open(tree().nodePath(1).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(WriteFile(w, report.data(), 65, &done, nullptr));
    EXPECT_EQ(::read(reader, chunk.data(), chunk.size()), 65);
    ::close(reader);
}

TEST_F(HidrawTest, OverlappedReadWaitsInSleepExAndRemovalEndsIt) {
    tree().add(0, device(0));
    HANDLE h = open(0, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    uint8_t in[65];
    OVERLAPPED ov{};
    completion = {};
    ASSERT_TRUE(ReadFileEx(h, in, sizeof in, &ov, &onComplete));
    tree().write(0, bytes({1}));
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(completion.bytes, 65u);

    // Pending with nothing to read: the wait times out.
    ASSERT_TRUE(ReadFileEx(h, in, sizeof in, &ov, &onComplete));
    EXPECT_EQ(SleepEx(20, 1), 0u);
    DWORD done = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &done, 0));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    // The device goes away under the pending read.
    std::thread remover([&] { tree().removeNode(0); });
    remover.join();
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(completion.error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &done, 0));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    // Later reads fail at once, and the hung-up node is not polled again: an alertable wait
    // with no read started just times out.
    ASSERT_TRUE(ReadFileEx(h, in, sizeof in, &ov, &onComplete));
    EXPECT_EQ(SleepEx(0, 1), WAIT_IO_COMPLETION);
    EXPECT_EQ(completion.error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(SleepEx(20, 1), 0u);
    EXPECT_FALSE(ReadFile(h, in, sizeof in, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(HidrawTest, CancelAndCloseEndPendingReads) {
    tree().add(0, device(0));
    HANDLE h = open(0, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    uint8_t in[65];
    OVERLAPPED ov{};
    completion = {};
    ASSERT_TRUE(ReadFileEx(h, in, sizeof in, &ov, &onComplete));
    ASSERT_TRUE(CancelIo(h));
    DWORD done = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &done, 0));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    // The report is left for the next read.
    tree().write(0, bytes({0x42}));
    EXPECT_EQ(SleepEx(20, 1), 0u);
    EXPECT_EQ(completion.calls, 0);
    ASSERT_TRUE(ReadFileEx(h, in, sizeof in, &ov, &onComplete));
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(in[1], 0x42);

    // Closing from another thread ends both a pending and a blocked read.
    HANDLE o = CreateFile(tree().nodePath(0).c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_TRUE(ReadFileEx(o, in, sizeof in, &ov, &onComplete));
    std::thread([&] { CloseHandle(o); }).join();
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(completion.error, ERROR_OPERATION_ABORTED);

    HANDLE s =
        CreateFile(tree().nodePath(0).c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        CloseHandle(s);
    });
    EXPECT_FALSE(ReadFile(s, in, sizeof in, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    closer.join();
}

TEST_F(HidrawTest, FeatureIoctlOnANonHidrawNodeFails) {
    tree().add(0, device(0, NodeKind::File));
    HANDLE h = open(0, GENERIC_READ | GENERIC_WRITE);
    uint8_t feature[9] = {0};
    EXPECT_FALSE(HidD_GetFeature(h, feature, sizeof feature));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(HidD_SetFeature(h, feature, sizeof feature));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(HidD_GetFeature(h, feature, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(HidrawTest, ReaderAndWriterThreadsTogether) {
    tree().add(0, device(0));
    HANDLE h = open(0, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    std::atomic<int> received{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint8_t in[65];
        OVERLAPPED ov{};
        while (!stop) {
            if (!ReadFileEx(h, in, sizeof in, &ov, &onComplete)) break;
            while (!stop && SleepEx(20, 1) != WAIT_IO_COMPLETION) {
            }
            DWORD done = 0;
            if (!stop && GetOverlappedResult(h, &ov, &done, 0) && done == 65 && in[1] == received)
                ++received;
        }
        CancelIo(h);
    });
    for (int i = 0; i < 50; ++i) {
        // One report in flight at a time: a FIFO does not keep report boundaries.
        tree().write(0, bytes({i}));
        for (int k = 0; k < 1000 && received <= i; ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(received, i + 1);
    }
    stop = true;
    reader.join();
}
