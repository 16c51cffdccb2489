/* The platform ABI: the HID class library, the device-setup library and the device file
 * operations that the HID layer (hid/) calls, as one narrow C interface.
 *
 * A backend is a shared library that exports these entry points by name (extern "C").
 * The HID layer never links a backend: it loads one at run time with the module loader and
 * binds each entry point by name, so the same code runs over the Linux hidraw backend and
 * the in-memory simulated bus.
 *
 * Shapes follow the long-established HID client conventions: BOOLEAN results with the reason
 * in GetLastError(), NTSTATUS-style HIDP_STATUS codes, caller-owned buffers with their sizes
 * in bytes, wide strings as 16-bit units. Handles are opaque.
 *
 * Threads: every entry point may be called from any thread. GetLastError() is per thread.
 * Overlapped reads (ReadFileEx) complete only inside an alertable SleepEx() of the thread
 * that started them, as the HID reader thread expects.
 */
#ifndef VELTO_PLATFORM_HID_PLATFORM_H
#define VELTO_PLATFORM_HID_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Basic types ---------------------------------------------------------------------- */

typedef uint8_t BOOLEAN; /* 0 = false, 1 = true */
typedef int32_t BOOL;
typedef uint8_t UCHAR;
typedef uint16_t USHORT;
typedef uint16_t USAGE;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint16_t WCHAR; /* one UTF-16 unit */
typedef int32_t NTSTATUS;
typedef void* HANDLE;
typedef void* HDEVINFO;
typedef void* HDEVNOTIFY;
typedef struct HidpPreparsedData* PHIDP_PREPARSED_DATA;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

typedef struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

/* ---- System error codes (GetLastError) ------------------------------------------------ */

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_WRITE_FAULT 29u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NOT_FOUND 1168u
#define ERROR_TIMEOUT 1460u

/* SleepEx result when the wait ended because an overlapped read completed. */
#define WAIT_IO_COMPLETION 192u

/* ---- Device file operations ----------------------------------------------------------- */

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_FLAG_OVERLAPPED 0x40000000u

typedef struct OVERLAPPED {
    uintptr_t Internal;     /* backend's completion status; do not touch */
    uintptr_t InternalHigh; /* bytes transferred once complete */
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent; /* free for the caller: the HID device keeps itself here */
} OVERLAPPED;

typedef void (*LPOVERLAPPED_COMPLETION_ROUTINE)(DWORD errorCode, DWORD bytesTransferred,
                                                OVERLAPPED* overlapped);

/* access 0 opens the device for queries only (attributes, strings, descriptors); it never
 * touches the device itself. A handle with GENERIC_READ and GENERIC_WRITE holds the device for
 * this program until it is closed: another read/write open fails with
 * ERROR_SHARING_VIOLATION. */
HANDLE CreateFile(const char* path, DWORD access, DWORD share, void* security, DWORD disposition,
                  DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
/* Whether CreateFile with this access would succeed now, found out without opening the device
 * (opening wakes a suspended device): TRUE, or FALSE with the reason, ERROR_ACCESS_DENIED,
 * ERROR_SHARING_VIOLATION or ERROR_FILE_NOT_FOUND. A change of the answer is announced like an
 * arrival (DBT_DEVNODES_CHANGED). */
BOOL QueryDeviceAccess(const char* path, DWORD access);
/* Synchronous I/O. A read returns one input report, report ID first, padded with zeros to the
 * input report length (a device may send fewer bytes); a write takes one output report, report
 * ID first, and sends it whole or fails (ERROR_WRITE_FAULT when only part went out,
 * ERROR_TIMEOUT when the device did not take it in time). overlapped must be null. */
BOOL ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE handle, const void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped);
/* Overlapped I/O on a handle opened with FILE_FLAG_OVERLAPPED. The buffer and the record
 * must stay valid until the operation completes or is cancelled. */
BOOL ReadFileEx(HANDLE handle, void* buffer, DWORD size, OVERLAPPED* overlapped,
                LPOVERLAPPED_COMPLETION_ROUTINE completion);
BOOL WriteFileEx(HANDLE handle, const void* buffer, DWORD size, OVERLAPPED* overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE completion);
/* Without waiting: TRUE and the byte count once complete; FALSE with ERROR_IO_INCOMPLETE
 * while pending, or with the failure's code (ERROR_DEVICE_NOT_CONNECTED on removal,
 * ERROR_OPERATION_ABORTED after CancelIo). */
BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* done, BOOL wait);
/* Cancels the calling thread's pending overlapped I/O on the handle. */
BOOL CancelIo(HANDLE handle);
/* Waits up to ms milliseconds. With alertable set, returns WAIT_IO_COMPLETION as soon as
 * one of this thread's overlapped operations completes (the completion routine has run);
 * otherwise 0 when the time is up. */
DWORD SleepEx(DWORD ms, BOOL alertable);
BOOL DeviceIoControl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned, OVERLAPPED* overlapped);
DWORD GetLastError(void);
void SetLastError(DWORD code);

/* Language name for a language ID (LOCALE_SLANGUAGE); 0 when unknown. */
#define LOCALE_SLANGUAGE 0x00000002u
int GetLocaleInfo(DWORD locale, DWORD type, char* buffer, int size);

/* ---- Device-change notification ------------------------------------------------------- */

#define WM_DEVICECHANGE 0x0219u
#define DBT_DEVNODES_CHANGED 0x0007u

/* Called on a backend thread whenever HID interfaces arrive or leave, or the access to one
 * changes, with DBT_DEVNODES_CHANGED. The receiver hands it on to its own thread. */
typedef void (*DEVICE_CHANGE_CALLBACK)(void* context, DWORD event);
HDEVNOTIFY RegisterDeviceNotification(DEVICE_CHANGE_CALLBACK callback, void* context);
/* After this returns, the callback is not running and will not be called again. */
BOOL UnregisterDeviceNotification(HDEVNOTIFY notification);

/* ---- HID class library: HidD_ ----------------------------------------------------------- */

typedef struct HIDD_ATTRIBUTES {
    ULONG Size; /* set to sizeof(HIDD_ATTRIBUTES) by the caller */
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
} HIDD_ATTRIBUTES;

typedef struct HIDD_CONFIGURATION {
    void* cookie;
    ULONG size;
    ULONG RingBufferSize;
} HIDD_CONFIGURATION;

ULONG HidD_Hello(char* buffer, ULONG size);
void HidD_GetHidGuid(GUID* guid);
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data);
/* Why HidD_GetPreparsedData refuses the device's report descriptor, in words (the item, its
 * byte offset and what is wrong), as zero-terminated UTF-8 into size bytes, cut short to fit:
 * TRUE, with "" when the descriptor parses; FALSE with the reason in GetLastError() when the
 * descriptor cannot be read. */
BOOLEAN HidD_GetParseError(HANDLE device, char* buffer, ULONG size);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data);
BOOLEAN HidD_GetConfiguration(HANDLE device, HIDD_CONFIGURATION* config, ULONG size);
BOOLEAN HidD_SetConfiguration(HANDLE device, HIDD_CONFIGURATION* config, ULONG size);
BOOLEAN HidD_FlushQueue(HANDLE device);
/* Feature reports: byte 0 of the buffer is the report ID. */
BOOLEAN HidD_GetFeature(HANDLE device, void* report, ULONG size);
BOOLEAN HidD_SetFeature(HANDLE device, void* report, ULONG size);
BOOLEAN HidD_GetNumInputBuffers(HANDLE device, ULONG* count);
BOOLEAN HidD_SetNumInputBuffers(HANDLE device, ULONG count);
BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes);
/* Strings: zero-terminated UTF-16 into a buffer of size bytes. */
BOOLEAN HidD_GetManufacturerString(HANDLE device, void* buffer, ULONG size);
BOOLEAN HidD_GetProductString(HANDLE device, void* buffer, ULONG size);
BOOLEAN HidD_GetSerialNumberString(HANDLE device, void* buffer, ULONG size);
/* Index 0 gives the language-ID list, one 16-bit ID per unit. */
BOOLEAN HidD_GetIndexedString(HANDLE device, ULONG index, void* buffer, ULONG size);
/* Fails with ERROR_INSUFFICIENT_BUFFER when size is too small for the descriptor. */
BOOLEAN HidD_GetPhysicalDescriptor(HANDLE device, void* buffer, ULONG size);

/* ---- HID class library: HidP_ (report-descriptor parser) ------------------------------ */

#define HIDP_STATUS_SUCCESS ((NTSTATUS)0x00110000)
#define HIDP_STATUS_NULL ((NTSTATUS)0x80110001)
#define HIDP_STATUS_INVALID_PREPARSED_DATA ((NTSTATUS)0xC0110001)
#define HIDP_STATUS_INVALID_REPORT_TYPE ((NTSTATUS)0xC0110002)
#define HIDP_STATUS_INVALID_REPORT_LENGTH ((NTSTATUS)0xC0110003)
#define HIDP_STATUS_USAGE_NOT_FOUND ((NTSTATUS)0xC0110004)
#define HIDP_STATUS_VALUE_OUT_OF_RANGE ((NTSTATUS)0xC0110005)
#define HIDP_STATUS_BAD_LOG_PHY_VALUES ((NTSTATUS)0xC0110006)
#define HIDP_STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0110007)
#define HIDP_STATUS_INTERNAL_ERROR ((NTSTATUS)0xC0110008)
#define HIDP_STATUS_I8042_TRANS_UNKNOWN ((NTSTATUS)0xC0110009)
#define HIDP_STATUS_INCOMPATIBLE_REPORT_ID ((NTSTATUS)0xC011000A)
#define HIDP_STATUS_NOT_VALUE_ARRAY ((NTSTATUS)0xC011000B)
#define HIDP_STATUS_IS_VALUE_ARRAY ((NTSTATUS)0xC011000C)
#define HIDP_STATUS_DATA_INDEX_NOT_FOUND ((NTSTATUS)0xC011000D)
#define HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE ((NTSTATUS)0xC011000E)
#define HIDP_STATUS_BUTTON_NOT_PRESSED ((NTSTATUS)0xC011000F)
#define HIDP_STATUS_REPORT_DOES_NOT_EXIST ((NTSTATUS)0xC0110010)
#define HIDP_STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0110020)

typedef enum HIDP_REPORT_TYPE {
    HidP_Input = 0,
    HidP_Output = 1,
    HidP_Feature = 2
} HIDP_REPORT_TYPE;

/* Report byte lengths include the report-ID byte (0 for a device without numbered
 * reports): 64-byte unnumbered reports give lengths of 65. 64 bytes in all. */
typedef struct HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
} HIDP_CAPS;

typedef struct HIDP_LINK_COLLECTION_NODE {
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    USHORT Parent;
    USHORT NumberOfChildren;
    USHORT NextSibling;
    USHORT FirstChild;
    ULONG CollectionType : 8;
    ULONG IsAlias : 1;
    ULONG Reserved : 23;
    void* UserContext;
} HIDP_LINK_COLLECTION_NODE;

typedef struct HIDP_RANGE {
    USAGE UsageMin, UsageMax;
    USHORT StringMin, StringMax;
    USHORT DesignatorMin, DesignatorMax;
    USHORT DataIndexMin, DataIndexMax;
} HIDP_RANGE;

typedef struct HIDP_NOT_RANGE {
    USAGE Usage, Reserved1;
    USHORT StringIndex, Reserved2;
    USHORT DesignatorIndex, Reserved3;
    USHORT DataIndex, Reserved4;
} HIDP_NOT_RANGE;

typedef struct HIDP_BUTTON_CAPS {
    USAGE UsagePage;
    UCHAR ReportID;
    BOOLEAN IsAlias;
    USHORT BitField;
    USHORT LinkCollection;
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    BOOLEAN IsRange;
    BOOLEAN IsStringRange;
    BOOLEAN IsDesignatorRange;
    BOOLEAN IsAbsolute;
    ULONG Reserved[10];
    union {
        HIDP_RANGE Range;
        HIDP_NOT_RANGE NotRange;
    };
} HIDP_BUTTON_CAPS;

typedef struct HIDP_VALUE_CAPS {
    USAGE UsagePage;
    UCHAR ReportID;
    BOOLEAN IsAlias;
    USHORT BitField;
    USHORT LinkCollection;
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    BOOLEAN IsRange;
    BOOLEAN IsStringRange;
    BOOLEAN IsDesignatorRange;
    BOOLEAN IsAbsolute;
    BOOLEAN HasNull;
    UCHAR Reserved;
    USHORT BitSize;
    USHORT ReportCount;
    USHORT Reserved2[5];
    ULONG UnitsExp;
    ULONG Units;
    LONG LogicalMin, LogicalMax;
    LONG PhysicalMin, PhysicalMax;
    union {
        HIDP_RANGE Range;
        HIDP_NOT_RANGE NotRange;
    };
} HIDP_VALUE_CAPS;

typedef struct HIDP_DATA {
    USHORT DataIndex;
    USHORT Reserved;
    union {
        ULONG RawValue;
        BOOLEAN On;
    };
} HIDP_DATA;

typedef struct USAGE_AND_PAGE {
    USAGE Usage;
    USAGE UsagePage;
} USAGE_AND_PAGE;

typedef enum HIDP_KEYBOARD_DIRECTION {
    HidP_Keyboard_Break = 0,
    HidP_Keyboard_Make = 1
} HIDP_KEYBOARD_DIRECTION;

typedef struct HIDP_KEYBOARD_MODIFIER_STATE {
    ULONG ul;
} HIDP_KEYBOARD_MODIFIER_STATE;

typedef BOOLEAN (*PHIDP_INSERT_SCANCODES)(void* context, char* newScanCodes, ULONG length);

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps);
NTSTATUS HidP_GetLinkCollectionNodes(HIDP_LINK_COLLECTION_NODE* nodes, ULONG* length,
                                     PHIDP_PREPARSED_DATA data);
/* usagePage, linkCollection and usage of 0 match any. */
NTSTATUS HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                    USAGE usage, HIDP_BUTTON_CAPS* caps, USHORT* length,
                                    PHIDP_PREPARSED_DATA data);
NTSTATUS HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                   USAGE usage, HIDP_VALUE_CAPS* caps, USHORT* length,
                                   PHIDP_PREPARSED_DATA data);
NTSTATUS HidP_GetData(HIDP_REPORT_TYPE type, HIDP_DATA* list, ULONG* length,
                      PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength);
NTSTATUS HidP_SetData(HIDP_REPORT_TYPE type, HIDP_DATA* list, ULONG* length,
                      PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength);
ULONG HidP_MaxDataListLength(HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA data);
NTSTATUS HidP_GetUsages(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE* list,
                        ULONG* length, PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength);
NTSTATUS HidP_GetUsagesEx(HIDP_REPORT_TYPE type, USHORT linkCollection, USAGE_AND_PAGE* list,
                          ULONG* length, PHIDP_PREPARSED_DATA data, char* report,
                          ULONG reportLength);
NTSTATUS HidP_SetUsages(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE* list,
                        ULONG* length, PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength);
NTSTATUS HidP_UnsetUsages(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                          USAGE* list, ULONG* length, PHIDP_PREPARSED_DATA data, char* report,
                          ULONG reportLength);
ULONG HidP_MaxUsageListLength(HIDP_REPORT_TYPE type, USAGE usagePage, PHIDP_PREPARSED_DATA data);
NTSTATUS HidP_GetUsageValue(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                            USAGE usage, ULONG* value, PHIDP_PREPARSED_DATA data, char* report,
                            ULONG reportLength);
NTSTATUS HidP_GetScaledUsageValue(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                  USAGE usage, LONG* value, PHIDP_PREPARSED_DATA data, char* report,
                                  ULONG reportLength);
NTSTATUS HidP_GetUsageValueArray(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                 USAGE usage, char* value, USHORT valueLength,
                                 PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength);
NTSTATUS HidP_SetUsageValue(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                            USAGE usage, ULONG value, PHIDP_PREPARSED_DATA data, char* report,
                            ULONG reportLength);
NTSTATUS HidP_SetScaledUsageValue(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                  USAGE usage, LONG value, PHIDP_PREPARSED_DATA data, char* report,
                                  ULONG reportLength);
NTSTATUS HidP_SetUsageValueArray(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                 USAGE usage, char* value, USHORT valueLength,
                                 PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength);
NTSTATUS HidP_UsageListDifference(USAGE* previous, USAGE* current, USAGE* breaks, USAGE* makes,
                                  ULONG length);
NTSTATUS HidP_TranslateUsagesToI8042ScanCodes(USAGE* changedUsages, ULONG length,
                                              HIDP_KEYBOARD_DIRECTION direction,
                                              HIDP_KEYBOARD_MODIFIER_STATE* modifierState,
                                              PHIDP_INSERT_SCANCODES insertCodes,
                                              void* insertContext);

/* ---- Device-setup library: SetupDi ----------------------------------------------------- */

#define DIGCF_PRESENT 0x00000002u
#define DIGCF_DEVICEINTERFACE 0x00000010u

typedef struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst; /* stable per interface while it is present */
    uintptr_t Reserved;
} SP_DEVINFO_DATA;

typedef struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    uintptr_t Reserved;
} SP_DEVICE_INTERFACE_DATA;

/* cbSize must be set to sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA); DevicePath is a
 * zero-terminated UTF-8 path that runs past the end of the declared struct. */
typedef struct SP_DEVICE_INTERFACE_DETAIL_DATA {
    DWORD cbSize;
    char DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA;

/* Registry properties (SPDRP_*). A backend answers what its platform knows; the others
 * fail with ERROR_INVALID_PARAMETER (absent). Strings are zero-terminated UTF-8; lists are
 * several zero-terminated strings ending with an empty one; DWORDs are 4 bytes. */
#define SPDRP_DEVICEDESC 0x00u
#define SPDRP_HARDWAREID 0x01u
#define SPDRP_COMPATIBLEIDS 0x02u
#define SPDRP_SERVICE 0x04u
#define SPDRP_CLASS 0x07u
#define SPDRP_CLASSGUID 0x08u
#define SPDRP_DRIVER 0x09u
#define SPDRP_CONFIGFLAGS 0x0Au
#define SPDRP_MFG 0x0Bu
#define SPDRP_FRIENDLYNAME 0x0Cu
#define SPDRP_LOCATION_INFORMATION 0x0Du
#define SPDRP_PHYSICAL_DEVICE_OBJECT_NAME 0x0Eu
#define SPDRP_CAPABILITIES 0x0Fu
#define SPDRP_UI_NUMBER 0x10u
#define SPDRP_UPPERFILTERS 0x11u
#define SPDRP_LOWERFILTERS 0x12u
#define SPDRP_BUSTYPEGUID 0x13u
#define SPDRP_LEGACYBUSTYPE 0x14u
#define SPDRP_BUSNUMBER 0x15u
#define SPDRP_ENUMERATOR_NAME 0x16u
#define SPDRP_SECURITY_SDS 0x18u
#define SPDRP_DEVTYPE 0x19u
#define SPDRP_EXCLUSIVE 0x1Au
#define SPDRP_CHARACTERISTICS 0x1Bu
#define SPDRP_ADDRESS 0x1Cu
#define SPDRP_UI_NUMBER_DESC_FORMAT 0x1Du
#define SPDRP_REMOVAL_POLICY 0x1Fu
#define SPDRP_LOCATION_PATHS 0x23u
#define REG_SZ 1u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

HDEVINFO SetupDiGetClassDevs(const GUID* classGuid, const char* enumerator, void* parent,
                             DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devInfo, const GUID* classGuid,
                                 DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData);
/* With detail null and detailSize 0: FALSE, ERROR_INSUFFICIENT_BUFFER, *requiredSize set. */
BOOL SetupDiGetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA* detail, DWORD detailSize,
                                     DWORD* requiredSize, SP_DEVINFO_DATA* devInfo);
BOOL SetupDiGetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* devInfo, DWORD property,
                                      DWORD* dataType, uint8_t* buffer, DWORD size,
                                      DWORD* requiredSize);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

/* ---- Backend identity ------------------------------------------------------------------- */

/* Exported data: the backend's version as a zero-terminated string ("FileVersion"). */
extern const char HidFileVersion[];

#ifdef __cplusplus
}
#endif

#endif /* VELTO_PLATFORM_HID_PLATFORM_H */
