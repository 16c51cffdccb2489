// The plug-and-play description of one HID interface, read once while the interface list that
// found it is open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/hid_platform.h"

// The plug-and-play description of one HID interface.
class TJvHidPnPInfo {
  public:
    TJvHidPnPInfo(HDEVINFO APnPHandle, const SP_DEVINFO_DATA& ADevData, std::string ADevicePath);
    // A description without registry access (a device path and instance number only).
    TJvHidPnPInfo(uint32_t ADeviceInstance, std::string ADevicePath);
    ~TJvHidPnPInfo();

    const std::vector<std::string>& GetCompatibleIDs() const { return CompatibleIDs; }
    const std::vector<std::string>& GetHardwareID() const { return HardwareID; }
    const std::vector<std::string>& GetLowerFilters() const { return LowerFilters; }
    const std::vector<std::string>& GetUpperFilters() const { return UpperFilters; }

    uint32_t DeviceInstance = 0;
    std::string DevicePath;
    uint32_t Capabilities = 0;
    std::string ClassDescr;
    std::string ClassGUID;
    std::vector<std::string> CompatibleIDs;
    uint32_t ConfigFlags = 0;
    std::string DeviceDescr;
    std::string Driver;
    std::string FriendlyName;
    std::vector<std::string> HardwareID;
    std::vector<std::string> LowerFilters;
    std::string Mfg;
    std::vector<std::string> UpperFilters;
    std::string Service;
    std::string Address;
    uint32_t BusNumber = 0;
    std::string BusType;
    std::string Characteristics;
    uint32_t DeviceType = 0;
    std::string EnumeratorName;
    uint32_t Exclusive = 0;
    uint32_t LegacyBusType = 0;
    std::string LocationInfo;
    // Where the device is plugged in, kept when it re-enumerates (a USB port path).
    std::vector<std::string> LocationPaths;
    std::string PhysDevObjName;
    std::string Security;
    uint32_t UINumber = 0;
    std::string UINumberFormat;

  private:
    std::string GetRegistryPropertyString(uint32_t Prop);
    std::vector<std::string> GetRegistryPropertyStringList(uint32_t Prop);
    uint32_t GetRegistryPropertyDWord(uint32_t Prop);

    HDEVINFO PnPHandle = nullptr;
    SP_DEVINFO_DATA DevData{};
};
