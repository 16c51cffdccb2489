#include "hid/jvhidpnpinfo.h"

#include <cstring>

#include "hid/setupapi.h"

TJvHidPnPInfo::TJvHidPnPInfo(HDEVINFO APnPHandle, const SP_DEVINFO_DATA& ADevData,
                             std::string ADevicePath)
    : DeviceInstance(ADevData.DevInst),
      DevicePath(std::move(ADevicePath)),
      PnPHandle(APnPHandle),
      DevData(ADevData) {
    Capabilities = GetRegistryPropertyDWord(SPDRP_CAPABILITIES);
    ClassDescr = GetRegistryPropertyString(SPDRP_CLASS);
    ClassGUID = GetRegistryPropertyString(SPDRP_CLASSGUID);
    CompatibleIDs = GetRegistryPropertyStringList(SPDRP_COMPATIBLEIDS);
    ConfigFlags = GetRegistryPropertyDWord(SPDRP_CONFIGFLAGS);
    DeviceDescr = GetRegistryPropertyString(SPDRP_DEVICEDESC);
    Driver = GetRegistryPropertyString(SPDRP_DRIVER);
    FriendlyName = GetRegistryPropertyString(SPDRP_FRIENDLYNAME);
    HardwareID = GetRegistryPropertyStringList(SPDRP_HARDWAREID);
    LowerFilters = GetRegistryPropertyStringList(SPDRP_LOWERFILTERS);
    Mfg = GetRegistryPropertyString(SPDRP_MFG);
    UpperFilters = GetRegistryPropertyStringList(SPDRP_UPPERFILTERS);
    Service = GetRegistryPropertyString(SPDRP_SERVICE);
    Address = GetRegistryPropertyString(SPDRP_ADDRESS);
    BusNumber = GetRegistryPropertyDWord(SPDRP_BUSNUMBER);
    BusType = GetRegistryPropertyString(SPDRP_BUSTYPEGUID);
    Characteristics = GetRegistryPropertyString(SPDRP_CHARACTERISTICS);
    DeviceType = GetRegistryPropertyDWord(SPDRP_DEVTYPE);
    EnumeratorName = GetRegistryPropertyString(SPDRP_ENUMERATOR_NAME);
    Exclusive = GetRegistryPropertyDWord(SPDRP_EXCLUSIVE);
    LegacyBusType = GetRegistryPropertyDWord(SPDRP_LEGACYBUSTYPE);
    LocationInfo = GetRegistryPropertyString(SPDRP_LOCATION_INFORMATION);
    LocationPaths = GetRegistryPropertyStringList(SPDRP_LOCATION_PATHS);
    PhysDevObjName = GetRegistryPropertyString(SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
    Security = GetRegistryPropertyString(SPDRP_SECURITY_SDS);
    UINumber = GetRegistryPropertyDWord(SPDRP_UI_NUMBER);
    UINumberFormat = GetRegistryPropertyString(0x1E);
    // The device-information set is only valid during the enumeration that made this.
    PnPHandle = nullptr;
}

TJvHidPnPInfo::TJvHidPnPInfo(uint32_t ADeviceInstance, std::string ADevicePath)
    : DeviceInstance(ADeviceInstance), DevicePath(std::move(ADevicePath)) {}

TJvHidPnPInfo::~TJvHidPnPInfo() = default;

std::string TJvHidPnPInfo::GetRegistryPropertyString(uint32_t Prop) {
    if (setuplib::SetupDiGetDeviceRegistryProperty == nullptr || PnPHandle == nullptr) return {};
    uint8_t Buffer[1024] = {};
    DWORD Type = 0;
    DWORD Needed = 0;
    if (!setuplib::SetupDiGetDeviceRegistryProperty(PnPHandle, &DevData, Prop, &Type, Buffer,
                                                    sizeof Buffer, &Needed))
        return {};
    const auto* Text = reinterpret_cast<const char*>(Buffer);
    return std::string(Text, strnlen(Text, sizeof Buffer));
}

std::vector<std::string> TJvHidPnPInfo::GetRegistryPropertyStringList(uint32_t Prop) {
    std::vector<std::string> Result;
    if (setuplib::SetupDiGetDeviceRegistryProperty == nullptr || PnPHandle == nullptr)
        return Result;
    std::vector<uint8_t> Buffer(16384, 0);
    DWORD Type = 0;
    DWORD Needed = 0;
    if (!setuplib::SetupDiGetDeviceRegistryProperty(PnPHandle, &DevData, Prop, &Type, Buffer.data(),
                                                    static_cast<DWORD>(Buffer.size()), &Needed))
        return Result;
    const auto* Text = reinterpret_cast<const char*>(Buffer.data());
    std::size_t Pos = 0;
    while (Pos < Buffer.size()) {
        const std::size_t Len = strnlen(Text + Pos, Buffer.size() - Pos);
        if (Len == 0) break;
        Result.emplace_back(Text + Pos, Len);
        Pos += Len + 1;
    }
    return Result;
}

uint32_t TJvHidPnPInfo::GetRegistryPropertyDWord(uint32_t Prop) {
    if (setuplib::SetupDiGetDeviceRegistryProperty == nullptr || PnPHandle == nullptr) return 0;
    uint8_t Buffer[4] = {};
    DWORD Type = 0;
    DWORD Needed = 0;
    if (!setuplib::SetupDiGetDeviceRegistryProperty(PnPHandle, &DevData, Prop, &Type, Buffer,
                                                    sizeof Buffer, &Needed))
        return 0;
    uint32_t Value = 0;
    std::memcpy(&Value, Buffer, sizeof Value);
    return Value;
}
