// The Linux hidraw backend: sysfs enumeration, device nodes for report I/O and feature
// ioctls, overlapped reads polled in the reading thread's SleepEx, hotplug by inotify.
//
// Listing a device never opens its node: opening a hidraw node powers the device up (and
// waits for it), so only a program that is going to use the device opens it. A read/write
// open takes an exclusive advisory lock on the node, one program per device.
#include "platform/common/abi.h"

#pragma GCC visibility push(default)
#include "platform/hidraw/hidraw_backend.h"
#pragma GCC visibility pop

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/common/backend.h"
#include "platform/hidp/hidp.h"
#include "platform/hidraw/sysfs.h"

using velto::platform::completeOp;
using velto::platform::DeviceEntry;
using velto::platform::DeviceFile;
using velto::platform::fail;
using velto::platform::fromUtf8;
using velto::platform::IoOp;
using velto::platform::Property;
using velto::platform::setError;

namespace velto::hidraw {
namespace {

// The kernel's largest report, report ID included.
constexpr std::size_t kMaxReport = 16384;
// The feature ioctls carry the length in 14 bits.
constexpr ULONG kMaxFeature = 16383;

// Errors after which the node is of no more use. A stalled endpoint (EPIPE) or a report the
// device did not take in time (ETIMEDOUT) fails that one transfer only.
bool isRemoval(int error) {
    return error == ENODEV || error == EIO || error == ENXIO || error == EBADF ||
           error == ENOTCONN || error == ECONNRESET || error == ESHUTDOWN;
}

DWORD errorOf(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case ENODEV:
        case ENXIO:
        case EIO:
            return ERROR_DEVICE_NOT_CONNECTED;
        case ENOTTY:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// How input reports come off the node: with or without their ID byte, and the length a short
// report is padded to (ID byte included; 0 when the descriptor cannot be parsed).
struct InputLayout {
    bool numbered = false;
    std::size_t length = 0;
};

InputLayout inputLayoutOf(const std::vector<uint8_t>& descriptor) {
    InputLayout layout;
    layout.numbered = inputReportsNumbered(descriptor);
    PHIDP_PREPARSED_DATA data = hidp::ParseDescriptor(descriptor.data(), descriptor.size());
    HIDP_CAPS caps{};
    if (data != nullptr && HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS)
        layout.length = caps.InputReportByteLength;
    hidp::FreePreparsedData(data);
    return layout;
}

class HidrawFile final : public DeviceFile {
  public:
    HidrawFile(Interface info, int fd, int lockFd, DWORD access, DWORD flags)
        : DeviceFile(access, flags),
          info_(std::move(info)),
          fd_(fd),
          lockFd_(lockFd),
          wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
          input_(inputLayoutOf(info_.descriptor)) {}
    ~HidrawFile() override {
        // The lock first: a program told of the writable descriptor's closing finds the
        // device free.
        if (lockFd_ >= 0) ::close(lockFd_);
        if (fd_ >= 0) ::close(fd_);
        if (wakeFd_ >= 0) ::close(wakeFd_);
    }
    HidrawFile(const HidrawFile&) = delete;
    HidrawFile& operator=(const HidrawFile&) = delete;

    bool attributes(HIDD_ATTRIBUTES& attributes) override {
        attributes.VendorID = info_.vendorId;
        attributes.ProductID = info_.productId;
        attributes.VersionNumber = info_.version;
        return true;
    }
    bool manufacturer(std::u16string& text) override { return put(info_.manufacturer, text); }
    bool product(std::u16string& text) override {
        return put(info_.product.empty() ? info_.hidName : info_.product, text);
    }
    bool serialNumber(std::u16string& text) override {
        return put(info_.hidUniq.empty() ? info_.serial : info_.hidUniq, text);
    }
    bool reportDescriptor(std::vector<uint8_t>& descriptor) override {
        if (info_.descriptor.empty()) return fail(ERROR_GEN_FAILURE);
        descriptor = info_.descriptor;
        return true;
    }

    bool getFeature(uint8_t* report, ULONG size) override {
        if (!ioReady()) return false;
        const ULONG n = std::min(size, kMaxFeature);
        if (::ioctl(fd_, HIDIOCGFEATURE(n), report) < 0) return failErrno(errno);
        return true;
    }
    bool setFeature(const uint8_t* report, ULONG size) override {
        if (!ioReady()) return false;
        // The ioctl takes a mutable buffer but does not change it.
        std::vector<uint8_t> copy(report, report + std::min(size, kMaxFeature));
        if (::ioctl(fd_, HIDIOCSFEATURE(copy.size()), copy.data()) < 0) return failErrno(errno);
        return true;
    }
    bool flushQueue() override {
        if (!ioReady()) return false;
        if (!canRead()) return true;
        std::vector<uint8_t> scratch(kMaxReport);
        // Bounded: a node that never runs dry must not hold the caller here.
        for (int i = 0; i < 1024; ++i) {
            const ssize_t n = ::read(fd_, scratch.data(), scratch.size());
            if (n <= 0) break;
        }
        return true;
    }

    bool readSync(uint8_t* buffer, DWORD size, DWORD& done) override {
        for (;;) {
            if (!ioReady()) return false;
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return fail(ERROR_GEN_FAILURE);
            }
            if (fds[1].revents) return fail(ERROR_OPERATION_ABORTED);
            std::vector<uint8_t> report;
            switch (readReport(fds[0].revents, report)) {
                case Read::Report:
                    done = static_cast<DWORD>(std::min<std::size_t>(size, report.size()));
                    if (done) std::memcpy(buffer, report.data(), done);
                    return true;
                case Read::Again:
                    continue;
                case Read::Gone:
                    return fail(ERROR_DEVICE_NOT_CONNECTED);
            }
        }
    }

    bool write(const uint8_t* buffer, DWORD size, DWORD& done) override {
        if (!ioReady()) return false;
        // The report ID goes first, as hidraw expects (0 for unnumbered reports). One write()
        // is one report: hidraw sends it whole or fails, and ignores O_NONBLOCK here (the
        // call returns once the device took the report or the transfer timed out), so there
        // is nothing to wait for. Whatever a partial write left must not follow as a report
        // of its own.
        ssize_t n = 0;
        do {
            n = ::write(fd_, buffer, size);
        } while (n < 0 && errno == EINTR);
        if (n == static_cast<ssize_t>(size)) {
            done = size;
            return true;
        }
        if (n >= 0) return fail(ERROR_WRITE_FAULT);
        const int error = errno;
        if (isRemoval(error)) {
            markGone();
            return fail(ERROR_DEVICE_NOT_CONNECTED);
        }
        return failErrno(error);
    }

    void startRead(const std::shared_ptr<IoOp>& op) override {
        std::unique_lock lock(mutex_);
        if (gone_ || closed_) {
            const DWORD error = gone_ ? ERROR_DEVICE_NOT_CONNECTED : ERROR_OPERATION_ABORTED;
            lock.unlock();
            completeOp(op, error, nullptr, 0);
            return;
        }
        pending_.push_back(op);
    }

    int pollFd() const override { return fd_; }

    void serviceRead(const std::shared_ptr<IoOp>& op, short revents) override {
        if (!removePending(op)) return;  // cancelled or closed meanwhile
        std::vector<uint8_t> report;
        switch (readReport(revents, report)) {
            case Read::Report:
                completeOp(op, ERROR_SUCCESS, report.data(), report.size());
                break;
            case Read::Again: {
                std::unique_lock lock(mutex_);
                if (!closed_ && !gone_) {
                    pending_.push_front(op);
                    return;
                }
                const DWORD error = gone_ ? ERROR_DEVICE_NOT_CONNECTED : ERROR_OPERATION_ABORTED;
                lock.unlock();
                completeOp(op, error, nullptr, 0);
                break;
            }
            case Read::Gone:
                completeOp(op, ERROR_DEVICE_NOT_CONNECTED, nullptr, 0);
                break;
        }
    }

    void close() override {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
        DeviceFile::close();
    }

  private:
    enum class Read { Report, Again, Gone };

    // One read from the node. The kernel leaves out the report ID of unnumbered reports; the
    // caller always gets it first. The kernel also passes on as many bytes as the device sent,
    // which may be fewer than the descriptor declares: the caller gets the declared length,
    // padded with zeros.
    Read readReport(short revents, std::vector<uint8_t>& report) {
        uint8_t data[kMaxReport];
        const ssize_t n = ::read(fd_, data, sizeof data);
        if (n > 0) {
            const auto len = static_cast<std::size_t>(n);
            report.reserve(std::max(len + 1, input_.length));
            if (!input_.numbered) report.push_back(0);
            report.insert(report.end(), data, data + len);
            if (report.size() < input_.length) report.resize(input_.length, 0);
            return Read::Report;
        }
        const int error = n == 0 ? EIO : errno;  // end of file: nothing more will come
        if ((error == EAGAIN || error == EINTR) && !(revents & (POLLHUP | POLLERR | POLLNVAL)))
            return Read::Again;
        markGone();
        return Read::Gone;
    }

    // The device is gone: every pending and later read and write fails at once.
    void markGone() {
        {
            std::lock_guard lock(mutex_);
            gone_ = true;
        }
        for (auto& op : takeAllPending())
            completeOp(op, ERROR_DEVICE_NOT_CONNECTED, nullptr, 0);
    }

    bool ioReady() {
        if (fd_ < 0) return fail(ERROR_ACCESS_DENIED);
        std::lock_guard lock(mutex_);
        if (closed_) return fail(ERROR_OPERATION_ABORTED);
        if (gone_) return fail(ERROR_DEVICE_NOT_CONNECTED);
        return true;
    }

    static bool failErrno(int error) {
        setError(errorOf(error));
        return false;
    }

    static bool put(const std::string& value, std::u16string& text) {
        if (value.empty()) return fail(ERROR_INVALID_PARAMETER);
        text = fromUtf8(value);
        return true;
    }

    const Interface info_;
    const int fd_;
    const int lockFd_;  // holds the device's lock (read/write handles only), else -1
    const int wakeFd_;
    const InputLayout input_;
    bool gone_ = false;    // guarded by mutex_
    bool closed_ = false;  // guarded by mutex_
};

std::string enumeratorOf(uint16_t bus) {
    switch (bus) {
        case 0x03:
            return "USB";
        case 0x05:
            return "BTHENUM";
        case 0x18:
            return "I2C";
        default:
            return "HID";
    }
}

// Watches <dev> for hidraw nodes coming, going and changing access (permissions set by udev
// after the node appeared, a program closing a node it held), on a thread of its own. When
// the watch cannot be set, or is lost, it is set again as soon as it can be, and until then
// a rescan is asked for periodically: no change is missed for good.
class Watcher {
  public:
    ~Watcher() { stop(); }

    void start(const std::string& devRoot) {
        stop();
        auto stopFd = std::make_shared<Fd>(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (stopFd->fd < 0) return;
        // The first watch is set before this returns, so that no change after it is missed.
        const int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        const bool armed = in >= 0 && inotify_add_watch(in, devRoot.c_str(), kMask) >= 0;
        stop_ = stopFd;
        thread_ =
            std::thread([stopFd, devRoot, in, armed] { run(stopFd->fd, devRoot, in, armed); });
    }

    void stop() {
        if (!thread_.joinable()) return;
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_->fd, &one, sizeof one);
        // Stopped from a callback on the watcher itself: it ends on its own.
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
        stop_.reset();
    }

    // How often a watcher without a watch asks for a rescan.
    static constexpr int kRescanMs = 1000;
    static constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_CLOSE_WRITE |
                                      IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF;

  private:
    // Closed by whoever lets go last, the watcher or its thread.
    struct Fd {
        explicit Fd(int value) : fd(value) {}
        Fd(const Fd&) = delete;
        Fd& operator=(const Fd&) = delete;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
        const int fd;
    };

    // Owns the inotify instance in (-1: none yet).
    static void run(int stopFd, const std::string& devRoot, int in, bool armed);

    std::thread thread_;
    std::shared_ptr<Fd> stop_;
};

// The interface name of a device path under the dev root ("" for anything else).
std::string interfaceNameOf(const Roots& r, const char* path) {
    const std::string text = path;
    const std::string prefix = r.dev + "/";
    return text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : "";
}

// Whether a program holds an exclusive lock on the node (its own other handles included),
// read from the kernel's lock list rather than by opening the node.
bool lockedByAnyone(const struct stat& node) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string ordinal, kind, mode, type, pid, id;
        fields >> ordinal >> kind;
        if (kind == "->") continue;  // a waiter, not a holder
        fields >> mode >> type >> pid >> id;
        if (kind != "FLOCK" || type != "WRITE") continue;
        unsigned int devMajor = 0, devMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(id.c_str(), "%x:%x:%llu", &devMajor, &devMinor, &inode) != 3) continue;
        if (devMajor == major(node.st_dev) && devMinor == minor(node.st_dev) &&
            inode == node.st_ino)
            return true;
    }
    return false;
}

class HidrawBackend final : public velto::platform::Backend {
  public:
    std::shared_ptr<DeviceFile> open(const char* path, DWORD access, DWORD flags) override {
        const Roots r = roots();
        auto info = readInterface(r, interfaceNameOf(r, path));
        struct stat st {};
        if (!info || ::stat(info->node.c_str(), &st) != 0) {
            setError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        int fd = -1;
        int lockFd = -1;
        const DWORD io = access & (GENERIC_READ | GENERIC_WRITE);
        if (io) {
            const int mode = io == (GENERIC_READ | GENERIC_WRITE) ? O_RDWR
                             : io == GENERIC_READ                 ? O_RDONLY
                                                                  : O_WRONLY;
            constexpr int kFlags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
            // One program per device: a read/write handle holds an exclusive lock on the node
            // until it is closed (also when the program ends). The lock is taken on a read-only
            // descriptor of its own, first: a failed attempt then closes no writable descriptor,
            // whose closing announces a device let go to every program watching.
            if (mode == O_RDWR) {
                lockFd = ::open(info->node.c_str(), O_RDONLY | kFlags);
                if (lockFd < 0) {
                    setError(errorOf(errno));
                    return nullptr;
                }
                if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
                    ::close(lockFd);
                    setError(ERROR_SHARING_VIOLATION);
                    return nullptr;
                }
            }
            fd = ::open(info->node.c_str(), mode | kFlags);
            if (fd < 0) {
                setError(errorOf(errno));
                if (lockFd >= 0) ::close(lockFd);
                return nullptr;
            }
        }
        return std::make_shared<HidrawFile>(std::move(*info), fd, lockFd, access, flags);
    }

    bool checkAccess(const char* path, DWORD access) override {
        const Roots r = roots();
        const std::string name = interfaceNameOf(r, path);
        struct stat st {};
        const std::string node = r.dev + "/" + name;
        if (!isInterfaceName(name) || ::stat(node.c_str(), &st) != 0) {
            setError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        int mode = 0;
        if (access & GENERIC_READ) mode |= R_OK;
        if (access & GENERIC_WRITE) mode |= W_OK;
        // The permission check open() makes (ACLs included), without opening.
        if (mode != 0 && ::faccessat(AT_FDCWD, node.c_str(), mode, AT_EACCESS) != 0) {
            setError(errorOf(errno));
            return false;
        }
        if (mode == (R_OK | W_OK) && lockedByAnyone(st)) {
            setError(ERROR_SHARING_VIOLATION);
            return false;
        }
        return true;
    }

    std::vector<DeviceEntry> enumerate() override {
        const Roots r = roots();
        std::vector<DeviceEntry> entries;
        std::vector<std::string> present;
        for (const auto& name : listInterfaces(r)) {
            auto info = readInterface(r, name);
            struct stat st {};
            // Only interfaces whose node is there can be opened; the node's arrival brings
            // another notification.
            if (!info || ::stat(info->node.c_str(), &st) != 0) continue;
            present.push_back(name);
            entries.push_back(entryOf(*info, instanceOf(*info, st)));
        }
        std::lock_guard lock(mutex_);
        std::erase_if(instances_, [&](const auto& item) {
            return std::find(present.begin(), present.end(), item.first) == present.end();
        });
        return entries;
    }

    void watch(bool on) override {
        std::lock_guard lock(watchMutex_);
        watching_ = on;
        if (on)
            watcher_.start(roots().dev);
        else
            watcher_.stop();
    }

    // New roots move the watch along.
    void rootsChanged() {
        std::lock_guard lock(watchMutex_);
        if (watching_) watcher_.start(roots().dev);
    }

    // A node went away: whatever comes back under its name is a new interface.
    void forget(const std::string& name) {
        std::lock_guard lock(mutex_);
        instances_.erase(name);
    }

    const char* hello() const override { return "Velto hidraw HID backend"; }

  private:
    // Same number while the interface stays: same sysfs object and same node.
    DWORD instanceOf(const Interface& info, const struct stat& node) {
        char key[64];
        std::snprintf(key, sizeof key, ":%llx:%llx:%llx",
                      static_cast<unsigned long long>(node.st_dev),
                      static_cast<unsigned long long>(node.st_ino),
                      static_cast<unsigned long long>(node.st_rdev));
        const std::string identity = info.sysPath + key;
        std::lock_guard lock(mutex_);
        auto& slot = instances_[info.name];
        if (slot.second == 0 || slot.first != identity) slot = {identity, nextInstance_++};
        return slot.second;
    }

    static DeviceEntry entryOf(const Interface& info, DWORD devInst) {
        DeviceEntry entry;
        entry.devInst = devInst;
        entry.path = info.node;
        char hardwareId[64];
        std::snprintf(hardwareId, sizeof hardwareId, "HID\\VID_%04X&PID_%04X", info.vendorId,
                      info.productId);
        char withRevision[80];
        std::snprintf(withRevision, sizeof withRevision, "%s&REV_%04X", hardwareId, info.version);
        auto& p = entry.properties;
        p[SPDRP_CLASS] = Property::text("HIDClass");
        p[SPDRP_CLASSGUID] = Property::text("{745a17a0-74d3-11d0-b6fe-00a0c90f57da}");
        p[SPDRP_HARDWAREID] = Property::list({withRevision, hardwareId});
        p[SPDRP_COMPATIBLEIDS] = Property::list({"HID_DEVICE"});
        p[SPDRP_PHYSICAL_DEVICE_OBJECT_NAME] = Property::text(info.sysPath);
        p[SPDRP_ENUMERATOR_NAME] = Property::text(enumeratorOf(info.bus));
        if (!info.hidName.empty()) p[SPDRP_DEVICEDESC] = Property::text(info.hidName);
        if (!info.product.empty()) p[SPDRP_FRIENDLYNAME] = Property::text(info.product);
        if (!info.manufacturer.empty()) p[SPDRP_MFG] = Property::text(info.manufacturer);
        if (!info.hidPhys.empty()) p[SPDRP_LOCATION_INFORMATION] = Property::text(info.hidPhys);
        if (!info.location.empty()) p[SPDRP_LOCATION_PATHS] = Property::list({info.location});
        if (!info.driver.empty()) p[SPDRP_SERVICE] = Property::text(info.driver);
        if (info.usb) p[SPDRP_BUSNUMBER] = Property::dword(info.busNumber);
        return entry;
    }

    std::mutex mutex_;
    std::map<std::string, std::pair<std::string, DWORD>> instances_;  // name -> identity, number
    DWORD nextInstance_ = 1;
    std::mutex watchMutex_;
    bool watching_ = false;  // guarded by watchMutex_
    Watcher watcher_;        // guarded by watchMutex_
};

HidrawBackend& hidrawBackend() {
    static HidrawBackend b;
    return b;
}

void Watcher::run(int stopFd, const std::string& devRoot, int in, bool armed) {
    alignas(inotify_event) char buffer[4096];
    const auto disarm = [&] {
        if (in >= 0) ::close(in);
        in = -1;
        armed = false;
    };
    for (;;) {
        if (!armed) {
            if (in < 0) in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
            armed = in >= 0 && inotify_add_watch(in, devRoot.c_str(), kMask) >= 0;
            // Whatever changed while nothing watched is found by a pass now.
            if (armed) velto::platform::notifyDeviceChange();
        }
        pollfd wait[2] = {{stopFd, POLLIN, 0}, {armed ? in : -1, POLLIN, 0}};
        const int ready = ::poll(wait, 2, armed ? -1 : Watcher::kRescanMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            // The wait itself failed: start over with a fresh instance, after a pause.
            disarm();
            pollfd pause{stopFd, POLLIN, 0};
            if (::poll(&pause, 1, Watcher::kRescanMs) > 0) break;
            velto::platform::notifyDeviceChange();
            continue;
        }
        if (wait[0].revents) break;
        if (!armed) {
            velto::platform::notifyDeviceChange();  // the periodic rescan
            continue;
        }
        bool changed = false;
        bool lost = (wait[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        for (;;) {
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t pos = 0; pos + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + pos);
                pos += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (pos > n) break;
                if (event->mask & (IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT | IN_Q_OVERFLOW)) {
                    lost = lost || (event->mask & IN_Q_OVERFLOW) == 0;
                    changed = true;
                    continue;
                }
                if (event->len == 0) continue;
                const std::string name(event->name, strnlen(event->name, event->len));
                if (!isInterfaceName(name)) continue;
                if (event->mask & (IN_DELETE | IN_MOVED_FROM)) hidrawBackend().forget(name);
                changed = true;
            }
        }
        // The watched folder went away (or was unmounted): watch it again once it is back.
        if (lost) disarm();
        if (changed || lost) velto::platform::notifyDeviceChange();
    }
    disarm();
}

}  // namespace
}  // namespace velto::hidraw

namespace velto::platform {
Backend& backend() {
    return velto::hidraw::hidrawBackend();
}
}  // namespace velto::platform

extern "C" {

const char HidFileVersion[] = "1.3.0.0";

void HidrawSetRoots(const char* sysRoot, const char* devRoot) {
    velto::hidraw::setRoots(sysRoot, devRoot);
    velto::hidraw::hidrawBackend().rootsChanged();
}

}  // extern "C"
