// One HID interface: opened through its device path, checked out to the application, read by
// its reader thread and written with WriteFile. Made only by the controller.
//
// Listing a device does not open it for reading and writing (that wakes a suspended device):
// its access is found out without opening, and the read/write handle, which holds the device
// for this program, is opened when the device is checked out or opened (OpenFile).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid/jvhidpnpinfo.h"
#include "hid/jvhidreadthread.h"
#include "hid/jvhidtypes.h"
#include "platform/hid_platform.h"

class TJvHidDevice {
  public:
    // Made only by the controller. Raises EControllerError when PnPInfo is null or the device
    // cannot be opened or identified. Takes ownership of PnPInfo (also when it raises).
    TJvHidDevice(TJvHidPnPInfo* APnPInfo, TJvHidDeviceController* AController);
    virtual ~TJvHidDevice();  // NOLINT(bugprone-exception-escape): see the definition
    TJvHidDevice(const TJvHidDevice&) = delete;
    TJvHidDevice& operator=(const TJvHidDevice&) = delete;

    bool IsAccessible() const { return PluggedIn && (CheckedOut || InCallback); }
    bool IsPluggedIn() const { return PluggedIn; }
    bool IsCheckedOut() const { return CheckedOut; }

    // Opens the read/write handle (or, failing that, a query-only one; ReadWriteAccess and
    // ReadWriteError() tell which and why).
    bool OpenFile();
    bool OpenFileEx(TJvHidOpenExMode Mode);
    void CloseFile();
    void CloseFileEx(TJvHidOpenExMode Mode);
    bool ReadFile(void* Buffer, uint32_t NumberOfBytesToRead, uint32_t& NumberOfBytesRead);
    // One whole output report of Caps().OutputReportByteLength bytes, byte 0 the report ID.
    // May be called from another thread than the user-interface thread. Fails without read/write
    // access, and on a checked-out device whose reader could not start for lack of it (what
    // the device answered would go unread).
    bool WriteFile(const void* Buffer, uint32_t NumberOfBytesToWrite,
                   uint32_t& NumberOfBytesWritten);
    bool ReadFileEx(void* Buffer, uint32_t NumberOfBytesToRead,
                    LPOVERLAPPED_COMPLETION_ROUTINE CompletionRoutine);
    bool WriteFileEx(const void* Buffer, uint32_t NumberOfBytesToWrite,
                     LPOVERLAPPED_COMPLETION_ROUTINE CompletionRoutine);
    uint32_t GetOverlappedReadResult();
    uint32_t GetOverlappedWriteResult();
    bool CancelIO(TJvHidOpenExMode Mode);
    // Checks the device out: opens it for reading and writing and starts its reader.
    bool CheckOut();

    void GetCaps(HIDP_CAPS& ACaps);
    const HIDP_CAPS& Caps();
    PHIDP_PREPARSED_DATA GetPreparsedData();
    // Why there is no preparsed data (so no caps): the parser's refusal of the report
    // descriptor, or why the descriptor cannot be read; "" when it parses.
    std::string GetParseError();
    const std::u16string& GetVendorName();
    const std::u16string& GetProductName();
    const std::u16string& GetSerialNumber();
    const std::vector<std::string>& GetLanguageStrings();
    const TJvPhysicalDescriptor& GetPhysicalDescriptor();
    std::u16string GetDeviceStringUnicode(uint8_t Idx);
    std::string GetDeviceStringAnsi(uint8_t Idx);
    HIDP_LINK_COLLECTION_NODE GetLinkCollectionNode(uint16_t Idx);

    bool GetConfiguration(HIDD_CONFIGURATION& Config);
    bool SetConfiguration(const HIDD_CONFIGURATION& Config);
    bool FlushQueue();
    bool GetFeature(void* Report, uint32_t Size);
    bool SetFeature(void* Report, uint32_t Size);
    bool DeviceIoControl(uint32_t IoControlCode, void* InBuffer, uint32_t InSize, void* OutBuffer,
                         uint32_t OutSize, uint32_t& BytesReturned);

    void SetNumInputBuffers(int Num);
    void SetNumOverlappedBuffers(int Num);
    void SetReportTypeParam(HIDP_REPORT_TYPE ReportType);
    void SetUsagePageParam(USAGE UsagePage);
    void SetLinkCollectionParam(uint16_t Collection) { LinkCollectionParam = Collection; }
    void SetUsageParam(USAGE Usage) { UsageParam = Usage; }
    void SetThreadSleepTime(int SleepTime);
    int GetThreadSleepTime() const { return ThreadSleepTime; }

    // Handlers. Set*Event take a holder (compared by identity); SetOn* wrap a new one.
    void SetDataEvent(THandler<TJvHidDataEvent> DataEvent);
    void SetDataErrorEvent(THandler<TJvHidDataErrorEvent> DataErrorEvent);
    void SetUnplugEvent(THandler<TJvHidPlugEvent> Unplug);
    void SetOnData(TJvHidDataEvent DataEvent) { SetDataEvent(MakeHandler(std::move(DataEvent))); }
    void SetOnDataError(TJvHidDataErrorEvent E) { SetDataErrorEvent(MakeHandler(std::move(E))); }
    void SetOnUnplug(TJvHidPlugEvent E) { SetUnplugEvent(MakeHandler(std::move(E))); }

    void StartThread();
    void StopThread();
    bool ReaderRunning() const { return ReadThread != nullptr; }

    // Forwarded report-descriptor operations (jvhiddevice_hidp.cpp): the HID status, or
    // HIDP_STATUS_NULL when the device is not accessible.
    NTSTATUS GetButtonCaps(HIDP_BUTTON_CAPS* ButtonCaps, uint16_t& Count);
    NTSTATUS GetSpecificButtonCaps(HIDP_BUTTON_CAPS* ButtonCaps, uint16_t& Count);
    NTSTATUS GetValueCaps(HIDP_VALUE_CAPS* ValueCaps, uint16_t& Count);
    NTSTATUS GetSpecificValueCaps(HIDP_VALUE_CAPS* ValueCaps, uint16_t& Count);
    NTSTATUS GetData(HIDP_DATA* DataList, uint32_t& DataLength, char* Report, uint32_t Size);
    NTSTATUS SetData(HIDP_DATA* DataList, uint32_t& DataLength, char* Report, uint32_t Size);
    NTSTATUS GetUsages(USAGE* UsageList, uint32_t& UsageLength, char* Report, uint32_t Size);
    NTSTATUS GetButtons(USAGE* UsageList, uint32_t& UsageLength, char* Report, uint32_t Size);
    NTSTATUS GetUsagesEx(USAGE_AND_PAGE* UsageList, uint32_t& UsageLength, char* Report,
                         uint32_t Size);
    NTSTATUS GetButtonsEx(USAGE_AND_PAGE* UsageList, uint32_t& UsageLength, char* Report,
                          uint32_t Size);
    NTSTATUS SetUsages(USAGE* UsageList, uint32_t& UsageLength, char* Report, uint32_t Size);
    NTSTATUS SetButtons(USAGE* UsageList, uint32_t& UsageLength, char* Report, uint32_t Size);
    NTSTATUS UnsetUsages(USAGE* UsageList, uint32_t& UsageLength, char* Report, uint32_t Size);
    NTSTATUS UnsetButtons(USAGE* UsageList, uint32_t& UsageLength, char* Report, uint32_t Size);
    NTSTATUS GetUsageValue(uint32_t& UsageValue, char* Report, uint32_t Size);
    NTSTATUS GetScaledUsageValue(int32_t& UsageValue, char* Report, uint32_t Size);
    NTSTATUS SetUsageValue(uint32_t UsageValue, char* Report, uint32_t Size);
    NTSTATUS SetScaledUsageValue(int32_t UsageValue, char* Report, uint32_t Size);
    NTSTATUS GetUsageValueArray(char* UsageValue, uint16_t DataLength, char* Report, uint32_t Size);
    NTSTATUS SetUsageValueArray(char* UsageValue, uint16_t DataLength, char* Report, uint32_t Size);

    // Closes all handles, PluggedIn := false, calls OnUnplug once and clears it.
    void DoUnplug();

    TJvHidDeviceController* Controller = nullptr;
    std::atomic<bool> PluggedIn{true};
    std::atomic<bool> CheckedOut{false};
    std::atomic<bool> InCallback{false};
    HANDLE FileHandle = INVALID_HANDLE_VALUE;
    HANDLE ReadHandle = INVALID_HANDLE_VALUE;
    HANDLE WriteHandle = INVALID_HANDLE_VALUE;
    OVERLAPPED ReadOverlapped{};
    OVERLAPPED WriteOverlapped{};
    HIDD_ATTRIBUTES Attributes{};
    TJvHidPnPInfo* PnPInfo = nullptr;
    int NumInputBuffers = 0;
    int NumOverlappedBuffers = 0;
    int MaxDataListLength = 0;
    int MaxUsageListLength = 0;
    int MaxButtonListLength = 0;
    HIDP_REPORT_TYPE ReportTypeParam = HidP_Input;
    USAGE UsagePageParam = 0;
    uint16_t LinkCollectionParam = 0;
    USAGE UsageParam = 0;
    THandler<TJvHidDataEvent> OnData;
    THandler<TJvHidDataErrorEvent> OnDataError;
    THandler<TJvHidPlugEvent> OnUnplug;
    // True when the device can be opened for reading and writing: found out without opening
    // it when the device is listed (and again at each change pass while it is not checked
    // out), and from the open itself once it is opened. Written by whichever thread (re)opens
    // the synchronous handle, e.g. the link's writer.
    std::atomic<bool> ReadWriteAccess{false};
    TJvHidDeviceReadThread* ReadThread = nullptr;

    // Why ReadWriteAccess is false: the system error code, ERROR_ACCESS_DENIED without
    // permission to the device node, ERROR_SHARING_VIOLATION when another program holds the
    // device; 0 when it can be opened.
    uint32_t ReadWriteError() const { return ReadWriteError_.load(); }

    // Expires when the device is destroyed (lets callers notice a handler destroyed it).
    std::weak_ptr<void> AliveToken() const { return Alive; }

  private:
    friend class TJvHidDeviceController;
    friend class TJvHidDeviceReadThread;

    HANDLE OpenPath(uint32_t Access, uint32_t Flags);
    void SetAccess(bool Access, uint32_t Error);
    // Asks the backend whether a read/write open would succeed, without opening.
    void ProbeAccess();
    // A change pass found this device again; Listed is the pass's fresh object of the same
    // interface, whose access was just probed. True when this device's access changed.
    bool Reevaluate(const TJvHidDevice& Listed);
    // Runs Query with a handle for queries (attributes, strings, descriptors): the open file
    // handle, else a query-only handle made for the call. False when the device is neither
    // open nor accessible.
    template <class F>
    bool WithQueryHandle(F&& Query);
    // Runs Call with the device's parsed report descriptor: HIDP_STATUS_NULL when the device
    // is not accessible, HIDP_STATUS_INVALID_PREPARSED_DATA when it has none.
    template <class F>
    NTSTATUS WithPreparsedData(F&& Call);
    // The completed read's byte count, or false with its error code.
    bool CollectRead(uint32_t& Bytes, uint32_t& Error);
    void CloseHandleOf(HANDLE& Handle);
    void GetMax();
    void FreePreparsedData();
    std::vector<uint16_t> LanguageList(HANDLE Handle);
    bool ReadStringOnce(bool& Done, std::u16string& Value, BOOLEAN (*Query)(HANDLE, void*, ULONG));

    std::atomic<int> ThreadSleepTime{100};
    std::atomic<uint32_t> ReadWriteError_{ERROR_SUCCESS};
    // Checked out with a data handler, but the reader could not start for lack of read/write
    // access. Writes are refused meanwhile; a change pass that finds access starts the reader.
    std::atomic<bool> ReadStalled{false};
    std::u16string VendorName;
    std::u16string ProductName;
    std::u16string SerialNumber;
    std::vector<std::string> LanguageStrings;
    TJvPhysicalDescriptor PhysicalDescriptor;
    PHIDP_PREPARSED_DATA PreparsedData = nullptr;
    std::vector<HIDP_LINK_COLLECTION_NODE> LinkCollection;
    HIDP_CAPS CachedCaps{};
    bool HaveCaps = false;
    bool HaveVendorName = false;
    bool HaveProductName = false;
    bool HaveSerialNumber = false;
    bool HaveLanguageStrings = false;
    bool HavePhysicalDescriptor = false;
    bool HaveLinkCollection = false;
    // Guards the synchronous handle, which the report writer may use from its own thread.
    std::recursive_mutex FileLock;
    // Guards the overlapped read handle between the reader and the user-interface thread.
    std::mutex ReadLock;
    std::shared_ptr<int> Alive = std::make_shared<int>(0);
};
