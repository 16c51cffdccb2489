// Handles, the per-thread last error and the device file entry points: synchronous I/O and
// overlapped reads that complete inside the starting thread's alertable SleepEx.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "platform/common/backend.h"

namespace velto::platform {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// Marks a record whose operation is still running.
constexpr uintptr_t kStatusPending = 0x103;

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects;
    uintptr_t next = 0x1000;
};

// Never destroyed: a thread still running at exit may close a handle.
HandleTable& handles() {
    static auto* table = new HandleTable;
    return *table;
}

}  // namespace

void setError(DWORD code) {
    lastError = code;
}

void* registerHandle(std::shared_ptr<HandleObject> object) {
    auto& table = handles();
    std::lock_guard lock(table.mutex);
    const uintptr_t value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<void*>(value);
}

std::shared_ptr<HandleObject> lookupHandle(void* handle) {
    auto& table = handles();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == table.objects.end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> releaseHandle(void* handle) {
    auto& table = handles();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end()) return nullptr;
    auto object = std::move(it->second);
    table.objects.erase(it);
    return object;
}

// The overlapped operations a thread started and has not collected yet.
class ThreadIo {
  public:
    ThreadIo() : wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~ThreadIo() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
    ThreadIo(const ThreadIo&) = delete;
    ThreadIo& operator=(const ThreadIo&) = delete;

    void wake() {
        if (wakeFd < 0) return;
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
    void drainWake() {
        uint64_t value = 0;
        [[maybe_unused]] ssize_t n = ::read(wakeFd, &value, sizeof value);
    }

    std::mutex mutex;
    std::vector<std::shared_ptr<IoOp>> ops;         // started, not collected
    std::deque<std::shared_ptr<IoOp>> completions;  // done, routine not yet run
    const int wakeFd;
};

namespace {

// Owns the calling thread's ThreadIo; a thread that ends abandons its reads, so that no
// report is handed to a read nobody will collect.
struct ThreadIoHolder {
    std::shared_ptr<ThreadIo> io = std::make_shared<ThreadIo>();
    ~ThreadIoHolder() {
        std::vector<std::shared_ptr<IoOp>> ops;
        {
            std::lock_guard lock(io->mutex);
            ops = io->ops;
        }
        for (auto& op : ops) {
            if (op->file) op->file->removePending(op);
            completeOp(op, ERROR_OPERATION_ABORTED, nullptr, 0);
        }
        std::lock_guard lock(io->mutex);
        for (auto& op : io->ops)
            op->file.reset();
        io->ops.clear();
        io->completions.clear();
    }
};

std::shared_ptr<ThreadIo> currentThreadIo() {
    thread_local ThreadIoHolder holder;
    return holder.io;
}

// Writes the result into the caller's buffer and record. Runs on the starting thread only.
void collect(IoOp& op) {
    {
        std::lock_guard lock(op.thread->mutex);
        if (op.collected) return;
        op.collected = true;
    }
    if (!op.data.empty() && op.buffer) std::memcpy(op.buffer, op.data.data(), op.data.size());
    if (op.overlapped) {
        op.overlapped->Internal = op.error;
        op.overlapped->InternalHigh = op.bytes;
    }
}

void forget(ThreadIo& io, const std::shared_ptr<IoOp>& op) {
    std::lock_guard lock(io.mutex);
    io.ops.erase(std::remove(io.ops.begin(), io.ops.end(), op), io.ops.end());
    io.completions.erase(std::remove(io.completions.begin(), io.completions.end(), op),
                         io.completions.end());
    op->file.reset();
}

// Runs the routines of every completed operation; true when there was one.
bool deliverCompletions(ThreadIo& io) {
    std::deque<std::shared_ptr<IoOp>> ready;
    {
        std::lock_guard lock(io.mutex);
        ready.swap(io.completions);
    }
    for (auto& op : ready) {
        collect(*op);
        forget(io, op);
        if (op->routine) op->routine(op->error, op->bytes, op->overlapped);
    }
    return !ready.empty();
}

// One wait of at most timeoutMs (-1: no limit) for a completion or for one of the thread's
// polled reads to become ready.
void waitOnce(ThreadIo& io, int timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<IoOp>> polled;
    fds.push_back({io.wakeFd, POLLIN, 0});
    {
        std::lock_guard lock(io.mutex);
        if (!io.completions.empty()) return;
        for (auto& op : io.ops) {
            if (op->done || !op->file) continue;
            const int fd = op->file->pollFd();
            if (fd < 0) continue;
            fds.push_back({fd, POLLIN, 0});
            polled.push_back(op);
        }
    }
    const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    if (ready <= 0) return;
    if (fds[0].revents) io.drainWake();
    for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        auto& op = polled[i - 1];
        std::shared_ptr<DeviceFile> file;
        {
            std::lock_guard lock(io.mutex);
            file = op->file;
        }
        if (file) file->serviceRead(op, fds[i].revents);
    }
}

std::shared_ptr<IoOp> findOp(ThreadIo& io, const OVERLAPPED* overlapped) {
    std::lock_guard lock(io.mutex);
    for (auto& op : io.ops)
        if (op->overlapped == overlapped) return op;
    return nullptr;
}

std::shared_ptr<DeviceFile> fileOf(HANDLE handle) {
    auto file = lookupAs<DeviceFile>(handle);
    if (!file) setError(ERROR_INVALID_HANDLE);
    return file;
}

std::shared_ptr<IoOp> newOp(const std::shared_ptr<DeviceFile>& file, void* buffer, DWORD size,
                            OVERLAPPED* overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    auto io = currentThreadIo();
    // A record reused while its earlier operation is outstanding ends that operation: it
    // takes no report and runs no routine, since its record now belongs to the new one.
    std::vector<std::shared_ptr<IoOp>> stale;
    {
        std::lock_guard lock(io->mutex);
        for (auto& old : io->ops)
            if (old->overlapped == overlapped) stale.push_back(old);
    }
    for (auto& old : stale) {
        std::shared_ptr<DeviceFile> oldFile;
        {
            std::lock_guard lock(io->mutex);
            oldFile = old->file;
        }
        if (oldFile) oldFile->removePending(old);
        forget(*io, old);
    }
    auto op = std::make_shared<IoOp>();
    op->overlapped = overlapped;
    op->buffer = static_cast<uint8_t*>(buffer);
    op->size = size;
    op->routine = routine;
    op->thread = io;
    op->file = file;
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    std::lock_guard lock(io->mutex);
    io->ops.push_back(op);
    return op;
}

}  // namespace

void completeOp(const std::shared_ptr<IoOp>& op, DWORD error, const uint8_t* data,
                std::size_t length) {
    auto& io = *op->thread;
    {
        std::lock_guard lock(io.mutex);
        if (op->done) return;
        op->done = true;
        op->error = error;
        const std::size_t n = std::min<std::size_t>(length, op->size);
        if (data && n) op->data.assign(data, data + n);
        op->bytes = static_cast<DWORD>(n);
        if (std::find(io.ops.begin(), io.ops.end(), op) != io.ops.end())
            io.completions.push_back(op);
    }
    io.wake();
}

bool DeviceFile::indexedString(ULONG, std::u16string&) {
    setError(ERROR_INVALID_PARAMETER);
    return false;
}

void DeviceFile::close() {
    for (auto& op : takeAllPending())
        completeOp(op, ERROR_OPERATION_ABORTED, nullptr, 0);
}

bool DeviceFile::removePending(const std::shared_ptr<IoOp>& op) {
    std::lock_guard lock(mutex_);
    auto it = std::find(pending_.begin(), pending_.end(), op);
    if (it == pending_.end()) return false;
    pending_.erase(it);
    return true;
}

std::deque<std::shared_ptr<IoOp>> DeviceFile::takeAllPending() {
    std::lock_guard lock(mutex_);
    std::deque<std::shared_ptr<IoOp>> all;
    all.swap(pending_);
    return all;
}

}  // namespace velto::platform

using namespace velto::platform;

extern "C" {

DWORD GetLastError(void) {
    return velto::platform::lastError;
}
void SetLastError(DWORD code) {
    velto::platform::lastError = code;
}

HANDLE CreateFile(const char* path, DWORD access, DWORD, void*, DWORD disposition, DWORD flags,
                  HANDLE) {
    if (!path || (disposition != OPEN_EXISTING && disposition != 0)) {
        setError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto file = backend().open(path, access, flags);
    if (!file) return INVALID_HANDLE_VALUE;
    setError(ERROR_SUCCESS);
    return registerHandle(std::move(file));
}

BOOL QueryDeviceAccess(const char* path, DWORD access) {
    if (!path) return fail(ERROR_INVALID_PARAMETER);
    if (!backend().checkAccess(path, access)) return 0;
    setError(ERROR_SUCCESS);
    return 1;
}

BOOL CloseHandle(HANDLE handle) {
    auto object = releaseHandle(handle);
    if (!object) return fail(ERROR_INVALID_HANDLE);
    if (auto file = std::dynamic_pointer_cast<DeviceFile>(object)) file->close();
    return 1;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped) {
    if (done) *done = 0;
    auto file = fileOf(handle);
    if (!file) return 0;
    if (overlapped || (!buffer && size)) return fail(ERROR_INVALID_PARAMETER);
    if (!file->canRead()) return fail(ERROR_ACCESS_DENIED);
    DWORD n = 0;
    if (!file->readSync(static_cast<uint8_t*>(buffer), size, n)) return 0;
    if (done) *done = n;
    return 1;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped) {
    if (done) *done = 0;
    auto file = fileOf(handle);
    if (!file) return 0;
    if (overlapped || !buffer || size == 0) return fail(ERROR_INVALID_PARAMETER);
    if (!file->canWrite()) return fail(ERROR_ACCESS_DENIED);
    DWORD n = 0;
    if (!file->write(static_cast<const uint8_t*>(buffer), size, n)) return 0;
    if (done) *done = n;
    return 1;
}

BOOL ReadFileEx(HANDLE handle, void* buffer, DWORD size, OVERLAPPED* overlapped,
                LPOVERLAPPED_COMPLETION_ROUTINE completion) {
    auto file = fileOf(handle);
    if (!file) return 0;
    if (!overlapped || !buffer || size == 0 || !file->overlapped())
        return fail(ERROR_INVALID_PARAMETER);
    if (!file->canRead()) return fail(ERROR_ACCESS_DENIED);
    file->startRead(newOp(file, buffer, size, overlapped, completion));
    setError(ERROR_SUCCESS);
    return 1;
}

BOOL WriteFileEx(HANDLE handle, const void* buffer, DWORD size, OVERLAPPED* overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE completion) {
    auto file = fileOf(handle);
    if (!file) return 0;
    if (!overlapped || !buffer || size == 0 || !file->overlapped())
        return fail(ERROR_INVALID_PARAMETER);
    if (!file->canWrite()) return fail(ERROR_ACCESS_DENIED);
    // Reports are small: the write is done at once, only its routine waits for SleepEx.
    DWORD n = 0;
    if (!file->write(static_cast<const uint8_t*>(buffer), size, n)) return 0;
    auto op = newOp(file, const_cast<void*>(buffer), 0, overlapped, completion);
    completeOp(op, ERROR_SUCCESS, nullptr, 0);
    std::lock_guard lock(op->thread->mutex);
    op->bytes = n;
    return 1;
}

BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* done, BOOL wait) {
    if (done) *done = 0;
    if (!overlapped) return fail(ERROR_INVALID_PARAMETER);
    if (!lookupHandle(handle)) return fail(ERROR_INVALID_HANDLE);
    auto io = currentThreadIo();
    if (auto op = findOp(*io, overlapped)) {
        for (;;) {
            {
                std::lock_guard lock(io->mutex);
                if (op->done) break;
            }
            if (!wait) return fail(ERROR_IO_INCOMPLETE);
            waitOnce(*io, 50);
        }
        collect(*op);
    } else if (overlapped->Internal == kStatusPending) {
        // Started on another thread: only that thread can collect it.
        return fail(ERROR_IO_INCOMPLETE);
    }
    const auto error = static_cast<DWORD>(overlapped->Internal);
    if (error != ERROR_SUCCESS) return fail(error);
    if (done) *done = static_cast<DWORD>(overlapped->InternalHigh);
    return 1;
}

BOOL CancelIo(HANDLE handle) {
    auto file = fileOf(handle);
    if (!file) return 0;
    auto io = currentThreadIo();
    std::vector<std::shared_ptr<IoOp>> mine;
    {
        std::lock_guard lock(io->mutex);
        for (auto& op : io->ops)
            if (op->file == file && !op->done) mine.push_back(op);
    }
    for (auto& op : mine) {
        // A read the backend already took is completing with data; let it.
        if (!file->removePending(op)) continue;
        completeOp(op, ERROR_OPERATION_ABORTED, nullptr, 0);
        // The caller may free the buffer and record once this returns: settle the record now
        // and run no routine later.
        collect(*op);
        forget(*io, op);
    }
    return 1;
}

DWORD SleepEx(DWORD ms, BOOL alertable) {
    using Clock = std::chrono::steady_clock;
    const bool forever = ms == 0xFFFFFFFFu;
    if (!alertable) {
        // NOLINTNEXTLINE(bugprone-infinite-loop): an endless sleep never returns.
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(forever ? 60000 : ms));
        } while (forever);
        return 0;
    }
    auto io = currentThreadIo();
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : ms);
    for (bool first = true;; first = false) {
        if (deliverCompletions(*io)) return WAIT_IO_COMPLETION;
        int timeout = -1;
        if (!forever) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            // A zero wait still looks once at the polled reads.
            if (left.count() <= 0 && !first) return 0;
            timeout = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        waitOnce(*io, timeout);
    }
}

BOOL DeviceIoControl(HANDLE handle, DWORD, void*, DWORD, void*, DWORD, DWORD* returned,
                     OVERLAPPED*) {
    if (returned) *returned = 0;
    if (!fileOf(handle)) return 0;
    return fail(ERROR_NOT_SUPPORTED);
}

}  // extern "C"
