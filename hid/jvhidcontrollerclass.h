// HID devices and the controller that lists them, hands them out and notices arrivals and
// removals. Everything runs on the user-interface thread (the thread of the controller's
// QObject) except each checked-out device's reader thread, which hands every input report
// to the user-interface thread and waits until the handler has returned.
#pragma once

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid_platform.h"

class TJvHidDevice;
class TJvHidDeviceController;
class UiPipe;

class EControllerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using TJvHidEnumerateEvent = std::function<bool(TJvHidDevice* HidDev, int Idx)>;
using TJvHidPlugEvent = std::function<void(TJvHidDevice* HidDev)>;
using TJvHidDataEvent =
    std::function<void(TJvHidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size)>;
using TJvHidDataErrorEvent = std::function<void(TJvHidDevice* HidDev, uint32_t Error)>;
using TJvHidDeviceChangeEvent = std::function<void(TJvHidDeviceController* Sender)>;
using TJvHidCheckCallback = bool (*)(TJvHidDevice* HidDev);

// An assigned handler. std::function cannot be compared, so each assignment is kept in a
// holder of its own and handlers are compared by holder identity: the controller passes a new
// handler on to exactly the devices that still share the holder it gave them. An empty
// pointer means "not assigned".
template <class F>
using THandler = std::shared_ptr<const F>;

// Wraps a handler in a new holder; an empty function gives an empty holder.
template <class F>
THandler<F> MakeHandler(F f) {
    if (!f) return nullptr;
    return std::make_shared<const F>(std::move(f));
}

using TJvPhysicalDescriptor = std::vector<uint16_t>;

enum TJvHidOpenExMode { omhRead, omhWrite };

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

// Reads input reports of one checked-out device. Made suspended (Resume starts it).
class TJvHidDeviceReadThread {
  public:
    explicit TJvHidDeviceReadThread(TJvHidDevice* Dev);
    ~TJvHidDeviceReadThread();
    TJvHidDeviceReadThread(const TJvHidDeviceReadThread&) = delete;
    TJvHidDeviceReadThread& operator=(const TJvHidDeviceReadThread&) = delete;

    void Resume();
    // Asks the thread to end and drops a hand-over that has not started yet.
    void Terminate();
    bool Terminated() const { return Terminated_.load(); }
    // Joins the thread. Not while a hand-over of this thread runs further up the stack.
    void WaitFor();
    // True while one of this thread's hand-overs runs on the user-interface thread.
    bool InHandOver();
    // For StopThread called from inside a hand-over: the object joins and deletes itself once
    // the hand-over has returned. The device must not be touched by the thread afterwards.
    void FreeAfterHandOver();

    TJvHidDevice* Device;
    uint32_t ErrorCode = 0;
    uint32_t BytesRead = 0;
    std::vector<uint8_t> Report;

  protected:
    void Execute();

  private:
    void DoData();
    void DoDataError();
    void Synchronize(void (TJvHidDeviceReadThread::*Method)());
    void RunHandOver();
    void WaitTerminated(uint32_t Ms);

    std::thread Thread;
    std::atomic<bool> Terminated_{false};
    std::mutex Lock;
    std::condition_variable Changed;
    enum class HandOverState { Idle, Pending, Running } State = HandOverState::Idle;
    void (TJvHidDeviceReadThread::*HandOver)() = nullptr;
    bool FreeWhenDone = false;
    std::unique_ptr<UiPipe> Pipe;
};

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

    bool OpenFile();
    bool OpenFileEx(TJvHidOpenExMode Mode);
    void CloseFile();
    void CloseFileEx(TJvHidOpenExMode Mode);
    bool ReadFile(void* Buffer, uint32_t NumberOfBytesToRead, uint32_t& NumberOfBytesRead);
    // One whole output report of Caps().OutputReportByteLength bytes, byte 0 the report ID.
    // May be called from another thread than the user-interface thread.
    bool WriteFile(const void* Buffer, uint32_t NumberOfBytesToWrite,
                   uint32_t& NumberOfBytesWritten);
    bool ReadFileEx(void* Buffer, uint32_t NumberOfBytesToRead,
                    LPOVERLAPPED_COMPLETION_ROUTINE CompletionRoutine);
    bool WriteFileEx(const void* Buffer, uint32_t NumberOfBytesToWrite,
                     LPOVERLAPPED_COMPLETION_ROUTINE CompletionRoutine);
    uint32_t GetOverlappedReadResult();
    uint32_t GetOverlappedWriteResult();
    bool CancelIO(TJvHidOpenExMode Mode);
    bool CheckOut();

    void GetCaps(HIDP_CAPS& ACaps);
    const HIDP_CAPS& Caps();
    PHIDP_PREPARSED_DATA GetPreparsedData();
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

    // Forwarded report-descriptor operations: the HID status, or HIDP_STATUS_NULL when the
    // device is not accessible.
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
    // Written by whichever thread (re)opens the synchronous handle, e.g. the link's writer.
    std::atomic<bool> ReadWriteAccess{false};
    TJvHidDeviceReadThread* ReadThread = nullptr;

    // Expires when the device is destroyed (lets callers notice a handler destroyed it).
    std::weak_ptr<void> AliveToken() const { return Alive; }

  private:
    friend class TJvHidDeviceController;
    friend class TJvHidDeviceReadThread;

    HANDLE OpenPath(uint32_t Access, uint32_t Flags);
    // The completed read's byte count, or false with its error code.
    bool CollectRead(uint32_t& Bytes, uint32_t& Error);
    void CloseHandleOf(HANDLE& Handle);
    void GetMax();
    void FreePreparsedData();
    std::vector<uint16_t> LanguageList();
    bool ReadStringOnce(bool& Done, std::u16string& Value, BOOLEAN (*Query)(HANDLE, void*, ULONG));

    std::atomic<int> ThreadSleepTime{100};
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

class TJvHidDeviceController : public QObject {
    Q_OBJECT

  public:
    explicit TJvHidDeviceController(QObject* parent = nullptr);
    ~TJvHidDeviceController() override;

    void SetOnArrival(TJvHidPlugEvent Arrival) { OnArrival = MakeHandler(std::move(Arrival)); }
    void SetOnEnumerate(TJvHidEnumerateEvent E) { OnEnumerate = MakeHandler(std::move(E)); }
    void SetOnDeviceChange(TJvHidDeviceChangeEvent Notify);
    void SetOnDeviceData(TJvHidDataEvent E) { SetDevData(MakeHandler(std::move(E))); }
    void SetOnDeviceDataError(TJvHidDataErrorEvent E) {
        SetDevDataError(MakeHandler(std::move(E)));
    }
    void SetOnDeviceUnplug(TJvHidPlugEvent E) { SetDevUnplug(MakeHandler(std::move(E))); }
    void SetOnRemoval(TJvHidPlugEvent Removal) { OnRemoval = MakeHandler(std::move(Removal)); }

    void SetDevThreadSleepTime(int DevTime);
    int GetDevThreadSleepTime() const { return DevThreadSleepTime; }
    void SetDevData(THandler<TJvHidDataEvent> DataEvent);
    void SetDevDataError(THandler<TJvHidDataErrorEvent> DataErrorEvent);
    void SetDevUnplug(THandler<TJvHidPlugEvent> Unplugger);
    void SetDeviceChangeEvent(THandler<TJvHidDeviceChangeEvent> Notify);

    // Calls OnEnumerate for each plugged-in device in list order until it returns false;
    // the number of calls.
    int Enumerate();

    bool CheckOut(TJvHidDevice*& HidDev);
    bool CheckOutByIndex(TJvHidDevice*& HidDev, int Idx);
    bool CheckOutByID(TJvHidDevice*& HidDev, int Vid, int Pid);
    bool CheckOutByProductName(TJvHidDevice*& HidDev, const std::u16string& ProductName);
    bool CheckOutByVendorName(TJvHidDevice*& HidDev, const std::u16string& VendorName);
    bool CheckOutByClass(TJvHidDevice*& HidDev, const std::string& ClassName);
    bool CheckOutByCallback(TJvHidDevice*& HidDev, TJvHidCheckCallback Check);
    void CheckIn(TJvHidDevice*& HidDev);

    int CountByID(int Vid, int Pid);
    int CountByProductName(const std::u16string& ProductName);
    int CountByVendorName(const std::u16string& VendorName);
    int CountByClass(const std::string& ClassName);
    int CountByCallback(TJvHidCheckCallback Check);

    int CheckedInCount() const { return CheckedInCount_; }
    int CheckedOutCount() const { return CheckedOutCount_; }
    int UnpluggedCount() const { return UnpluggedCount_; }

    // The backend's file version ("" when not loaded).
    std::string HidVersion() const;
    const char* Version() const { return "1.0.32"; }

    // The hidden window's message handler: WM_DEVICECHANGE with DBT_DEVNODES_CHANGED runs a
    // change pass; WM_QUERYENDSESSION answers 1.
    intptr_t EventPipe(uint32_t Msg, uintptr_t WParam, intptr_t LParam);
    // Rebuilds the list from the present interfaces (see EventPipe).
    void DeviceChange();

    // Devices in list order, plugged in or not (read only).
    const std::vector<TJvHidDevice*>& Devices() const { return DeviceList; }

    GUID HidGuid{};
    int DevThreadSleepTime = 100;
    THandler<TJvHidPlugEvent> OnArrival;
    THandler<TJvHidEnumerateEvent> OnEnumerate;
    THandler<TJvHidDeviceChangeEvent> OnDeviceChange;
    THandler<TJvHidDataEvent> OnDeviceData;
    THandler<TJvHidDataErrorEvent> OnDeviceDataError;
    THandler<TJvHidPlugEvent> OnDeviceUnplug;
    THandler<TJvHidPlugEvent> OnRemoval;

  signals:
    // Emitted on the user-interface thread after each device-change notification has been
    // handled.
    void DeviceChangeMessage();

  private:
    friend class TJvHidDevice;

    bool CheckThisOut(TJvHidDevice*& HidDev, int Idx, bool Check);
    bool DoEnumerate(TJvHidDevice* HidDev, int Idx);
    void DoArrival(TJvHidDevice* HidDev);
    void DoRemoval(TJvHidDevice* HidDev);
    bool MatchesClass(TJvHidDevice* HidDev, const std::string& ClassName) const;
    template <class Pred>
    bool CheckOutFirst(TJvHidDevice*& HidDev, Pred Match);
    template <class Pred>
    int CountPlugged(Pred Match) const;
    void OnNotification();
    static void NotificationCallback(void* Context, DWORD Event);

    std::vector<TJvHidDevice*> DeviceList;
    int CheckedInCount_ = 0;
    int CheckedOutCount_ = 0;
    int UnpluggedCount_ = 0;
    bool InDeviceChange = false;
    bool MissedChange = false;
    intptr_t LastDeviceChangeParam = 0;
    bool SetupApiBound = false;
    bool HidBound = false;
    std::unique_ptr<UiPipe> NotifyWindow;
    HDEVNOTIFY Notification = nullptr;
};
