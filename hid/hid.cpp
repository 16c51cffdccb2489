#include "hid/hid.h"

#include <cstdio>
#include <mutex>

#include "hid/backend.h"
#include "hid/moduleloader.h"

namespace hidlib {
decltype(&::HidD_Hello) HidD_Hello = nullptr;
decltype(&::HidD_GetHidGuid) HidD_GetHidGuid = nullptr;
decltype(&::HidD_GetPreparsedData) HidD_GetPreparsedData = nullptr;
decltype(&::HidD_GetParseError) HidD_GetParseError = nullptr;
decltype(&::HidD_FreePreparsedData) HidD_FreePreparsedData = nullptr;
decltype(&::HidD_GetConfiguration) HidD_GetConfiguration = nullptr;
decltype(&::HidD_SetConfiguration) HidD_SetConfiguration = nullptr;
decltype(&::HidD_FlushQueue) HidD_FlushQueue = nullptr;
decltype(&::HidD_GetFeature) HidD_GetFeature = nullptr;
decltype(&::HidD_SetFeature) HidD_SetFeature = nullptr;
decltype(&::HidD_GetNumInputBuffers) HidD_GetNumInputBuffers = nullptr;
decltype(&::HidD_SetNumInputBuffers) HidD_SetNumInputBuffers = nullptr;
decltype(&::HidD_GetAttributes) HidD_GetAttributes = nullptr;
decltype(&::HidD_GetManufacturerString) HidD_GetManufacturerString = nullptr;
decltype(&::HidD_GetProductString) HidD_GetProductString = nullptr;
decltype(&::HidD_GetSerialNumberString) HidD_GetSerialNumberString = nullptr;
decltype(&::HidD_GetPhysicalDescriptor) HidD_GetPhysicalDescriptor = nullptr;
decltype(&::HidD_GetIndexedString) HidD_GetIndexedString = nullptr;
decltype(&::HidP_GetCaps) HidP_GetCaps = nullptr;
decltype(&::HidP_GetLinkCollectionNodes) HidP_GetLinkCollectionNodes = nullptr;
decltype(&::HidP_GetSpecificButtonCaps) HidP_GetSpecificButtonCaps = nullptr;
decltype(&::HidP_GetSpecificValueCaps) HidP_GetSpecificValueCaps = nullptr;
decltype(&::HidP_GetData) HidP_GetData = nullptr;
decltype(&::HidP_SetData) HidP_SetData = nullptr;
decltype(&::HidP_MaxDataListLength) HidP_MaxDataListLength = nullptr;
decltype(&::HidP_GetUsages) HidP_GetUsages = nullptr;
decltype(&::HidP_GetUsagesEx) HidP_GetUsagesEx = nullptr;
decltype(&::HidP_SetUsages) HidP_SetUsages = nullptr;
decltype(&::HidP_UnsetUsages) HidP_UnsetUsages = nullptr;
decltype(&::HidP_MaxUsageListLength) HidP_MaxUsageListLength = nullptr;
decltype(&::HidP_GetUsageValue) HidP_GetUsageValue = nullptr;
decltype(&::HidP_GetScaledUsageValue) HidP_GetScaledUsageValue = nullptr;
decltype(&::HidP_GetUsageValueArray) HidP_GetUsageValueArray = nullptr;
decltype(&::HidP_SetUsageValue) HidP_SetUsageValue = nullptr;
decltype(&::HidP_SetScaledUsageValue) HidP_SetScaledUsageValue = nullptr;
decltype(&::HidP_SetUsageValueArray) HidP_SetUsageValueArray = nullptr;
decltype(&::HidP_UsageListDifference) HidP_UsageListDifference = nullptr;
decltype(&::HidP_TranslateUsagesToI8042ScanCodes) HidP_TranslateUsagesToI8042ScanCodes = nullptr;
decltype(&::HidP_GetUsages) HidP_GetButtons = nullptr;
decltype(&::HidP_GetUsagesEx) HidP_GetButtonsEx = nullptr;
decltype(&::HidP_SetUsages) HidP_SetButtons = nullptr;
decltype(&::HidP_UnsetUsages) HidP_UnsetButtons = nullptr;
decltype(&::HidP_MaxUsageListLength) HidP_MaxButtonListLength = nullptr;
}  // namespace hidlib

namespace syslib {
decltype(&::CreateFile) CreateFile = nullptr;
decltype(&::CloseHandle) CloseHandle = nullptr;
decltype(&::QueryDeviceAccess) QueryDeviceAccess = nullptr;
decltype(&::ReadFile) ReadFile = nullptr;
decltype(&::WriteFile) WriteFile = nullptr;
decltype(&::ReadFileEx) ReadFileEx = nullptr;
decltype(&::WriteFileEx) WriteFileEx = nullptr;
decltype(&::GetOverlappedResult) GetOverlappedResult = nullptr;
decltype(&::SleepEx) SleepEx = nullptr;
decltype(&::DeviceIoControl) DeviceIoControl = nullptr;
decltype(&::GetLastError) GetLastError = nullptr;
decltype(&::GetLocaleInfo) GetLocaleInfo = nullptr;
decltype(&::RegisterDeviceNotification) RegisterDeviceNotification = nullptr;
decltype(&::UnregisterDeviceNotification) UnregisterDeviceNotification = nullptr;
}  // namespace syslib

namespace {

std::mutex BindLock;
TModuleHandle HidLib = INVALID_MODULEHANDLE_VALUE;
int HidRefCount = 0;

template <class T>
void Bind(T& Entry, const char* Name, bool& Ok) {
    Entry = reinterpret_cast<T>(GetModuleSymbolEx(HidLib, Name, Ok));
}

template <class T>
void Clear(T& Entry) {
    Entry = nullptr;
}

// Applies Op to every entry point bound from the module, with its exported name.
template <class Op>
void ForEachEntry(Op&& op) {
    using namespace hidlib;
#define VELTO_ENTRY(ns, name) op(ns::name, #name)
    VELTO_ENTRY(hidlib, HidD_Hello);
    VELTO_ENTRY(hidlib, HidD_GetHidGuid);
    VELTO_ENTRY(hidlib, HidD_GetPreparsedData);
    VELTO_ENTRY(hidlib, HidD_GetParseError);
    VELTO_ENTRY(hidlib, HidD_FreePreparsedData);
    VELTO_ENTRY(hidlib, HidD_GetConfiguration);
    VELTO_ENTRY(hidlib, HidD_SetConfiguration);
    VELTO_ENTRY(hidlib, HidD_FlushQueue);
    VELTO_ENTRY(hidlib, HidD_GetFeature);
    VELTO_ENTRY(hidlib, HidD_SetFeature);
    VELTO_ENTRY(hidlib, HidD_GetNumInputBuffers);
    VELTO_ENTRY(hidlib, HidD_SetNumInputBuffers);
    VELTO_ENTRY(hidlib, HidD_GetAttributes);
    VELTO_ENTRY(hidlib, HidD_GetManufacturerString);
    VELTO_ENTRY(hidlib, HidD_GetProductString);
    VELTO_ENTRY(hidlib, HidD_GetSerialNumberString);
    VELTO_ENTRY(hidlib, HidD_GetPhysicalDescriptor);
    VELTO_ENTRY(hidlib, HidD_GetIndexedString);
    VELTO_ENTRY(hidlib, HidP_GetCaps);
    VELTO_ENTRY(hidlib, HidP_GetLinkCollectionNodes);
    VELTO_ENTRY(hidlib, HidP_GetSpecificButtonCaps);
    VELTO_ENTRY(hidlib, HidP_GetSpecificValueCaps);
    VELTO_ENTRY(hidlib, HidP_GetData);
    VELTO_ENTRY(hidlib, HidP_SetData);
    VELTO_ENTRY(hidlib, HidP_MaxDataListLength);
    VELTO_ENTRY(hidlib, HidP_GetUsages);
    VELTO_ENTRY(hidlib, HidP_GetUsagesEx);
    VELTO_ENTRY(hidlib, HidP_SetUsages);
    VELTO_ENTRY(hidlib, HidP_UnsetUsages);
    VELTO_ENTRY(hidlib, HidP_MaxUsageListLength);
    VELTO_ENTRY(hidlib, HidP_GetUsageValue);
    VELTO_ENTRY(hidlib, HidP_GetScaledUsageValue);
    VELTO_ENTRY(hidlib, HidP_GetUsageValueArray);
    VELTO_ENTRY(hidlib, HidP_SetUsageValue);
    VELTO_ENTRY(hidlib, HidP_SetScaledUsageValue);
    VELTO_ENTRY(hidlib, HidP_SetUsageValueArray);
    VELTO_ENTRY(hidlib, HidP_UsageListDifference);
    VELTO_ENTRY(hidlib, HidP_TranslateUsagesToI8042ScanCodes);
    VELTO_ENTRY(syslib, CreateFile);
    VELTO_ENTRY(syslib, CloseHandle);
    VELTO_ENTRY(syslib, QueryDeviceAccess);
    VELTO_ENTRY(syslib, ReadFile);
    VELTO_ENTRY(syslib, WriteFile);
    VELTO_ENTRY(syslib, ReadFileEx);
    VELTO_ENTRY(syslib, WriteFileEx);
    VELTO_ENTRY(syslib, GetOverlappedResult);
    VELTO_ENTRY(syslib, SleepEx);
    VELTO_ENTRY(syslib, DeviceIoControl);
    VELTO_ENTRY(syslib, GetLastError);
    VELTO_ENTRY(syslib, GetLocaleInfo);
    VELTO_ENTRY(syslib, RegisterDeviceNotification);
    VELTO_ENTRY(syslib, UnregisterDeviceNotification);
#undef VELTO_ENTRY
}

void UnbindLocked() {
    ForEachEntry([](auto& Entry, const char*) { Clear(Entry); });
    hidlib::HidP_GetButtons = nullptr;
    hidlib::HidP_GetButtonsEx = nullptr;
    hidlib::HidP_SetButtons = nullptr;
    hidlib::HidP_UnsetButtons = nullptr;
    hidlib::HidP_MaxButtonListLength = nullptr;
    UnloadModule(HidLib);
    HidRefCount = 0;
}

}  // namespace

bool LoadHid() {
    return LoadHidFrom(HidBackendModule());
}

bool LoadHidFrom(const char* ModuleName) {
    std::lock_guard<std::mutex> Guard(BindLock);
    if (HidRefCount > 0) {
        ++HidRefCount;
        return true;
    }
    if (!LoadModule(HidLib, ModuleName)) return false;
    bool Ok = true;
    ForEachEntry([&Ok](auto& Entry, const char* Name) { Bind(Entry, Name, Ok); });
    if (!Ok) {
        UnbindLocked();
        return false;
    }
    hidlib::HidP_GetButtons = hidlib::HidP_GetUsages;
    hidlib::HidP_GetButtonsEx = hidlib::HidP_GetUsagesEx;
    hidlib::HidP_SetButtons = hidlib::HidP_SetUsages;
    hidlib::HidP_UnsetButtons = hidlib::HidP_UnsetUsages;
    hidlib::HidP_MaxButtonListLength = hidlib::HidP_MaxUsageListLength;
    HidRefCount = 1;
    return true;
}

void UnloadHid() {
    std::lock_guard<std::mutex> Guard(BindLock);
    if (HidRefCount > 1) {
        --HidRefCount;
        return;
    }
    UnbindLocked();
}

bool IsHidLoaded() {
    std::lock_guard<std::mutex> Guard(BindLock);
    return HidLib != INVALID_MODULEHANDLE_VALUE;
}

void* GetHidModuleHandle() {
    std::lock_guard<std::mutex> Guard(BindLock);
    return HidLib;
}

void HidCheck(NTSTATUS Status) {
    if (Status != HIDP_STATUS_SUCCESS) HidError(Status);
}

void HidCheck(bool Value) {
    if (!Value) throw EHidClientError("HID Error: a boolean function failed");
}

void HidError(NTSTATUS Status) {
    std::string Text = HidErrorString(Status);
    if (!Text.empty()) throw EHidClientError(Text);
}

std::string HidErrorString(NTSTATUS Status) {
    const auto Code = static_cast<uint32_t>(Status);
    if (((Code >> 16) & 0xFFu) != 0x11u || (Code & 0xC0000000u) == 0) return {};
    const char* Text = nullptr;
    switch (Code) {
        case 0x80110001u:
            Text = "device not plugged in";
            break;
        case 0xC0110001u:
            Text = "invalid preparsed data";
            break;
        case 0xC0110002u:
            Text = "invalid report type";
            break;
        case 0xC0110003u:
            Text = "invalid report length";
            break;
        case 0xC0110004u:
            Text = "usage not found";
            break;
        case 0xC0110005u:
            Text = "value out of range";
            break;
        case 0xC0110006u:
            Text = "bad logical or physical values";
            break;
        case 0xC0110007u:
            Text = "buffer too small";
            break;
        case 0xC0110008u:
            Text = "internal error";
            break;
        case 0xC0110009u:
            Text = "8042 key translation impossible";
            break;
        case 0xC011000Au:
            Text = "incompatible report ID";
            break;
        case 0xC011000Bu:
            Text = "not a value array";
            break;
        case 0xC011000Cu:
            Text = "is a value array";
            break;
        case 0xC011000Du:
            Text = "data index not found";
            break;
        case 0xC011000Eu:
            Text = "data index out of range";
            break;
        case 0xC011000Fu:
            Text = "button not pressed";
            break;
        case 0xC0110010u:
            Text = "report does not exist";
            break;
        case 0xC0110020u:
            Text = "not implemented";
            break;
        default:
            break;
    }
    if (Text != nullptr) return std::string("HID Error: ") + Text;
    char Buf[48];
    std::snprintf(Buf, sizeof Buf, "unknown HID error %x", Code);
    return std::string("HID Error: ") + Buf;
}

std::string SysErrorMessage(uint32_t Code) {
    switch (Code) {
        case ERROR_SUCCESS:
            return "The operation completed successfully.";
        case ERROR_FILE_NOT_FOUND:
            return "The system cannot find the file specified.";
        case ERROR_ACCESS_DENIED:
            return "Access is denied.";
        case ERROR_INVALID_HANDLE:
            return "The handle is invalid.";
        case ERROR_NOT_ENOUGH_MEMORY:
            return "Not enough memory resources are available to process this command.";
        case ERROR_WRITE_FAULT:
            return "The system cannot write to the specified device.";
        case ERROR_GEN_FAILURE:
            return "A device attached to the system is not functioning.";
        case ERROR_SHARING_VIOLATION:
            return "The process cannot access the file because it is being used by another "
                   "process.";
        case ERROR_NOT_SUPPORTED:
            return "The request is not supported.";
        case ERROR_INVALID_PARAMETER:
            return "The parameter is incorrect.";
        case ERROR_INSUFFICIENT_BUFFER:
            return "The data area passed to a system call is too small.";
        case ERROR_NO_MORE_ITEMS:
            return "No more data is available.";
        case ERROR_OPERATION_ABORTED:
            return "The I/O operation has been aborted because of either a thread exit or an "
                   "application request.";
        case ERROR_IO_INCOMPLETE:
            return "Overlapped I/O event is not in a signaled state.";
        case ERROR_IO_PENDING:
            return "Overlapped I/O operation is in progress.";
        case ERROR_DEVICE_NOT_CONNECTED:
            return "The device is not connected.";
        case ERROR_NOT_FOUND:
            return "Element not found.";
        case ERROR_TIMEOUT:
            return "This operation returned because the timeout period expired.";
        default:
            return "System error code " + std::to_string(Code);
    }
}
