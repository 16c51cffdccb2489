#include "hid/setupapi.h"

#include <mutex>

#include "hid/backend.h"
#include "hid/moduleloader.h"

namespace setuplib {
decltype(&::SetupDiGetClassDevs) SetupDiGetClassDevs = nullptr;
decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces = nullptr;
decltype(&::SetupDiGetDeviceInterfaceDetail) SetupDiGetDeviceInterfaceDetail = nullptr;
decltype(&::SetupDiGetDeviceRegistryProperty) SetupDiGetDeviceRegistryProperty = nullptr;
decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList = nullptr;
}  // namespace setuplib

namespace {

std::mutex BindLock;
TModuleHandle SetupApiLib = INVALID_MODULEHANDLE_VALUE;
int SetupApiLoadCount = 0;

template <class T>
void Bind(T& Entry, const char* Name, bool& Ok) {
    Entry = reinterpret_cast<T>(GetModuleSymbolEx(SetupApiLib, Name, Ok));
}

void UnbindLocked() {
    setuplib::SetupDiGetClassDevs = nullptr;
    setuplib::SetupDiEnumDeviceInterfaces = nullptr;
    setuplib::SetupDiGetDeviceInterfaceDetail = nullptr;
    setuplib::SetupDiGetDeviceRegistryProperty = nullptr;
    setuplib::SetupDiDestroyDeviceInfoList = nullptr;
    UnloadModule(SetupApiLib);
    SetupApiLoadCount = 0;
}

}  // namespace

bool LoadSetupApi() {
    return LoadSetupApiFrom(HidBackendModule());
}

bool LoadSetupApiFrom(const char* ModuleName) {
    std::lock_guard<std::mutex> Guard(BindLock);
    if (SetupApiLoadCount > 0) {
        ++SetupApiLoadCount;
        return true;
    }
    if (!LoadModule(SetupApiLib, ModuleName)) return false;
    bool Ok = true;
    Bind(setuplib::SetupDiGetClassDevs, "SetupDiGetClassDevs", Ok);
    Bind(setuplib::SetupDiEnumDeviceInterfaces, "SetupDiEnumDeviceInterfaces", Ok);
    Bind(setuplib::SetupDiGetDeviceInterfaceDetail, "SetupDiGetDeviceInterfaceDetail", Ok);
    Bind(setuplib::SetupDiGetDeviceRegistryProperty, "SetupDiGetDeviceRegistryProperty", Ok);
    Bind(setuplib::SetupDiDestroyDeviceInfoList, "SetupDiDestroyDeviceInfoList", Ok);
    if (!Ok) {
        UnbindLocked();
        return false;
    }
    SetupApiLoadCount = 1;
    return true;
}

void UnloadSetupApi() {
    std::lock_guard<std::mutex> Guard(BindLock);
    if (--SetupApiLoadCount <= 0) UnbindLocked();
}

bool IsSetupApiLoaded() {
    std::lock_guard<std::mutex> Guard(BindLock);
    return SetupApiLib != INVALID_MODULEHANDLE_VALUE;
}

void* GetSetupApiModuleHandle() {
    std::lock_guard<std::mutex> Guard(BindLock);
    return SetupApiLib;
}
