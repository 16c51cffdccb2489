// HID status texts and the run-time binding of the HID class library and the device file
// operations. All entry points live in the backend module (HidBackendModule()); the HID
// classes call them only through the pointers bound here.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/hid_platform.h"

class EHidClientError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Unless Status is HIDP_STATUS_SUCCESS, HidError(Status).
void HidCheck(NTSTATUS Status);
// false raises EHidClientError "HID Error: a boolean function failed".
void HidCheck(bool Value);
// Raises EHidClientError with HidErrorString(Status) when that is not empty.
void HidError(NTSTATUS Status);
// "HID Error: ..." for a HID status code (facility 0x11, not a success); else "".
std::string HidErrorString(NTSTATUS Status);

// The system's text for a system error code (GetLastError), e.g. 1167 -> "The device is not
// connected."; "System error code N" for codes without a text of their own.
std::string SysErrorMessage(uint32_t Code);

// Binds every HidD_/HidP_ entry point and the device file operations. Reference counted: each
// successful LoadHid needs one UnloadHid; the module is freed and the pointers cleared at the
// last. A missing module or entry point leaves everything unbound and answers false.
bool LoadHid();
// As LoadHid from a named module (tools and tests).
bool LoadHidFrom(const char* ModuleName);
void UnloadHid();
bool IsHidLoaded();
void* GetHidModuleHandle();

// Bound HID class library entry points; nullptr while unbound.
namespace hidlib {
extern decltype(&::HidD_Hello) HidD_Hello;
extern decltype(&::HidD_GetHidGuid) HidD_GetHidGuid;
extern decltype(&::HidD_GetPreparsedData) HidD_GetPreparsedData;
extern decltype(&::HidD_GetParseError) HidD_GetParseError;
extern decltype(&::HidD_FreePreparsedData) HidD_FreePreparsedData;
extern decltype(&::HidD_GetConfiguration) HidD_GetConfiguration;
extern decltype(&::HidD_SetConfiguration) HidD_SetConfiguration;
extern decltype(&::HidD_FlushQueue) HidD_FlushQueue;
extern decltype(&::HidD_GetFeature) HidD_GetFeature;
extern decltype(&::HidD_SetFeature) HidD_SetFeature;
extern decltype(&::HidD_GetNumInputBuffers) HidD_GetNumInputBuffers;
extern decltype(&::HidD_SetNumInputBuffers) HidD_SetNumInputBuffers;
extern decltype(&::HidD_GetAttributes) HidD_GetAttributes;
extern decltype(&::HidD_GetManufacturerString) HidD_GetManufacturerString;
extern decltype(&::HidD_GetProductString) HidD_GetProductString;
extern decltype(&::HidD_GetSerialNumberString) HidD_GetSerialNumberString;
extern decltype(&::HidD_GetPhysicalDescriptor) HidD_GetPhysicalDescriptor;
extern decltype(&::HidD_GetIndexedString) HidD_GetIndexedString;
extern decltype(&::HidP_GetCaps) HidP_GetCaps;
extern decltype(&::HidP_GetLinkCollectionNodes) HidP_GetLinkCollectionNodes;
extern decltype(&::HidP_GetSpecificButtonCaps) HidP_GetSpecificButtonCaps;
extern decltype(&::HidP_GetSpecificValueCaps) HidP_GetSpecificValueCaps;
extern decltype(&::HidP_GetData) HidP_GetData;
extern decltype(&::HidP_SetData) HidP_SetData;
extern decltype(&::HidP_MaxDataListLength) HidP_MaxDataListLength;
extern decltype(&::HidP_GetUsages) HidP_GetUsages;
extern decltype(&::HidP_GetUsagesEx) HidP_GetUsagesEx;
extern decltype(&::HidP_SetUsages) HidP_SetUsages;
extern decltype(&::HidP_UnsetUsages) HidP_UnsetUsages;
extern decltype(&::HidP_MaxUsageListLength) HidP_MaxUsageListLength;
extern decltype(&::HidP_GetUsageValue) HidP_GetUsageValue;
extern decltype(&::HidP_GetScaledUsageValue) HidP_GetScaledUsageValue;
extern decltype(&::HidP_GetUsageValueArray) HidP_GetUsageValueArray;
extern decltype(&::HidP_SetUsageValue) HidP_SetUsageValue;
extern decltype(&::HidP_SetScaledUsageValue) HidP_SetScaledUsageValue;
extern decltype(&::HidP_SetUsageValueArray) HidP_SetUsageValueArray;
extern decltype(&::HidP_UsageListDifference) HidP_UsageListDifference;
extern decltype(&::HidP_TranslateUsagesToI8042ScanCodes) HidP_TranslateUsagesToI8042ScanCodes;
// Button operations use the usage entry points of the same kind.
extern decltype(&::HidP_GetUsages) HidP_GetButtons;
extern decltype(&::HidP_GetUsagesEx) HidP_GetButtonsEx;
extern decltype(&::HidP_SetUsages) HidP_SetButtons;
extern decltype(&::HidP_UnsetUsages) HidP_UnsetButtons;
extern decltype(&::HidP_MaxUsageListLength) HidP_MaxButtonListLength;
}  // namespace hidlib

// Bound device file and system operations (bound together with the HID entry points).
// CancelIo is not bound here: it is looked up at each use.
namespace syslib {
extern decltype(&::CreateFile) CreateFile;
extern decltype(&::CloseHandle) CloseHandle;
extern decltype(&::QueryDeviceAccess) QueryDeviceAccess;
extern decltype(&::ReadFile) ReadFile;
extern decltype(&::WriteFile) WriteFile;
extern decltype(&::ReadFileEx) ReadFileEx;
extern decltype(&::WriteFileEx) WriteFileEx;
extern decltype(&::GetOverlappedResult) GetOverlappedResult;
extern decltype(&::SleepEx) SleepEx;
extern decltype(&::DeviceIoControl) DeviceIoControl;
extern decltype(&::GetLastError) GetLastError;
extern decltype(&::GetLocaleInfo) GetLocaleInfo;
extern decltype(&::RegisterDeviceNotification) RegisterDeviceNotification;
extern decltype(&::UnregisterDeviceNotification) UnregisterDeviceNotification;
}  // namespace syslib
