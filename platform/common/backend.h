// What the two backend modules share: handles, per-thread last error and overlapped reads
// completed in an alertable SleepEx, device-info lists, the device-change notification and the
// HidD_ entry points. A module supplies a Backend (open, enumerate, watch) and DeviceFile
// subclasses; everything that is the same on every bus lives here once.
#pragma once

#include "platform/common/abi.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velto::platform {

void setError(DWORD code);
// Sets the last error and returns FALSE, for the common "fail with reason" exit.
inline BOOL fail(DWORD code) {
    setError(code);
    return 0;
}

// Anything a HANDLE, HDEVINFO or HDEVNOTIFY stands for.
class HandleObject {
  public:
    virtual ~HandleObject() = default;
};

// Handle values are never reused, so a stale handle can not reach a newer object.
void* registerHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> lookupHandle(void* handle);
std::shared_ptr<HandleObject> releaseHandle(void* handle);

template <class T>
std::shared_ptr<T> lookupAs(void* handle) {
    return std::dynamic_pointer_cast<T>(lookupHandle(handle));
}

class DeviceFile;
class ThreadIo;

// One overlapped operation. The backend completes it from any thread (completeOp); the
// caller's buffer and record are written only on the thread that started it, when the result
// is collected (SleepEx or GetOverlappedResult).
struct IoOp {
    OVERLAPPED* overlapped = nullptr;
    uint8_t* buffer = nullptr;
    DWORD size = 0;
    LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;
    std::shared_ptr<ThreadIo> thread;
    std::shared_ptr<DeviceFile> file;
    // Guarded by thread->mutex.
    bool done = false;
    bool collected = false;
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
    std::vector<uint8_t> data;
};

// Completes an operation once (later calls are ignored) and wakes its thread.
void completeOp(const std::shared_ptr<IoOp>& op, DWORD error, const uint8_t* data,
                std::size_t length);

// An open device handle.
class DeviceFile : public HandleObject, public std::enable_shared_from_this<DeviceFile> {
  public:
    DeviceFile(DWORD access, DWORD flags) : access_(access), flags_(flags) {}

    bool canRead() const { return (access_ & GENERIC_READ) != 0; }
    bool canWrite() const { return (access_ & GENERIC_WRITE) != 0; }
    bool overlapped() const { return (flags_ & FILE_FLAG_OVERLAPPED) != 0; }

    // Queries; a false result has set the last error.
    virtual bool attributes(HIDD_ATTRIBUTES& attributes) = 0;
    virtual bool manufacturer(std::u16string& text) = 0;
    virtual bool product(std::u16string& text) = 0;
    virtual bool serialNumber(std::u16string& text) = 0;
    virtual bool indexedString(ULONG index, std::u16string& text);
    virtual bool reportDescriptor(std::vector<uint8_t>& descriptor) = 0;
    virtual bool getFeature(uint8_t* report, ULONG size) = 0;
    virtual bool setFeature(const uint8_t* report, ULONG size) = 0;
    virtual bool flushQueue() = 0;

    // Synchronous report I/O, report ID first.
    virtual bool readSync(uint8_t* buffer, DWORD size, DWORD& done) = 0;
    virtual bool write(const uint8_t* buffer, DWORD size, DWORD& done) = 0;

    // Starts an overlapped read: either completes it at once or keeps it in pending_ until a
    // report, removal or close completes it.
    virtual void startRead(const std::shared_ptr<IoOp>& op) = 0;
    // Descriptor that the starting thread polls in SleepEx for its pending reads (-1: none;
    // the backend completes reads from elsewhere). serviceRead runs on that thread.
    virtual int pollFd() const { return -1; }
    virtual void serviceRead(const std::shared_ptr<IoOp>& /*op*/, short /*revents*/) {}

    // The handle is being closed: wake synchronous readers, abort pending reads.
    virtual void close();

    // Takes op out of the pending reads; false when someone else already took it.
    bool removePending(const std::shared_ptr<IoOp>& op);

    std::atomic<ULONG> numInputBuffers{32};

  protected:
    std::mutex mutex_;
    std::deque<std::shared_ptr<IoOp>> pending_;  // guarded by mutex_

    // Removes every pending read; the caller completes them outside the lock.
    std::deque<std::shared_ptr<IoOp>> takeAllPending();

  private:
    DWORD access_;
    DWORD flags_;
};

// A registry property as SetupDiGetDeviceRegistryProperty hands it out.
struct Property {
    DWORD type = REG_SZ;
    std::vector<uint8_t> bytes;

    static Property text(const std::string& value);
    static Property list(const std::vector<std::string>& values);
    static Property dword(DWORD value);
};

// One HID interface as enumeration sees it.
struct DeviceEntry {
    DWORD devInst = 0;
    std::string path;
    std::map<DWORD, Property> properties;
};

class Backend {
  public:
    virtual ~Backend() = default;
    // Opens a device path; null with the last error set on failure. Access 0 must work for
    // queries without touching the device's I/O.
    virtual std::shared_ptr<DeviceFile> open(const char* path, DWORD access, DWORD flags) = 0;
    // QueryDeviceAccess: true, or false with the last error set. Must not open the device.
    virtual bool checkAccess(const char* path, DWORD access) = 0;
    virtual std::vector<DeviceEntry> enumerate() = 0;
    // Called with true when the first device-change listener registers and with false when
    // the last one leaves.
    virtual void watch(bool /*on*/) {}
    virtual const char* hello() const = 0;
};

// Defined by each backend module.
Backend& backend();

// Calls every registered device-change callback with DBT_DEVNODES_CHANGED. Call it with no
// lock held.
void notifyDeviceChange();

// UTF-16 <-> UTF-8 for strings crossing between device strings and registry text.
std::string toUtf8(const std::u16string& text);
std::u16string fromUtf8(const std::string& text);

}  // namespace velto::platform
