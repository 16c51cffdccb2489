// The in-memory HID bus and the backend that shows its devices through the platform ABI.
#include "platform/common/abi.h"

#pragma GCC visibility push(default)
#include "platform/sim/sim_bus.h"
#pragma GCC visibility pop

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/common/backend.h"

using velto::platform::DeviceEntry;
using velto::platform::DeviceFile;
using velto::platform::IoOp;
using velto::platform::Property;
using velto::platform::setError;

namespace simbus {
namespace {

class SimFile;

struct SimDevice {
    DeviceId id = 0;
    DWORD instance = 0;
    DeviceInfo info;
    std::string path;
    OutputHandler onOutput;
    // Guarded by the bus mutex.
    FeatureHandler onFeature;
    bool accessDenied = false;
    bool heldElsewhere = false;
    std::vector<std::weak_ptr<SimFile>> files;
};

struct BusState {
    mutable std::mutex mutex;
    std::map<DeviceId, std::shared_ptr<SimDevice>> devices;  // plugged only
    DeviceId nextId = 1;
    DWORD nextInstance = 1;
};

BusState& state() {
    static BusState s;
    return s;
}

class SimFile final : public DeviceFile {
  public:
    SimFile(std::shared_ptr<SimDevice> device, DWORD access, DWORD flags)
        : DeviceFile(access, flags), device_(std::move(device)) {}

    bool attributes(HIDD_ATTRIBUTES& attributes) override {
        if (!present()) return false;
        attributes.VendorID = device_->info.vendorId;
        attributes.ProductID = device_->info.productId;
        attributes.VersionNumber = device_->info.version;
        return true;
    }
    bool manufacturer(std::u16string& text) override {
        return stringOf(device_->info.manufacturer, text);
    }
    bool product(std::u16string& text) override { return stringOf(device_->info.product, text); }
    bool serialNumber(std::u16string& text) override {
        return stringOf(device_->info.serial, text);
    }
    // The usual USB string indices: 1 manufacturer, 2 product, 3 serial number.
    bool indexedString(ULONG index, std::u16string& text) override {
        const auto& info = device_->info;
        switch (index) {
            case 1:
                return stringOf(info.manufacturer, text);
            case 2:
                return stringOf(info.product, text);
            case 3:
                return stringOf(info.serial, text);
            default:
                return DeviceFile::indexedString(index, text);
        }
    }
    bool reportDescriptor(std::vector<uint8_t>& descriptor) override {
        if (!present()) return false;
        descriptor = device_->info.reportDescriptor;
        return true;
    }
    bool getFeature(uint8_t* report, ULONG size) override { return feature(false, report, size); }
    bool setFeature(const uint8_t* report, ULONG size) override {
        // The handler gets a copy: a set must not change the caller's report.
        std::vector<uint8_t> copy(report, report + size);
        return feature(true, copy.data(), size);
    }
    bool flushQueue() override {
        std::lock_guard lock(mutex_);
        if (gone_) return velto::platform::fail(ERROR_DEVICE_NOT_CONNECTED);
        queue_.clear();
        return true;
    }

    bool readSync(uint8_t* buffer, DWORD size, DWORD& done) override {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !queue_.empty() || gone_ || closed_; });
        if (gone_) return velto::platform::fail(ERROR_DEVICE_NOT_CONNECTED);
        if (queue_.empty()) return velto::platform::fail(ERROR_OPERATION_ABORTED);
        auto report = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        done = static_cast<DWORD>(std::min<std::size_t>(size, report.size()));
        if (done) std::memcpy(buffer, report.data(), done);
        return true;
    }

    bool write(const uint8_t* buffer, DWORD size, DWORD& done) override {
        if (!present()) return false;
        // Called with no lock held: the device may answer, unplug or replug from here.
        if (device_->onOutput) device_->onOutput(buffer, size);
        done = size;
        return true;
    }

    void startRead(const std::shared_ptr<IoOp>& op) override {
        std::unique_lock lock(mutex_);
        if (gone_ || closed_) {
            lock.unlock();
            completeOp(op, gone_ ? ERROR_DEVICE_NOT_CONNECTED : ERROR_OPERATION_ABORTED);
            return;
        }
        if (!queue_.empty()) {
            auto report = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            velto::platform::completeOp(op, ERROR_SUCCESS, report.data(), report.size());
            return;
        }
        pending_.push_back(op);
    }

    void close() override {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
        DeviceFile::close();
    }

    // A report from the device: to the oldest pending read, else into the bounded queue.
    void deliver(const std::vector<uint8_t>& report) {
        std::unique_lock lock(mutex_);
        if (gone_ || closed_ || !canRead()) return;
        if (!pending_.empty()) {
            auto op = std::move(pending_.front());
            pending_.pop_front();
            lock.unlock();
            velto::platform::completeOp(op, ERROR_SUCCESS, report.data(), report.size());
            return;
        }
        if (queue_.size() >= Bus::kInputQueueDepth) return;
        queue_.push_back(report);
        lock.unlock();
        ready_.notify_all();
    }

    void disconnect() {
        {
            std::lock_guard lock(mutex_);
            gone_ = true;
            queue_.clear();
        }
        ready_.notify_all();
        for (auto& op : takeAllPending())
            completeOp(op, ERROR_DEVICE_NOT_CONNECTED);
    }

  private:
    static void completeOp(const std::shared_ptr<IoOp>& op, DWORD error) {
        velto::platform::completeOp(op, error, nullptr, 0);
    }

    bool present() {
        std::lock_guard lock(mutex_);
        if (gone_) return velto::platform::fail(ERROR_DEVICE_NOT_CONNECTED);
        return true;
    }

    bool stringOf(const std::u16string& value, std::u16string& text) {
        if (!present()) return false;
        if (value.empty()) return velto::platform::fail(ERROR_INVALID_PARAMETER);
        text = value;
        return true;
    }

    bool feature(bool set, uint8_t* report, ULONG size) {
        if (!present()) return false;
        FeatureHandler handler;
        {
            std::lock_guard lock(state().mutex);
            handler = device_->onFeature;
        }
        if (!handler) return velto::platform::fail(ERROR_NOT_SUPPORTED);
        if (!handler(set, report, size)) return velto::platform::fail(ERROR_GEN_FAILURE);
        return true;
    }

    const std::shared_ptr<SimDevice> device_;
    std::condition_variable ready_;
    std::deque<std::vector<uint8_t>> queue_;  // guarded by mutex_
    bool gone_ = false;                       // guarded by mutex_
    bool closed_ = false;                     // guarded by mutex_
};

std::string pathOf(const DeviceInfo& info, DWORD instance) {
    char text[64];
    std::snprintf(text, sizeof text, "sim:hid#vid_%04x&pid_%04x#%u", info.vendorId, info.productId,
                  instance);
    return text;
}

std::vector<std::shared_ptr<SimFile>> liveFiles(SimDevice& device) {
    std::vector<std::shared_ptr<SimFile>> files;
    for (auto& weak : device.files)
        if (auto file = weak.lock()) files.push_back(std::move(file));
    return files;
}

// Called with the bus mutex held.
bool mayOpen(const SimDevice& device, DWORD access) {
    if ((access & (GENERIC_READ | GENERIC_WRITE)) && device.accessDenied) {
        setError(ERROR_ACCESS_DENIED);
        return false;
    }
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE) && device.heldElsewhere) {
        setError(ERROR_SHARING_VIOLATION);
        return false;
    }
    return true;
}

class SimBackend final : public velto::platform::Backend {
  public:
    std::shared_ptr<DeviceFile> open(const char* path, DWORD access, DWORD flags) override {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        for (auto& [id, device] : s.devices) {
            if (device->path != path) continue;
            if (!mayOpen(*device, access)) return nullptr;
            auto file = std::make_shared<SimFile>(device, access, flags);
            // Forget handles closed meanwhile, so a long-lived device's list stays short.
            std::erase_if(device->files, [](const auto& weak) { return weak.expired(); });
            device->files.push_back(file);
            return file;
        }
        setError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }

    bool checkAccess(const char* path, DWORD access) override {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        for (auto& [id, device] : s.devices)
            if (device->path == path) return mayOpen(*device, access);
        setError(ERROR_FILE_NOT_FOUND);
        return false;
    }

    std::vector<DeviceEntry> enumerate() override {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        std::vector<DeviceEntry> entries;
        for (auto& [id, device] : s.devices) {
            const auto& info = device->info;
            DeviceEntry entry;
            entry.devInst = device->instance;
            entry.path = device->path;
            char hardwareId[64];
            std::snprintf(hardwareId, sizeof hardwareId, "HID\\VID_%04X&PID_%04X", info.vendorId,
                          info.productId);
            char withRevision[80];
            std::snprintf(withRevision, sizeof withRevision, "%s&REV_%04X", hardwareId,
                          info.version);
            entry.properties[SPDRP_CLASS] = Property::text("HIDClass");
            entry.properties[SPDRP_CLASSGUID] =
                Property::text("{745a17a0-74d3-11d0-b6fe-00a0c90f57da}");
            entry.properties[SPDRP_DEVICEDESC] =
                Property::text(velto::platform::toUtf8(info.product));
            entry.properties[SPDRP_HARDWAREID] = Property::list({withRevision, hardwareId});
            entry.properties[SPDRP_MFG] =
                Property::text(velto::platform::toUtf8(info.manufacturer));
            entry.properties[SPDRP_ENUMERATOR_NAME] = Property::text("HID");
            if (!info.location.empty())
                entry.properties[SPDRP_LOCATION_PATHS] = Property::list({info.location});
            entries.push_back(std::move(entry));
        }
        return entries;
    }

    const char* hello() const override { return "Velto simulated HID bus"; }
};

}  // namespace

Bus& Bus::instance() {
    static Bus bus;
    return bus;
}

DeviceId Bus::plug(const DeviceInfo& info, OutputHandler onOutput) {
    auto device = std::make_shared<SimDevice>();
    device->info = info;
    device->onOutput = std::move(onOutput);
    DeviceId id = 0;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        id = s.nextId++;
        device->id = id;
        device->instance = s.nextInstance++;
        device->path = pathOf(info, device->instance);
        s.devices.emplace(id, std::move(device));
    }
    velto::platform::notifyDeviceChange();
    return id;
}

void Bus::unplug(DeviceId id) {
    std::vector<std::shared_ptr<SimFile>> files;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.devices.find(id);
        if (it == s.devices.end()) return;
        files = liveFiles(*it->second);
        s.devices.erase(it);
    }
    for (auto& file : files)
        file->disconnect();
    velto::platform::notifyDeviceChange();
}

DeviceId Bus::replug(DeviceId id, uint16_t newProductId) {
    std::shared_ptr<SimDevice> old;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.devices.find(id);
        if (it == s.devices.end()) return 0;
        old = it->second;
    }
    DeviceInfo info = old->info;
    info.productId = newProductId;
    FeatureHandler onFeature;
    bool accessDenied = false;
    {
        std::lock_guard lock(state().mutex);
        onFeature = old->onFeature;
        accessDenied = old->accessDenied;
    }
    unplug(id);
    const DeviceId newId = plug(info, old->onOutput);
    setFeatureHandler(newId, std::move(onFeature));
    setAccessDenied(newId, accessDenied);
    return newId;
}

bool Bus::sendInput(DeviceId id, const uint8_t* report, std::size_t length) {
    if (!report || length == 0) return false;
    std::vector<std::shared_ptr<SimFile>> files;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.devices.find(id);
        if (it == s.devices.end()) return false;
        files = liveFiles(*it->second);
    }
    const std::vector<uint8_t> copy(report, report + length);
    for (auto& file : files)
        file->deliver(copy);
    return true;
}

bool Bus::isPlugged(DeviceId id) const {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.devices.count(id) != 0;
}

void Bus::setFeatureHandler(DeviceId id, FeatureHandler handler) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.devices.find(id);
    if (it != s.devices.end()) it->second->onFeature = std::move(handler);
}

void Bus::setAccessDenied(DeviceId id, bool denied) {
    bool changed = false;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.devices.find(id);
        if (it == s.devices.end()) return;
        changed = it->second->accessDenied != denied;
        it->second->accessDenied = denied;
    }
    if (changed) velto::platform::notifyDeviceChange();
}

void Bus::setHeldByOtherProgram(DeviceId id, bool held) {
    bool changed = false;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.devices.find(id);
        if (it == s.devices.end()) return;
        changed = it->second->heldElsewhere != held;
        it->second->heldElsewhere = held;
    }
    if (changed) velto::platform::notifyDeviceChange();
}

std::string Bus::devicePath(DeviceId id) const {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.devices.find(id);
    return it == s.devices.end() ? std::string() : it->second->path;
}

void Bus::reset() {
    std::vector<std::shared_ptr<SimFile>> files;
    bool any = false;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        any = !s.devices.empty();
        for (auto& [id, device] : s.devices) {
            auto live = liveFiles(*device);
            files.insert(files.end(), live.begin(), live.end());
        }
        s.devices.clear();
    }
    for (auto& file : files)
        file->disconnect();
    if (any) velto::platform::notifyDeviceChange();
}

}  // namespace simbus

namespace velto::platform {
Backend& backend() {
    static simbus::SimBackend b;
    return b;
}
}  // namespace velto::platform

extern "C" const char HidFileVersion[] = "1.3.0.0";
