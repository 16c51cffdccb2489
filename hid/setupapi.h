// Run-time binding of the device-setup entry points (interface enumeration and registry
// properties) from the backend module. Reference counted.
#pragma once

#include "platform/hid_platform.h"

// The first successful call loads and binds; later calls only count. A missing module or
// entry point leaves everything unbound and answers false.
bool LoadSetupApi();
// As LoadSetupApi from a named module (tools and tests).
bool LoadSetupApiFrom(const char* ModuleName);
// Count -1; at 0 or below the module is freed and every entry point cleared.
void UnloadSetupApi();
bool IsSetupApiLoaded();
void* GetSetupApiModuleHandle();

namespace setuplib {
extern decltype(&::SetupDiGetClassDevs) SetupDiGetClassDevs;
extern decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
extern decltype(&::SetupDiGetDeviceInterfaceDetail) SetupDiGetDeviceInterfaceDetail;
extern decltype(&::SetupDiGetDeviceRegistryProperty) SetupDiGetDeviceRegistryProperty;
extern decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
}  // namespace setuplib
