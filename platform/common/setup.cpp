// Device-info lists (SetupDi) over a backend's enumeration, and the device-change
// notification.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <thread>

#include "platform/common/backend.h"

namespace velto::platform {

Property Property::text(const std::string& value) {
    Property p;
    p.type = REG_SZ;
    p.bytes.assign(value.begin(), value.end());
    p.bytes.push_back(0);
    return p;
}

Property Property::list(const std::vector<std::string>& values) {
    Property p;
    p.type = REG_MULTI_SZ;
    for (const auto& v : values) {
        if (v.empty()) continue;  // an empty string would end the list early
        p.bytes.insert(p.bytes.end(), v.begin(), v.end());
        p.bytes.push_back(0);
    }
    p.bytes.push_back(0);
    return p;
}

Property Property::dword(DWORD value) {
    Property p;
    p.type = REG_DWORD;
    p.bytes.resize(sizeof value);
    std::memcpy(p.bytes.data(), &value, sizeof value);
    return p;
}

namespace {

// A snapshot of the present interfaces, taken by SetupDiGetClassDevs.
struct DeviceInfoList : HandleObject {
    std::vector<DeviceEntry> entries;
};

std::shared_ptr<DeviceInfoList> listOf(HDEVINFO set) {
    auto list = lookupAs<DeviceInfoList>(set);
    if (!list) setError(ERROR_INVALID_HANDLE);
    return list;
}

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

GUID hidGuid() {
    GUID guid;
    HidD_GetHidGuid(&guid);
    return guid;
}

// HIDClass device setup class.
constexpr GUID kHidClassGuid = {
    0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

void fillDevInfo(SP_DEVINFO_DATA* devInfo, const DeviceEntry& entry, std::size_t index) {
    if (!devInfo) return;
    devInfo->ClassGuid = kHidClassGuid;
    devInfo->DevInst = entry.devInst;
    devInfo->Reserved = index;
}

const DeviceEntry* entryOf(const DeviceInfoList& list, const SP_DEVINFO_DATA* devInfo) {
    if (!devInfo) return nullptr;
    for (const auto& entry : list.entries)
        if (entry.devInst == devInfo->DevInst) return &entry;
    return nullptr;
}

// Device-change listeners. A callback runs with no lock held; unregistering waits for a
// running call to end, unless it is that call itself unregistering.
struct Listener : HandleObject {
    DEVICE_CHANGE_CALLBACK callback = nullptr;
    void* context = nullptr;
    bool active = true;                   // guarded by Listeners::mutex
    int running = 0;                      // guarded by Listeners::mutex
    std::vector<std::thread::id> within;  // guarded by Listeners::mutex
};

struct Listeners {
    std::mutex mutex;
    std::condition_variable idle;
    std::vector<std::shared_ptr<Listener>> all;
    std::mutex watchMutex;  // orders the backend's watch(true/false) calls
    bool watching = false;  // guarded by watchMutex
};

// Never destroyed: a backend thread may still raise a notification while the process exits.
Listeners& listeners() {
    static auto* l = new Listeners;
    return *l;
}

}  // namespace

void notifyDeviceChange() {
    auto& l = listeners();
    std::vector<std::shared_ptr<Listener>> targets;
    {
        std::lock_guard lock(l.mutex);
        targets = l.all;
    }
    for (auto& target : targets) {
        {
            std::lock_guard lock(l.mutex);
            if (!target->active) continue;
            ++target->running;
            target->within.push_back(std::this_thread::get_id());
        }
        target->callback(target->context, DBT_DEVNODES_CHANGED);
        {
            std::lock_guard lock(l.mutex);
            --target->running;
            auto& w = target->within;
            w.erase(std::find(w.begin(), w.end(), std::this_thread::get_id()));
        }
        l.idle.notify_all();
    }
}

}  // namespace velto::platform

using namespace velto::platform;

extern "C" {

HDEVINFO SetupDiGetClassDevs(const GUID* classGuid, const char*, void*, DWORD flags) {
    auto list = std::make_shared<DeviceInfoList>();
    // Only present HID interfaces exist here; any other class is an empty list.
    if (classGuid && sameGuid(*classGuid, hidGuid()) && (flags & DIGCF_DEVICEINTERFACE))
        list->entries = backend().enumerate();
    setError(ERROR_SUCCESS);
    return registerHandle(std::move(list));
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA*, const GUID* classGuid, DWORD index,
                                 SP_DEVICE_INTERFACE_DATA* interfaceData) {
    auto list = listOf(set);
    if (!list) return 0;
    if (!interfaceData || !classGuid) return fail(ERROR_INVALID_PARAMETER);
    if (!sameGuid(*classGuid, hidGuid()) || index >= list->entries.size())
        return fail(ERROR_NO_MORE_ITEMS);
    interfaceData->InterfaceClassGuid = *classGuid;
    interfaceData->Flags = 1;  // active
    interfaceData->Reserved = index;
    return 1;
}

BOOL SetupDiGetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA* detail, DWORD detailSize,
                                     DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) {
    auto list = listOf(set);
    if (!list) return 0;
    if (!interfaceData || interfaceData->Reserved >= list->entries.size())
        return fail(ERROR_INVALID_PARAMETER);
    const std::size_t index = interfaceData->Reserved;
    const auto& entry = list->entries[index];
    const std::size_t needed =
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA, DevicePath) + entry.path.size() + 1;
    if (requiredSize) *requiredSize = static_cast<DWORD>(needed);
    if (!detail) {
        if (detailSize != 0) return fail(ERROR_INVALID_PARAMETER);
        fillDevInfo(devInfo, entry, index);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    // The record size is the declared struct's (5 on the layout the callers came from).
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA) && detail->cbSize != 5)
        return fail(ERROR_INVALID_PARAMETER);
    if (detailSize < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, entry.path.c_str(), entry.path.size() + 1);
    fillDevInfo(devInfo, entry, index);
    return 1;
}

BOOL SetupDiGetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* devInfo, DWORD property,
                                      DWORD* dataType, uint8_t* buffer, DWORD size,
                                      DWORD* requiredSize) {
    auto list = listOf(set);
    if (!list) return 0;
    const DeviceEntry* entry = entryOf(*list, devInfo);
    if (!entry) return fail(ERROR_INVALID_PARAMETER);
    auto it = entry->properties.find(property);
    if (it == entry->properties.end()) return fail(ERROR_INVALID_PARAMETER);
    const auto& bytes = it->second.bytes;
    if (dataType) *dataType = it->second.type;
    if (requiredSize) *requiredSize = static_cast<DWORD>(bytes.size());
    if (!buffer || size < bytes.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, bytes.data(), bytes.size());
    return 1;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (!listOf(set)) return 0;
    releaseHandle(set);
    return 1;
}

HDEVNOTIFY RegisterDeviceNotification(DEVICE_CHANGE_CALLBACK callback, void* context) {
    if (!callback) {
        setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto listener = std::make_shared<Listener>();
    listener->callback = callback;
    listener->context = context;
    auto& l = listeners();
    std::lock_guard watchLock(l.watchMutex);
    {
        std::lock_guard lock(l.mutex);
        l.all.push_back(listener);
    }
    if (!l.watching) {
        backend().watch(true);
        l.watching = true;
    }
    return registerHandle(listener);
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
    auto listener = lookupAs<Listener>(notification);
    if (!listener) return fail(ERROR_INVALID_HANDLE);
    releaseHandle(notification);
    auto& l = listeners();
    {
        std::unique_lock lock(l.mutex);
        listener->active = false;
        l.all.erase(std::remove(l.all.begin(), l.all.end(), listener), l.all.end());
        const auto self = std::this_thread::get_id();
        l.idle.wait(lock, [&] {
            const auto& w = listener->within;
            const auto mine = static_cast<int>(std::count(w.begin(), w.end(), self));
            return listener->running == mine;
        });
    }
    std::lock_guard watchLock(l.watchMutex);
    bool none = false;
    {
        std::lock_guard lock(l.mutex);
        none = l.all.empty();
    }
    if (none && l.watching) {
        backend().watch(false);
        l.watching = false;
    }
    return 1;
}

}  // extern "C"
