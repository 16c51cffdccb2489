// TJvHidDevice's report-descriptor operations: each forwards to its HidP_ entry point with the
// device's parsed descriptor and its report type, usage page, link collection and usage.
#include <type_traits>

#include "hid/hid.h"
#include "hid/jvhiddevice.h"

// The entry points count in ULONG and take LONG values; the forwarders' callers pass theirs.
static_assert(std::is_same_v<ULONG, uint32_t> && std::is_same_v<LONG, int32_t>);

template <class F>
NTSTATUS TJvHidDevice::WithPreparsedData(F&& Call) {
    if (!IsAccessible()) return HIDP_STATUS_NULL;
    PHIDP_PREPARSED_DATA Data = GetPreparsedData();
    if (Data == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    return Call(Data);
}

NTSTATUS TJvHidDevice::GetButtonCaps(HIDP_BUTTON_CAPS* ButtonCaps, uint16_t& Count) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_GetSpecificButtonCaps(ReportTypeParam, UsagePageParam,
                                                  LinkCollectionParam, 0, ButtonCaps, &Count, Data);
    });
}

NTSTATUS TJvHidDevice::GetSpecificButtonCaps(HIDP_BUTTON_CAPS* ButtonCaps, uint16_t& Count) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_GetSpecificButtonCaps(ReportTypeParam, UsagePageParam,
                                                  LinkCollectionParam, UsageParam, ButtonCaps,
                                                  &Count, Data);
    });
}

NTSTATUS TJvHidDevice::GetValueCaps(HIDP_VALUE_CAPS* ValueCaps, uint16_t& Count) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_GetSpecificValueCaps(ReportTypeParam, UsagePageParam,
                                                 LinkCollectionParam, 0, ValueCaps, &Count, Data);
    });
}

NTSTATUS TJvHidDevice::GetSpecificValueCaps(HIDP_VALUE_CAPS* ValueCaps, uint16_t& Count) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_GetSpecificValueCaps(ReportTypeParam, UsagePageParam,
                                                 LinkCollectionParam, UsageParam, ValueCaps, &Count,
                                                 Data);
    });
}

NTSTATUS TJvHidDevice::GetData(HIDP_DATA* DataList, uint32_t& DataLength, char* Report,
                               uint32_t Size) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_GetData(ReportTypeParam, DataList, &DataLength, Data, Report, Size);
    });
}

NTSTATUS TJvHidDevice::SetData(HIDP_DATA* DataList, uint32_t& DataLength, char* Report,
                               uint32_t Size) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_SetData(ReportTypeParam, DataList, &DataLength, Data, Report, Size);
    });
}

// The usage-list calls differ only in their entry point (the button ones are its aliases).
#define VELTO_FORWARD_USAGES(Method, Entry)                                                       \
    NTSTATUS TJvHidDevice::Method(USAGE* UsageList, uint32_t& UsageLength, char* Report,          \
                                  uint32_t Size) {                                                \
        return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {                                 \
            return hidlib::Entry(ReportTypeParam, UsagePageParam, LinkCollectionParam, UsageList, \
                                 &UsageLength, Data, Report, Size);                               \
        });                                                                                       \
    }

VELTO_FORWARD_USAGES(GetUsages, HidP_GetUsages)
VELTO_FORWARD_USAGES(GetButtons, HidP_GetButtons)
VELTO_FORWARD_USAGES(SetUsages, HidP_SetUsages)
VELTO_FORWARD_USAGES(SetButtons, HidP_SetButtons)
VELTO_FORWARD_USAGES(UnsetUsages, HidP_UnsetUsages)
VELTO_FORWARD_USAGES(UnsetButtons, HidP_UnsetButtons)
#undef VELTO_FORWARD_USAGES

NTSTATUS TJvHidDevice::GetUsagesEx(USAGE_AND_PAGE* UsageList, uint32_t& UsageLength, char* Report,
                                   uint32_t Size) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_GetUsagesEx(ReportTypeParam, LinkCollectionParam, UsageList,
                                        &UsageLength, Data, Report, Size);
    });
}

NTSTATUS TJvHidDevice::GetButtonsEx(USAGE_AND_PAGE* UsageList, uint32_t& UsageLength, char* Report,
                                    uint32_t Size) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_GetButtonsEx(ReportTypeParam, LinkCollectionParam, UsageList,
                                         &UsageLength, Data, Report, Size);
    });
}

NTSTATUS TJvHidDevice::GetUsageValue(uint32_t& UsageValue, char* Report, uint32_t Size) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        UsageValue = 0;  // what a failed call leaves
        return hidlib::HidP_GetUsageValue(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                          UsageParam, &UsageValue, Data, Report, Size);
    });
}

NTSTATUS TJvHidDevice::GetScaledUsageValue(int32_t& UsageValue, char* Report, uint32_t Size) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        UsageValue = 0;  // what a failed call leaves
        return hidlib::HidP_GetScaledUsageValue(ReportTypeParam, UsagePageParam,
                                                LinkCollectionParam, UsageParam, &UsageValue, Data,
                                                Report, Size);
    });
}

NTSTATUS TJvHidDevice::SetUsageValue(uint32_t UsageValue, char* Report, uint32_t Size) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_SetUsageValue(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                          UsageParam, UsageValue, Data, Report, Size);
    });
}

NTSTATUS TJvHidDevice::SetScaledUsageValue(int32_t UsageValue, char* Report, uint32_t Size) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_SetScaledUsageValue(ReportTypeParam, UsagePageParam,
                                                LinkCollectionParam, UsageParam, UsageValue, Data,
                                                Report, Size);
    });
}

NTSTATUS TJvHidDevice::GetUsageValueArray(char* UsageValue, uint16_t DataLength, char* Report,
                                          uint32_t Size) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_GetUsageValueArray(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                               UsageParam, UsageValue, DataLength, Data, Report,
                                               Size);
    });
}

NTSTATUS TJvHidDevice::SetUsageValueArray(char* UsageValue, uint16_t DataLength, char* Report,
                                          uint32_t Size) {
    return WithPreparsedData([&](PHIDP_PREPARSED_DATA Data) {
        return hidlib::HidP_SetUsageValueArray(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                               UsageParam, UsageValue, DataLength, Data, Report,
                                               Size);
    });
}
