#include "hid/jvhidcontrollerclass.h"

#include <QPointer>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>

#include "hid/backend.h"
#include "hid/hid.h"
#include "hid/moduleloader.h"
#include "hid/setupapi.h"
#include "hid/ui_pipe.h"

namespace {

// Wide-string queries take 508 bytes: 254 UTF-16 units. One more unit stays 0 so that a
// device filling the whole buffer still gives a terminated string.
constexpr ULONG kStringBytes = 508;
constexpr std::size_t kStringUnits = kStringBytes / 2;
constexpr std::size_t kPhysicalDescriptorWords = 2048;
// Upper bound for an interface detail record; a larger answer is treated as broken.
constexpr DWORD kMaxDetailSize = 64 * 1024;

DWORD LastError() {
    return syslib::GetLastError != nullptr ? syslib::GetLastError() : 0;
}

void EmptyCompletion(DWORD, DWORD, OVERLAPPED*) {}

std::u16string FromUnits(const uint16_t* Units, std::size_t Max) {
    std::size_t Len = 0;
    while (Len < Max && Units[Len] != 0)
        ++Len;
    return std::u16string(reinterpret_cast<const char16_t*>(Units), Len);
}

// HID interface class used when the backend has no GUID of its own.
constexpr GUID kDefaultHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

}  // namespace

// ---- TJvHidPnPInfo ------------------------------------------------------------------------

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

// ---- TJvHidDeviceReadThread -----------------------------------------------------------------

TJvHidDeviceReadThread::TJvHidDeviceReadThread(TJvHidDevice* Dev) : Device(Dev) {
    if (Dev == nullptr)
        throw EControllerError("Direct creation of a TJvDeviceReadThread object is not allowed");
    Report.resize(Dev->Caps().InputReportByteLength);
    Pipe = std::make_unique<UiPipe>([this] { RunHandOver(); });
}

TJvHidDeviceReadThread::~TJvHidDeviceReadThread() {
    Terminate();
    WaitFor();
}

void TJvHidDeviceReadThread::Resume() {
    if (!Thread.joinable()) Thread = std::thread([this] { Execute(); });
}

void TJvHidDeviceReadThread::Terminate() {
    std::lock_guard<std::mutex> Guard(Lock);
    Terminated_ = true;
    // A hand-over the user-interface thread has not begun is dropped: the reader stops
    // waiting for it and the receiving side finds nothing to run.
    if (State == HandOverState::Pending) State = HandOverState::Idle;
    Changed.notify_all();
}

void TJvHidDeviceReadThread::WaitFor() {
    if (Thread.joinable()) Thread.join();
}

bool TJvHidDeviceReadThread::InHandOver() {
    std::lock_guard<std::mutex> Guard(Lock);
    return State == HandOverState::Running;
}

void TJvHidDeviceReadThread::FreeAfterHandOver() {
    std::lock_guard<std::mutex> Guard(Lock);
    FreeWhenDone = true;
}

void TJvHidDeviceReadThread::WaitTerminated(uint32_t Ms) {
    std::unique_lock<std::mutex> Guard(Lock);
    if (Ms == std::numeric_limits<uint32_t>::max())
        Changed.wait(Guard, [this] { return Terminated_.load(); });
    else
        Changed.wait_for(Guard, std::chrono::milliseconds(Ms),
                         [this] { return Terminated_.load(); });
}

void TJvHidDeviceReadThread::Synchronize(void (TJvHidDeviceReadThread::*Method)()) {
    {
        std::lock_guard<std::mutex> Guard(Lock);
        if (Terminated_) return;
        HandOver = Method;
        State = HandOverState::Pending;
    }
    Pipe->Wake();
    std::unique_lock<std::mutex> Guard(Lock);
    Changed.wait(Guard, [this] { return State == HandOverState::Idle; });
}

void TJvHidDeviceReadThread::RunHandOver() {
    void (TJvHidDeviceReadThread::*Method)() = nullptr;
    {
        std::lock_guard<std::mutex> Guard(Lock);
        if (State != HandOverState::Pending) return;
        State = HandOverState::Running;
        Method = HandOver;
    }
    (this->*Method)();
    bool FreeNow = false;
    {
        std::lock_guard<std::mutex> Guard(Lock);
        State = HandOverState::Idle;
        FreeNow = FreeWhenDone;
        Changed.notify_all();
    }
    if (FreeNow) {
        // Stopped from inside this hand-over: the reader ends as soon as it sees the hand-over
        // return, without touching its device again.
        WaitFor();
        delete this;
    }
}

void TJvHidDeviceReadThread::Execute() {
    bool Reported = false;
    while (!Terminated_) {
        std::fill(Report.begin(), Report.end(), 0);
        uint32_t Failure = ERROR_SUCCESS;
        if (!Device->ReadFileEx(Report.data(), static_cast<uint32_t>(Report.size()),
                                &EmptyCompletion)) {
            Failure = LastError();
            if (Failure == ERROR_SUCCESS) Failure = ERROR_INVALID_HANDLE;
        } else {
            bool Completed = false;
            while (!Terminated_) {
                if (syslib::SleepEx(static_cast<DWORD>(Device->ThreadSleepTime.load()), 1) ==
                    WAIT_IO_COMPLETION) {
                    Completed = true;
                    break;
                }
            }
            if (!Completed) {
                Device->CancelIO(omhRead);
                break;
            }
            uint32_t Bytes = 0;
            if (Device->CollectRead(Bytes, Failure)) {
                Reported = false;
                BytesRead = std::min<uint32_t>(Bytes, static_cast<uint32_t>(Report.size()));
                if (BytesRead > 0) Synchronize(&TJvHidDeviceReadThread::DoData);
                continue;
            }
        }
        // The read could not be started, or it ended in an error (a removed device ends
        // its pending read that way, and every later one at once).
        if (!Device->PluggedIn) Failure = ERROR_DEVICE_NOT_CONNECTED;
        ErrorCode = Failure;
        const bool Gone = Failure == ERROR_DEVICE_NOT_CONNECTED;
        // One report per run of failures. A device that is gone is not retried: its removal
        // arrives through the controller. Other failures are retried after a pause rather
        // than in a busy loop.
        if (!Reported) {
            Reported = true;
            Synchronize(&TJvHidDeviceReadThread::DoDataError);
            if (Terminated_) break;
        }
        if (Gone) {
            WaitTerminated(std::numeric_limits<uint32_t>::max());
            break;
        }
        WaitTerminated(static_cast<uint32_t>(Device->ThreadSleepTime.load()));
    }
}

void TJvHidDeviceReadThread::DoData() {
    THandler<TJvHidDataEvent> Handler = Device->OnData;
    if (Handler && BytesRead > 0)
        (*Handler)(Device, Report[0], Report.data() + 1, static_cast<uint16_t>(BytesRead - 1));
}

void TJvHidDeviceReadThread::DoDataError() {
    THandler<TJvHidDataErrorEvent> Handler = Device->OnDataError;
    if (Handler) (*Handler)(Device, ErrorCode);
}

// ---- TJvHidDevice ---------------------------------------------------------------------------

TJvHidDevice::TJvHidDevice(TJvHidPnPInfo* APnPInfo, TJvHidDeviceController* AController) {
    if (APnPInfo == nullptr)
        throw EControllerError("Direct creation of a TJvHidDevice object is not allowed");
    PnPInfo = APnPInfo;
    Controller = AController;
    if (Controller != nullptr) {
        OnData = Controller->OnDeviceData;
        OnUnplug = Controller->OnDeviceUnplug;
        // Read errors of devices made after the handler was set reach it too.
        OnDataError = Controller->OnDeviceDataError;
        SetThreadSleepTime(Controller->DevThreadSleepTime);
    }
    if (syslib::CreateFile != nullptr) {
        FileHandle = OpenPath(GENERIC_READ | GENERIC_WRITE, 0);
        ReadWriteAccess = FileHandle != INVALID_HANDLE_VALUE;
        if (!ReadWriteAccess) FileHandle = OpenPath(0, 0);
    }
    if (FileHandle == INVALID_HANDLE_VALUE) {
        delete PnPInfo;
        PnPInfo = nullptr;
        throw EControllerError("device cannot be opened");
    }
    Attributes.Size = sizeof(HIDD_ATTRIBUTES);
    if (hidlib::HidD_GetAttributes == nullptr ||
        !hidlib::HidD_GetAttributes(FileHandle, &Attributes)) {
        CloseHandleOf(FileHandle);
        delete PnPInfo;
        PnPInfo = nullptr;
        throw EControllerError("device cannot be identified");
    }
    CloseFile();
}

// Only a failure to stop the reader thread could throw here, and that ends the program anyway.
TJvHidDevice::~TJvHidDevice() {  // NOLINT(bugprone-exception-escape)
    THandler<TJvHidDataEvent> OldData = OnData;
    THandler<TJvHidPlugEvent> OldUnplug = OnUnplug;
    OnUnplug.reset();
    SetDataEvent(nullptr);
    StopThread();
    CloseFile();
    CloseFileEx(omhRead);
    CloseFileEx(omhWrite);
    FreePreparsedData();
    LanguageStrings.clear();

    if (Controller != nullptr) {
        auto& List = Controller->DeviceList;
        auto It = std::find(List.begin(), List.end(), this);
        if (It != List.end()) {
            if (PluggedIn) {
                // Still present: a fresh, checked-in device takes this one's place.
                const bool WasCheckedOut = CheckedOut;
                TJvHidPnPInfo* Info = PnPInfo;
                PnPInfo = nullptr;
                TJvHidDevice* Fresh = nullptr;
                try {
                    Fresh = new TJvHidDevice(Info, Controller);
                } catch (const std::exception&) {
                    Fresh = nullptr;  // Info is freed by the failed constructor
                }
                if (Fresh != nullptr) {
                    Fresh->OnData = OldData;
                    Fresh->OnUnplug = OldUnplug;
                    Fresh->ThreadSleepTime = ThreadSleepTime.load();
                    *It = Fresh;
                    if (WasCheckedOut) {
                        --Controller->CheckedOutCount_;
                        ++Controller->CheckedInCount_;
                    }
                } else {
                    List.erase(It);
                    if (WasCheckedOut)
                        --Controller->CheckedOutCount_;
                    else
                        --Controller->CheckedInCount_;
                }
            } else {
                List.erase(It);
                --Controller->UnpluggedCount_;
            }
        }
    }
    delete PnPInfo;
}

HANDLE TJvHidDevice::OpenPath(uint32_t Access, uint32_t Flags) {
    if (syslib::CreateFile == nullptr || PnPInfo == nullptr) return INVALID_HANDLE_VALUE;
    HANDLE H =
        syslib::CreateFile(PnPInfo->DevicePath.c_str(), Access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, Flags, nullptr);
    return H == nullptr ? INVALID_HANDLE_VALUE : H;
}

void TJvHidDevice::CloseHandleOf(HANDLE& Handle) {
    if (Handle != INVALID_HANDLE_VALUE && syslib::CloseHandle != nullptr)
        syslib::CloseHandle(Handle);
    Handle = INVALID_HANDLE_VALUE;
}

bool TJvHidDevice::OpenFile() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (IsAccessible() && FileHandle == INVALID_HANDLE_VALUE) {
        FileHandle = OpenPath(GENERIC_READ | GENERIC_WRITE, 0);
        ReadWriteAccess = FileHandle != INVALID_HANDLE_VALUE;
        if (!ReadWriteAccess) FileHandle = OpenPath(0, 0);
        if (FileHandle != INVALID_HANDLE_VALUE && hidlib::HidD_GetNumInputBuffers != nullptr) {
            if (NumInputBuffers != 0)
                hidlib::HidD_SetNumInputBuffers(FileHandle, static_cast<ULONG>(NumInputBuffers));
            ULONG Num = 0;
            if (hidlib::HidD_GetNumInputBuffers(FileHandle, &Num))
                NumInputBuffers = static_cast<int>(Num);
        }
    }
    return FileHandle != INVALID_HANDLE_VALUE;
}

bool TJvHidDevice::OpenFileEx(TJvHidOpenExMode Mode) {
    if (!IsAccessible()) return false;
    if (Mode == omhWrite) {
        std::lock_guard<std::recursive_mutex> Guard(FileLock);
        if (WriteHandle == INVALID_HANDLE_VALUE)
            WriteHandle = OpenPath(GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
        return WriteHandle != INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> Guard(ReadLock);
    if (ReadHandle == INVALID_HANDLE_VALUE) {
        ReadHandle = OpenPath(GENERIC_READ, FILE_FLAG_OVERLAPPED);
        if (ReadHandle != INVALID_HANDLE_VALUE && hidlib::HidD_GetNumInputBuffers != nullptr) {
            if (NumOverlappedBuffers != 0)
                hidlib::HidD_SetNumInputBuffers(ReadHandle,
                                                static_cast<ULONG>(NumOverlappedBuffers));
            ULONG Num = 0;
            if (hidlib::HidD_GetNumInputBuffers(ReadHandle, &Num))
                NumOverlappedBuffers = static_cast<int>(Num);
        }
    }
    return ReadHandle != INVALID_HANDLE_VALUE;
}

void TJvHidDevice::CloseFile() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    CloseHandleOf(FileHandle);
    NumInputBuffers = 0;
}

void TJvHidDevice::CloseFileEx(TJvHidOpenExMode Mode) {
    if (Mode == omhWrite) {
        std::lock_guard<std::recursive_mutex> Guard(FileLock);
        CloseHandleOf(WriteHandle);
        return;
    }
    std::lock_guard<std::mutex> Guard(ReadLock);
    CloseHandleOf(ReadHandle);
    NumOverlappedBuffers = 0;
}

bool TJvHidDevice::ReadFile(void* Buffer, uint32_t NumberOfBytesToRead,
                            uint32_t& NumberOfBytesRead) {
    NumberOfBytesRead = 0;
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!OpenFile() || syslib::ReadFile == nullptr) return false;
    DWORD Done = 0;
    const bool Ok = syslib::ReadFile(FileHandle, Buffer, NumberOfBytesToRead, &Done, nullptr);
    NumberOfBytesRead = Done;
    return Ok;
}

bool TJvHidDevice::WriteFile(const void* Buffer, uint32_t NumberOfBytesToWrite,
                             uint32_t& NumberOfBytesWritten) {
    NumberOfBytesWritten = 0;
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!OpenFile() || !ReadWriteAccess || syslib::WriteFile == nullptr) return false;
    DWORD Done = 0;
    const bool Ok = syslib::WriteFile(FileHandle, Buffer, NumberOfBytesToWrite, &Done, nullptr);
    NumberOfBytesWritten = Done;
    return Ok;
}

bool TJvHidDevice::ReadFileEx(void* Buffer, uint32_t NumberOfBytesToRead,
                              LPOVERLAPPED_COMPLETION_ROUTINE CompletionRoutine) {
    if (!OpenFileEx(omhRead) || syslib::ReadFileEx == nullptr) return false;
    HANDLE Handle = INVALID_HANDLE_VALUE;
    {
        std::lock_guard<std::mutex> Guard(ReadLock);
        Handle = ReadHandle;
    }
    ReadOverlapped = OVERLAPPED{};
    ReadOverlapped.hEvent = this;
    return syslib::ReadFileEx(Handle, Buffer, NumberOfBytesToRead, &ReadOverlapped,
                              CompletionRoutine);
}

bool TJvHidDevice::WriteFileEx(const void* Buffer, uint32_t NumberOfBytesToWrite,
                               LPOVERLAPPED_COMPLETION_ROUTINE CompletionRoutine) {
    if (!OpenFileEx(omhWrite) || syslib::WriteFileEx == nullptr) return false;
    WriteOverlapped = OVERLAPPED{};
    WriteOverlapped.hEvent = this;
    return syslib::WriteFileEx(WriteHandle, Buffer, NumberOfBytesToWrite, &WriteOverlapped,
                               CompletionRoutine);
}

uint32_t TJvHidDevice::GetOverlappedReadResult() {
    HANDLE Handle = INVALID_HANDLE_VALUE;
    {
        std::lock_guard<std::mutex> Guard(ReadLock);
        Handle = ReadHandle;
    }
    if (Handle == INVALID_HANDLE_VALUE || syslib::GetOverlappedResult == nullptr) return 0;
    DWORD Done = 0;
    if (!syslib::GetOverlappedResult(Handle, &ReadOverlapped, &Done, 0)) return 0;
    return Done;
}

bool TJvHidDevice::CollectRead(uint32_t& Bytes, uint32_t& Error) {
    Bytes = 0;
    Error = ERROR_SUCCESS;
    HANDLE Handle = INVALID_HANDLE_VALUE;
    {
        std::lock_guard<std::mutex> Guard(ReadLock);
        Handle = ReadHandle;
    }
    if (Handle == INVALID_HANDLE_VALUE || syslib::GetOverlappedResult == nullptr) {
        Error = ERROR_INVALID_HANDLE;
        return false;
    }
    DWORD Done = 0;
    if (!syslib::GetOverlappedResult(Handle, &ReadOverlapped, &Done, 0)) {
        Error = LastError();
        if (Error == ERROR_SUCCESS) Error = ERROR_GEN_FAILURE;
        return false;
    }
    Bytes = Done;
    return true;
}

uint32_t TJvHidDevice::GetOverlappedWriteResult() {
    if (WriteHandle == INVALID_HANDLE_VALUE || syslib::GetOverlappedResult == nullptr) return 0;
    DWORD Done = 0;
    if (!syslib::GetOverlappedResult(WriteHandle, &WriteOverlapped, &Done, 0)) return 0;
    return Done;
}

bool TJvHidDevice::CancelIO(TJvHidOpenExMode Mode) {
    HANDLE Handle = INVALID_HANDLE_VALUE;
    if (Mode == omhRead) {
        std::lock_guard<std::mutex> Guard(ReadLock);
        Handle = ReadHandle;
    } else {
        Handle = WriteHandle;
    }
    if (Handle == INVALID_HANDLE_VALUE) return false;
    TModuleHandle Module = INVALID_MODULEHANDLE_VALUE;
    if (!LoadModule(Module, HidBackendModule())) return false;
    bool Result = false;
    if (auto Cancel = reinterpret_cast<decltype(&::CancelIo)>(GetModuleSymbol(Module, "CancelIo")))
        Result = Cancel(Handle) != 0;
    UnloadModule(Module);
    return Result;
}

bool TJvHidDevice::CheckOut() {
    if (Controller == nullptr || !PluggedIn || CheckedOut) return false;
    CheckedOut = true;
    ++Controller->CheckedOutCount_;
    --Controller->CheckedInCount_;
    StartThread();
    return true;
}

void TJvHidDevice::FreePreparsedData() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (PreparsedData != nullptr && hidlib::HidD_FreePreparsedData != nullptr)
        hidlib::HidD_FreePreparsedData(PreparsedData);
    PreparsedData = nullptr;
}

PHIDP_PREPARSED_DATA TJvHidDevice::GetPreparsedData() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (PreparsedData == nullptr && hidlib::HidD_GetPreparsedData != nullptr) {
        if (OpenFile()) {
            PHIDP_PREPARSED_DATA Data = nullptr;
            if (hidlib::HidD_GetPreparsedData(FileHandle, &Data)) PreparsedData = Data;
        }
        CloseFile();
    }
    return PreparsedData;
}

void TJvHidDevice::GetCaps(HIDP_CAPS& ACaps) {
    ACaps = HIDP_CAPS{};
    PHIDP_PREPARSED_DATA Data = GetPreparsedData();
    if (Data != nullptr && hidlib::HidP_GetCaps != nullptr) hidlib::HidP_GetCaps(Data, &ACaps);
}

const HIDP_CAPS& TJvHidDevice::Caps() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!HaveCaps) {
        GetCaps(CachedCaps);
        HaveCaps = PreparsedData != nullptr;
    }
    return CachedCaps;
}

bool TJvHidDevice::ReadStringOnce(bool& Done, std::u16string& Value,
                                  BOOLEAN (*Query)(HANDLE, void*, ULONG)) {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!Done && Query != nullptr && OpenFile()) {
        uint16_t Buffer[kStringUnits + 1] = {};
        if (Query(FileHandle, Buffer, kStringBytes)) Value = FromUnits(Buffer, kStringUnits);
        Done = true;
        CloseFile();
    }
    return Done;
}

const std::u16string& TJvHidDevice::GetVendorName() {
    ReadStringOnce(HaveVendorName, VendorName, hidlib::HidD_GetManufacturerString);
    return VendorName;
}

const std::u16string& TJvHidDevice::GetProductName() {
    ReadStringOnce(HaveProductName, ProductName, hidlib::HidD_GetProductString);
    return ProductName;
}

std::vector<uint16_t> TJvHidDevice::LanguageList() {
    // Unused units keep 0xFFFF, so the list's length shows even without a terminator.
    std::vector<uint16_t> Buffer(kStringUnits, 0xFFFF);
    if (hidlib::HidD_GetIndexedString == nullptr || !OpenFile()) return {};
    hidlib::HidD_GetIndexedString(FileHandle, 0, Buffer.data(), kStringBytes);
    std::size_t Count = Buffer.size();
    while (Count > 0 && Buffer[Count - 1] == 0xFFFF)
        --Count;
    if (Count > 0 && Buffer[Count - 1] == 0) --Count;
    Buffer.resize(Count);
    return Buffer;
}

const std::u16string& TJvHidDevice::GetSerialNumber() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!HaveSerialNumber && hidlib::HidD_GetSerialNumberString != nullptr && OpenFile()) {
        uint16_t Buffer[kStringUnits + 1] = {};
        const bool Ok = hidlib::HidD_GetSerialNumberString(FileHandle, Buffer, kStringBytes);
        const std::vector<uint16_t> Languages = LanguageList();
        // A device that answers with its language list (or has none) has no serial number.
        bool Differs = false;
        for (std::size_t I = 0; I < Languages.size(); ++I)
            if (Buffer[I] != Languages[I]) Differs = true;
        if (Ok && Differs) SerialNumber = FromUnits(Buffer, kStringUnits);
        HaveSerialNumber = true;
        CloseFile();
    }
    return SerialNumber;
}

const std::vector<std::string>& TJvHidDevice::GetLanguageStrings() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!HaveLanguageStrings && OpenFile()) {
        for (uint16_t Id : LanguageList()) {
            char Name[256] = {};
            if (syslib::GetLocaleInfo != nullptr &&
                syslib::GetLocaleInfo(Id, LOCALE_SLANGUAGE, Name, sizeof Name) > 0) {
                Name[sizeof Name - 1] = '\0';
                LanguageStrings.emplace_back(Name);
            } else {
                char Text[32];
                std::snprintf(Text, sizeof Text, "unknown Locale ID $%.4x", Id);
                LanguageStrings.emplace_back(Text);
            }
        }
        HaveLanguageStrings = true;
        CloseFile();
    }
    return LanguageStrings;
}

const TJvPhysicalDescriptor& TJvHidDevice::GetPhysicalDescriptor() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!HavePhysicalDescriptor && hidlib::HidD_GetPhysicalDescriptor != nullptr && OpenFile()) {
        std::vector<uint16_t> Buffer(kPhysicalDescriptorWords, 0);
        for (std::size_t Words = 0; Words < kPhysicalDescriptorWords; ++Words) {
            if (hidlib::HidD_GetPhysicalDescriptor(FileHandle, Buffer.data(),
                                                   static_cast<ULONG>(Words * 2))) {
                PhysicalDescriptor.assign(Buffer.begin(),
                                          Buffer.begin() + static_cast<std::ptrdiff_t>(Words));
                break;
            }
            if (LastError() != ERROR_INSUFFICIENT_BUFFER) break;
        }
        HavePhysicalDescriptor = true;
        CloseFile();
    }
    return PhysicalDescriptor;
}

std::u16string TJvHidDevice::GetDeviceStringUnicode(uint8_t Idx) {
    if (Idx == 0 || hidlib::HidD_GetIndexedString == nullptr) return {};
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!OpenFile()) return {};
    uint16_t Buffer[kStringUnits + 1] = {};
    if (!hidlib::HidD_GetIndexedString(FileHandle, Idx, Buffer, kStringBytes)) return {};
    return FromUnits(Buffer, kStringUnits);
}

std::string TJvHidDevice::GetDeviceStringAnsi(uint8_t Idx) {
    return QString::fromStdU16String(GetDeviceStringUnicode(Idx)).toStdString();
}

HIDP_LINK_COLLECTION_NODE TJvHidDevice::GetLinkCollectionNode(uint16_t Idx) {
    if (!HaveLinkCollection) {
        const uint16_t Count = Caps().NumberLinkCollectionNodes;
        PHIDP_PREPARSED_DATA Data = GetPreparsedData();
        if (Count > 0 && Data != nullptr && hidlib::HidP_GetLinkCollectionNodes != nullptr) {
            LinkCollection.assign(Count, HIDP_LINK_COLLECTION_NODE{});
            ULONG Length = Count;
            if (hidlib::HidP_GetLinkCollectionNodes(LinkCollection.data(), &Length, Data) ==
                HIDP_STATUS_SUCCESS)
                LinkCollection.resize(std::min<std::size_t>(Length, Count));
            else
                LinkCollection.clear();
        }
        HaveLinkCollection = Data != nullptr;
    }
    if (Idx < LinkCollection.size()) return LinkCollection[Idx];
    return HIDP_LINK_COLLECTION_NODE{};
}

bool TJvHidDevice::GetConfiguration(HIDD_CONFIGURATION& Config) {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    return OpenFile() && hidlib::HidD_GetConfiguration != nullptr &&
           hidlib::HidD_GetConfiguration(FileHandle, &Config, sizeof(HIDD_CONFIGURATION));
}

bool TJvHidDevice::SetConfiguration(const HIDD_CONFIGURATION& Config) {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    HIDD_CONFIGURATION Copy = Config;
    return OpenFile() && hidlib::HidD_SetConfiguration != nullptr &&
           hidlib::HidD_SetConfiguration(FileHandle, &Copy, sizeof(HIDD_CONFIGURATION));
}

bool TJvHidDevice::FlushQueue() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    return OpenFile() && hidlib::HidD_FlushQueue != nullptr && hidlib::HidD_FlushQueue(FileHandle);
}

bool TJvHidDevice::GetFeature(void* Report, uint32_t Size) {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    return OpenFile() && hidlib::HidD_GetFeature != nullptr &&
           hidlib::HidD_GetFeature(FileHandle, Report, Size);
}

bool TJvHidDevice::SetFeature(void* Report, uint32_t Size) {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    return OpenFile() && hidlib::HidD_SetFeature != nullptr &&
           hidlib::HidD_SetFeature(FileHandle, Report, Size);
}

bool TJvHidDevice::DeviceIoControl(uint32_t IoControlCode, void* InBuffer, uint32_t InSize,
                                   void* OutBuffer, uint32_t OutSize, uint32_t& BytesReturned) {
    BytesReturned = 0;
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!OpenFile() || syslib::DeviceIoControl == nullptr) return false;
    DWORD Returned = 0;
    const bool Ok = syslib::DeviceIoControl(FileHandle, IoControlCode, InBuffer, InSize, OutBuffer,
                                            OutSize, &Returned, nullptr);
    BytesReturned = Returned;
    return Ok;
}

void TJvHidDevice::SetNumInputBuffers(int Num) {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (Num == NumInputBuffers || hidlib::HidD_SetNumInputBuffers == nullptr || !OpenFile()) return;
    hidlib::HidD_SetNumInputBuffers(FileHandle, static_cast<ULONG>(Num));
    ULONG Read = 0;
    if (hidlib::HidD_GetNumInputBuffers(FileHandle, &Read))
        NumInputBuffers = static_cast<int>(Read);
}

void TJvHidDevice::SetNumOverlappedBuffers(int Num) {
    {
        std::lock_guard<std::mutex> Guard(ReadLock);
        if (Num == NumOverlappedBuffers) return;
    }
    if (hidlib::HidD_SetNumInputBuffers == nullptr || !OpenFileEx(omhRead)) return;
    std::lock_guard<std::mutex> Guard(ReadLock);
    hidlib::HidD_SetNumInputBuffers(ReadHandle, static_cast<ULONG>(Num));
    ULONG Read = 0;
    if (hidlib::HidD_GetNumInputBuffers(ReadHandle, &Read))
        NumOverlappedBuffers = static_cast<int>(Read);
}

void TJvHidDevice::GetMax() {
    if (!IsAccessible()) return;
    PHIDP_PREPARSED_DATA Data = GetPreparsedData();
    if (Data == nullptr || hidlib::HidP_MaxDataListLength == nullptr) return;
    MaxDataListLength = static_cast<int>(hidlib::HidP_MaxDataListLength(ReportTypeParam, Data));
    MaxUsageListLength =
        static_cast<int>(hidlib::HidP_MaxUsageListLength(ReportTypeParam, UsagePageParam, Data));
    MaxButtonListLength = MaxUsageListLength;
}

void TJvHidDevice::SetReportTypeParam(HIDP_REPORT_TYPE ReportType) {
    ReportTypeParam = ReportType;
    GetMax();
}

void TJvHidDevice::SetUsagePageParam(USAGE UsagePage) {
    UsagePageParam = UsagePage;
    GetMax();
}

void TJvHidDevice::SetThreadSleepTime(int SleepTime) {
    if (SleepTime >= 10 && SleepTime <= 10000) ThreadSleepTime = SleepTime;
}

void TJvHidDevice::SetDataEvent(THandler<TJvHidDataEvent> DataEvent) {
    if (!DataEvent) StopThread();
    OnData = std::move(DataEvent);
    StartThread();
}

void TJvHidDevice::SetDataErrorEvent(THandler<TJvHidDataErrorEvent> DataErrorEvent) {
    OnDataError = std::move(DataErrorEvent);
}

void TJvHidDevice::SetUnplugEvent(THandler<TJvHidPlugEvent> Unplug) {
    OnUnplug = std::move(Unplug);
}

void TJvHidDevice::StartThread() {
    if (!OnData || !PluggedIn || !CheckedOut || !ReadWriteAccess || ReadThread != nullptr) return;
    // A device without input reports has nothing to read.
    if (Caps().InputReportByteLength == 0) return;
    // Open the read handle here rather than in the reader, so that every report the device
    // sends once the check-out has returned reaches it.
    OpenFileEx(omhRead);
    ReadThread = new TJvHidDeviceReadThread(this);
    ReadThread->Resume();
}

void TJvHidDevice::StopThread() {
    TJvHidDeviceReadThread* Thread = ReadThread;
    if (Thread == nullptr) return;
    ReadThread = nullptr;
    Thread->Terminate();
    if (Thread->InHandOver()) {
        // Called from inside this reader's own hand-over: joining here would wait for
        // ourselves. The reader leaves without touching the device once the hand-over
        // returns, and is joined and freed then. No read is pending during a hand-over.
        Thread->FreeAfterHandOver();
        return;
    }
    Thread->WaitFor();
    delete Thread;
}

void TJvHidDevice::DoUnplug() {
    CloseFile();
    CloseFileEx(omhWrite);
    // A running reader still owns its read handle: it notices the removal, reports it once
    // and waits to be stopped; the handle is closed then.
    if (ReadThread == nullptr) CloseFileEx(omhRead);
    PluggedIn = false;
    // Cleared before the call: the handler may destroy this device.
    THandler<TJvHidPlugEvent> Handler = std::move(OnUnplug);
    OnUnplug.reset();
    if (Handler) (*Handler)(this);
}

#define VELTO_FORWARD_GUARD()                       \
    if (!IsAccessible()) return HIDP_STATUS_NULL;   \
    PHIDP_PREPARSED_DATA Data = GetPreparsedData(); \
    if (Data == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;

NTSTATUS TJvHidDevice::GetButtonCaps(HIDP_BUTTON_CAPS* ButtonCaps, uint16_t& Count) {
    VELTO_FORWARD_GUARD();
    return hidlib::HidP_GetSpecificButtonCaps(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                              0, ButtonCaps, &Count, Data);
}

NTSTATUS TJvHidDevice::GetSpecificButtonCaps(HIDP_BUTTON_CAPS* ButtonCaps, uint16_t& Count) {
    VELTO_FORWARD_GUARD();
    return hidlib::HidP_GetSpecificButtonCaps(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                              UsageParam, ButtonCaps, &Count, Data);
}

NTSTATUS TJvHidDevice::GetValueCaps(HIDP_VALUE_CAPS* ValueCaps, uint16_t& Count) {
    VELTO_FORWARD_GUARD();
    return hidlib::HidP_GetSpecificValueCaps(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                             0, ValueCaps, &Count, Data);
}

NTSTATUS TJvHidDevice::GetSpecificValueCaps(HIDP_VALUE_CAPS* ValueCaps, uint16_t& Count) {
    VELTO_FORWARD_GUARD();
    return hidlib::HidP_GetSpecificValueCaps(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                             UsageParam, ValueCaps, &Count, Data);
}

NTSTATUS TJvHidDevice::GetData(HIDP_DATA* DataList, uint32_t& DataLength, char* Report,
                               uint32_t Size) {
    VELTO_FORWARD_GUARD();
    ULONG Len = DataLength;
    const NTSTATUS S = hidlib::HidP_GetData(ReportTypeParam, DataList, &Len, Data, Report, Size);
    DataLength = Len;
    return S;
}

NTSTATUS TJvHidDevice::SetData(HIDP_DATA* DataList, uint32_t& DataLength, char* Report,
                               uint32_t Size) {
    VELTO_FORWARD_GUARD();
    ULONG Len = DataLength;
    const NTSTATUS S = hidlib::HidP_SetData(ReportTypeParam, DataList, &Len, Data, Report, Size);
    DataLength = Len;
    return S;
}

#define VELTO_FORWARD_USAGES(Method, Entry)                                                    \
    NTSTATUS TJvHidDevice::Method(USAGE* UsageList, uint32_t& UsageLength, char* Report,       \
                                  uint32_t Size) {                                             \
        VELTO_FORWARD_GUARD();                                                                 \
        ULONG Len = UsageLength;                                                               \
        const NTSTATUS S = hidlib::Entry(ReportTypeParam, UsagePageParam, LinkCollectionParam, \
                                         UsageList, &Len, Data, Report, Size);                 \
        UsageLength = Len;                                                                     \
        return S;                                                                              \
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
    VELTO_FORWARD_GUARD();
    ULONG Len = UsageLength;
    const NTSTATUS S = hidlib::HidP_GetUsagesEx(ReportTypeParam, LinkCollectionParam, UsageList,
                                                &Len, Data, Report, Size);
    UsageLength = Len;
    return S;
}

NTSTATUS TJvHidDevice::GetButtonsEx(USAGE_AND_PAGE* UsageList, uint32_t& UsageLength, char* Report,
                                    uint32_t Size) {
    VELTO_FORWARD_GUARD();
    ULONG Len = UsageLength;
    const NTSTATUS S = hidlib::HidP_GetButtonsEx(ReportTypeParam, LinkCollectionParam, UsageList,
                                                 &Len, Data, Report, Size);
    UsageLength = Len;
    return S;
}

NTSTATUS TJvHidDevice::GetUsageValue(uint32_t& UsageValue, char* Report, uint32_t Size) {
    VELTO_FORWARD_GUARD();
    ULONG Value = 0;
    const NTSTATUS S =
        hidlib::HidP_GetUsageValue(ReportTypeParam, UsagePageParam, LinkCollectionParam, UsageParam,
                                   &Value, Data, Report, Size);
    UsageValue = Value;
    return S;
}

NTSTATUS TJvHidDevice::GetScaledUsageValue(int32_t& UsageValue, char* Report, uint32_t Size) {
    VELTO_FORWARD_GUARD();
    LONG Value = 0;
    const NTSTATUS S =
        hidlib::HidP_GetScaledUsageValue(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                         UsageParam, &Value, Data, Report, Size);
    UsageValue = Value;
    return S;
}

NTSTATUS TJvHidDevice::SetUsageValue(uint32_t UsageValue, char* Report, uint32_t Size) {
    VELTO_FORWARD_GUARD();
    return hidlib::HidP_SetUsageValue(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                      UsageParam, UsageValue, Data, Report, Size);
}

NTSTATUS TJvHidDevice::SetScaledUsageValue(int32_t UsageValue, char* Report, uint32_t Size) {
    VELTO_FORWARD_GUARD();
    return hidlib::HidP_SetScaledUsageValue(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                            UsageParam, UsageValue, Data, Report, Size);
}

NTSTATUS TJvHidDevice::GetUsageValueArray(char* UsageValue, uint16_t DataLength, char* Report,
                                          uint32_t Size) {
    VELTO_FORWARD_GUARD();
    return hidlib::HidP_GetUsageValueArray(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                           UsageParam, UsageValue, DataLength, Data, Report, Size);
}

NTSTATUS TJvHidDevice::SetUsageValueArray(char* UsageValue, uint16_t DataLength, char* Report,
                                          uint32_t Size) {
    VELTO_FORWARD_GUARD();
    return hidlib::HidP_SetUsageValueArray(ReportTypeParam, UsagePageParam, LinkCollectionParam,
                                           UsageParam, UsageValue, DataLength, Data, Report, Size);
}

#undef VELTO_FORWARD_GUARD

// ---- TJvHidDeviceController -----------------------------------------------------------------

TJvHidDeviceController::TJvHidDeviceController(QObject* parent) : QObject(parent) {
    HidGuid = kDefaultHidGuid;
    SetupApiBound = LoadSetupApi();
    if (SetupApiBound) HidBound = LoadHid();
    if (!HidBound) return;
    hidlib::HidD_GetHidGuid(&HidGuid);
    NotifyWindow = std::make_unique<UiPipe>([this] { OnNotification(); });
    Notification = syslib::RegisterDeviceNotification(&NotificationCallback, this);
    // The first list is built from the event loop, like every later change.
    QMetaObject::invokeMethod(
        this, [this] { EventPipe(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, -1); },
        Qt::QueuedConnection);
}

TJvHidDeviceController::~TJvHidDeviceController() {
    OnDeviceChange.reset();
    OnDeviceUnplug.reset();
    OnEnumerate.reset();
    if (Notification != nullptr && syslib::UnregisterDeviceNotification != nullptr)
        syslib::UnregisterDeviceNotification(Notification);
    Notification = nullptr;
    NotifyWindow.reset();
    std::vector<TJvHidDevice*> List;
    List.swap(DeviceList);
    for (TJvHidDevice* Dev : List) {
        Dev->Controller = nullptr;
        if (Dev->CheckedOut) {
            // The device outlives us, but its reader must not outlive the bound entry
            // points that go away below.
            Dev->StopThread();
            std::weak_ptr<void> Alive = Dev->AliveToken();
            Dev->DoUnplug();
            // Its preparsed data belongs to the backend that is unbound below.
            if (!Alive.expired()) Dev->FreePreparsedData();
        } else {
            delete Dev;
        }
    }
    if (HidBound) UnloadHid();
    if (SetupApiBound) UnloadSetupApi();
}

void TJvHidDeviceController::NotificationCallback(void* Context, DWORD Event) {
    // Backend thread: only wake the user-interface thread.
    if (Event == DBT_DEVNODES_CHANGED)
        static_cast<TJvHidDeviceController*>(Context)->NotifyWindow->Wake();
}

void TJvHidDeviceController::OnNotification() {
    EventPipe(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
}

intptr_t TJvHidDeviceController::EventPipe(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
    constexpr uint32_t WM_QUERYENDSESSION = 0x0011;
    if (Msg == WM_QUERYENDSESSION) return 1;
    if (Msg != WM_DEVICECHANGE) return 0;
    QPointer<TJvHidDeviceController> Self(this);
    if (WParam == DBT_DEVNODES_CHANGED) {
        if (!InDeviceChange) {
            LastDeviceChangeParam = LParam;
            InDeviceChange = true;
            DeviceChange();
            if (!Self) return 0;
            InDeviceChange = false;
            if (MissedChange) {
                // A change arrived while this pass ran (a handler ran a nested event loop):
                // look again so that it is not lost.
                MissedChange = false;
                QMetaObject::invokeMethod(
                    this, [this] { EventPipe(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0); },
                    Qt::QueuedConnection);
            }
        } else {
            MissedChange = true;
        }
    }
    emit DeviceChangeMessage();
    return 0;
}

void TJvHidDeviceController::DeviceChange() {
    bool Changed = LastDeviceChangeParam == -1;

    // 1. The present interfaces.
    std::vector<TJvHidDevice*> NewList;
    if (setuplib::SetupDiGetClassDevs != nullptr && IsHidLoaded()) {
        HDEVINFO Set = setuplib::SetupDiGetClassDevs(&HidGuid, nullptr, nullptr,
                                                     DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (Set != nullptr && Set != INVALID_HANDLE_VALUE) {
            for (DWORD Index = 0;; ++Index) {
                SP_DEVICE_INTERFACE_DATA Interface{};
                Interface.cbSize = sizeof Interface;
                if (!setuplib::SetupDiEnumDeviceInterfaces(Set, nullptr, &HidGuid, Index,
                                                           &Interface))
                    break;
                DWORD Needed = 0;
                setuplib::SetupDiGetDeviceInterfaceDetail(Set, &Interface, nullptr, 0, &Needed,
                                                          nullptr);
                if (Needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA) || Needed > kMaxDetailSize)
                    continue;
                std::vector<uint64_t> Storage(Needed / sizeof(uint64_t) + 1, 0);
                auto* Detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA*>(Storage.data());
                Detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
                SP_DEVINFO_DATA DevData{};
                DevData.cbSize = sizeof DevData;
                if (!setuplib::SetupDiGetDeviceInterfaceDetail(Set, &Interface, Detail, Needed,
                                                               nullptr, &DevData))
                    continue;
                const std::size_t PathRoom =
                    Needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA, DevicePath);
                std::string Path(Detail->DevicePath, strnlen(Detail->DevicePath, PathRoom));
                try {
                    NewList.push_back(
                        new TJvHidDevice(new TJvHidPnPInfo(Set, DevData, Path), this));
                } catch (const EControllerError&) {
                    // Interfaces that cannot be opened or identified are left out.
                }
            }
            setuplib::SetupDiDestroyDeviceInfoList(Set);
        }
    }

    auto SameInstance = [](const TJvHidDevice* A, const TJvHidDevice* B) {
        return A->PnPInfo != nullptr && B->PnPInfo != nullptr &&
               A->PnPInfo->DeviceInstance == B->PnPInfo->DeviceInstance;
    };

    // 2. Old devices that are gone, from last to first.
    struct Entry {
        TJvHidDevice* Dev;
        std::weak_ptr<void> Alive;
    };
    std::vector<Entry> Old;
    for (TJvHidDevice* Dev : DeviceList)
        Old.push_back({Dev, Dev->AliveToken()});
    for (auto It = Old.rbegin(); It != Old.rend(); ++It) {
        if (It->Alive.expired()) continue;
        TJvHidDevice* Dev = It->Dev;
        const bool Stays =
            Dev->PluggedIn && std::any_of(NewList.begin(), NewList.end(),
                                          [&](TJvHidDevice* N) { return SameInstance(N, Dev); });
        if (Stays) continue;
        Changed = true;
        if (!Dev->PluggedIn) continue;  // already reported; waits for its check-in
        const bool WasCheckedOut = Dev->CheckedOut;
        Dev->DoUnplug();
        if (!It->Alive.expired()) DoRemoval(Dev);
        // A handler may have checked the device in and so destroyed it.
        if (!WasCheckedOut && !It->Alive.expired()) {
            auto Pos = std::find(DeviceList.begin(), DeviceList.end(), Dev);
            if (Pos != DeviceList.end()) DeviceList.erase(Pos);
            Dev->Controller = nullptr;
            delete Dev;
        }
    }

    // 3. New devices already listed are dropped; the others arrive.
    std::vector<TJvHidDevice*> Arrived;
    for (TJvHidDevice* N : NewList) {
        const bool Known =
            std::any_of(DeviceList.begin(), DeviceList.end(),
                        [&](TJvHidDevice* Dev) { return Dev->PluggedIn && SameInstance(N, Dev); });
        if (Known) {
            N->Controller = nullptr;
            delete N;
        } else {
            DeviceList.push_back(N);
            Arrived.push_back(N);
        }
    }
    if (!Arrived.empty()) Changed = true;
    for (TJvHidDevice* N : Arrived) {
        if (std::find(DeviceList.begin(), DeviceList.end(), N) != DeviceList.end()) DoArrival(N);
    }

    // 4. Recount.
    int In = 0;
    int Out = 0;
    int Unplugged = 0;
    for (TJvHidDevice* Dev : DeviceList) {
        if (!Dev->CheckedOut) ++In;
        if (!Dev->PluggedIn) ++Unplugged;
        if (Dev->CheckedOut) ++Out;
    }
    CheckedInCount_ = In;
    UnpluggedCount_ = Unplugged;
    CheckedOutCount_ = Out - Unplugged;

    if (Changed && OnDeviceChange) {
        THandler<TJvHidDeviceChangeEvent> Handler = OnDeviceChange;
        (*Handler)(this);
    }
}

bool TJvHidDeviceController::DoEnumerate(TJvHidDevice* HidDev, int Idx) {
    if (!OnEnumerate) return true;
    THandler<TJvHidEnumerateEvent> Handler = OnEnumerate;
    std::weak_ptr<void> Alive = HidDev->AliveToken();
    HidDev->InCallback = true;
    const bool Result = (*Handler)(HidDev, Idx);
    if (!Alive.expired()) {
        HidDev->InCallback = false;
        if (!HidDev->CheckedOut) {
            HidDev->CloseFile();
            HidDev->CloseFileEx(omhRead);
            HidDev->CloseFileEx(omhWrite);
        }
    }
    return Result;
}

void TJvHidDeviceController::DoArrival(TJvHidDevice* HidDev) {
    if (!OnArrival) return;
    THandler<TJvHidPlugEvent> Handler = OnArrival;
    std::weak_ptr<void> Alive = HidDev->AliveToken();
    HidDev->InCallback = true;
    (*Handler)(HidDev);
    if (!Alive.expired()) HidDev->InCallback = false;
}

void TJvHidDeviceController::DoRemoval(TJvHidDevice* HidDev) {
    if (!OnRemoval) return;
    THandler<TJvHidPlugEvent> Handler = OnRemoval;
    std::weak_ptr<void> Alive = HidDev->AliveToken();
    HidDev->InCallback = true;
    (*Handler)(HidDev);
    if (!Alive.expired()) HidDev->InCallback = false;
}

int TJvHidDeviceController::Enumerate() {
    int Count = 0;
    std::vector<std::pair<TJvHidDevice*, std::weak_ptr<void>>> Snapshot;
    for (TJvHidDevice* Dev : DeviceList)
        Snapshot.emplace_back(Dev, Dev->AliveToken());
    for (std::size_t I = 0; I < Snapshot.size(); ++I) {
        if (Snapshot[I].second.expired() || !Snapshot[I].first->PluggedIn) continue;
        ++Count;
        if (!DoEnumerate(Snapshot[I].first, static_cast<int>(I))) break;
    }
    return Count;
}

bool TJvHidDeviceController::CheckThisOut(TJvHidDevice*& HidDev, int Idx, bool Check) {
    if (!Check) return false;
    TJvHidDevice* Dev = DeviceList[static_cast<std::size_t>(Idx)];
    Dev->CheckedOut = true;
    ++CheckedOutCount_;
    --CheckedInCount_;
    Dev->StartThread();
    HidDev = Dev;
    return true;
}

template <class Pred>
bool TJvHidDeviceController::CheckOutFirst(TJvHidDevice*& HidDev, Pred Match) {
    HidDev = nullptr;
    for (std::size_t I = 0; I < DeviceList.size(); ++I) {
        TJvHidDevice* Dev = DeviceList[I];
        if (!Dev->PluggedIn || Dev->CheckedOut) continue;
        if (CheckThisOut(HidDev, static_cast<int>(I), Match(Dev))) return true;
    }
    return false;
}

bool TJvHidDeviceController::CheckOut(TJvHidDevice*& HidDev) {
    return CheckOutFirst(HidDev, [](TJvHidDevice*) { return true; });
}

bool TJvHidDeviceController::CheckOutByIndex(TJvHidDevice*& HidDev, int Idx) {
    HidDev = nullptr;
    if (Idx < 0 || static_cast<std::size_t>(Idx) >= DeviceList.size()) return false;
    TJvHidDevice* Dev = DeviceList[static_cast<std::size_t>(Idx)];
    if (!Dev->PluggedIn || Dev->CheckedOut) return false;
    return CheckThisOut(HidDev, Idx, true);
}

namespace {

bool MatchesId(const TJvHidDevice* Dev, int Vid, int Pid) {
    return Dev->Attributes.VendorID == Vid && (Pid == -1 || Dev->Attributes.ProductID == Pid);
}

// Reads a name of a checked-in device: the device is opened for the query and closed again.
std::u16string NameOf(TJvHidDevice* Dev, bool Vendor) {
    const bool WasInCallback = Dev->InCallback;
    Dev->InCallback = true;
    std::u16string Name = Vendor ? Dev->GetVendorName() : Dev->GetProductName();
    Dev->InCallback = WasInCallback;
    if (!Dev->CheckedOut && !WasInCallback) Dev->CloseFile();
    return Name;
}

void CloseAll(TJvHidDevice* Dev) {
    Dev->CloseFile();
    Dev->CloseFileEx(omhRead);
    Dev->CloseFileEx(omhWrite);
}

}  // namespace

bool TJvHidDeviceController::MatchesClass(TJvHidDevice* HidDev,
                                          const std::string& ClassName) const {
    return HidDev->PnPInfo != nullptr && HidDev->PnPInfo->ClassDescr == ClassName;
}

bool TJvHidDeviceController::CheckOutByID(TJvHidDevice*& HidDev, int Vid, int Pid) {
    return CheckOutFirst(HidDev, [&](TJvHidDevice* Dev) { return MatchesId(Dev, Vid, Pid); });
}

bool TJvHidDeviceController::CheckOutByProductName(TJvHidDevice*& HidDev,
                                                   const std::u16string& ProductName) {
    return CheckOutFirst(HidDev, [&](TJvHidDevice* Dev) {
        return !ProductName.empty() && NameOf(Dev, false) == ProductName;
    });
}

bool TJvHidDeviceController::CheckOutByVendorName(TJvHidDevice*& HidDev,
                                                  const std::u16string& VendorName) {
    return CheckOutFirst(HidDev, [&](TJvHidDevice* Dev) {
        return !VendorName.empty() && NameOf(Dev, true) == VendorName;
    });
}

bool TJvHidDeviceController::CheckOutByClass(TJvHidDevice*& HidDev, const std::string& ClassName) {
    return CheckOutFirst(HidDev, [&](TJvHidDevice* Dev) { return MatchesClass(Dev, ClassName); });
}

bool TJvHidDeviceController::CheckOutByCallback(TJvHidDevice*& HidDev, TJvHidCheckCallback Check) {
    HidDev = nullptr;
    if (Check == nullptr) return false;
    return CheckOutFirst(HidDev, [&](TJvHidDevice* Dev) {
        Dev->InCallback = true;
        const bool Taken = Check(Dev);
        Dev->InCallback = false;
        if (!Taken) CloseAll(Dev);
        return Taken;
    });
}

void TJvHidDeviceController::CheckIn(TJvHidDevice*& HidDev) {
    TJvHidDevice* Dev = HidDev;
    HidDev = nullptr;
    if (Dev == nullptr) return;
    Dev->StopThread();
    CloseAll(Dev);
    if (Dev->PluggedIn) {
        if (Dev->CheckedOut) {
            Dev->CheckedOut = false;
            --CheckedOutCount_;
            ++CheckedInCount_;
        }
    } else {
        delete Dev;
    }
}

template <class Pred>
int TJvHidDeviceController::CountPlugged(Pred Match) const {
    return static_cast<int>(
        std::count_if(DeviceList.begin(), DeviceList.end(),
                      [&](TJvHidDevice* Dev) { return Dev->PluggedIn && Match(Dev); }));
}

int TJvHidDeviceController::CountByID(int Vid, int Pid) {
    return CountPlugged([&](TJvHidDevice* Dev) { return MatchesId(Dev, Vid, Pid); });
}

int TJvHidDeviceController::CountByProductName(const std::u16string& ProductName) {
    if (ProductName.empty()) return 0;
    return CountPlugged([&](TJvHidDevice* Dev) { return NameOf(Dev, false) == ProductName; });
}

int TJvHidDeviceController::CountByVendorName(const std::u16string& VendorName) {
    if (VendorName.empty()) return 0;
    return CountPlugged([&](TJvHidDevice* Dev) { return NameOf(Dev, true) == VendorName; });
}

int TJvHidDeviceController::CountByClass(const std::string& ClassName) {
    return CountPlugged([&](TJvHidDevice* Dev) { return MatchesClass(Dev, ClassName); });
}

int TJvHidDeviceController::CountByCallback(TJvHidCheckCallback Check) {
    int Count = 0;
    if (Check == nullptr) return 0;
    for (TJvHidDevice* Dev : DeviceList) {
        if (!Dev->PluggedIn) continue;
        Dev->InCallback = true;
        if (Check(Dev)) ++Count;
        Dev->InCallback = false;
        if (!Dev->CheckedOut) CloseAll(Dev);
    }
    return Count;
}

void TJvHidDeviceController::SetDevThreadSleepTime(int DevTime) {
    if (DevTime == DevThreadSleepTime) return;
    for (TJvHidDevice* Dev : DeviceList)
        if (Dev->GetThreadSleepTime() == DevThreadSleepTime) Dev->SetThreadSleepTime(DevTime);
    DevThreadSleepTime = DevTime;
}

void TJvHidDeviceController::SetDevData(THandler<TJvHidDataEvent> DataEvent) {
    if (DataEvent == OnDeviceData) return;
    for (TJvHidDevice* Dev : DeviceList)
        if (Dev->OnData == OnDeviceData) Dev->SetDataEvent(DataEvent);
    OnDeviceData = std::move(DataEvent);
}

void TJvHidDeviceController::SetDevDataError(THandler<TJvHidDataErrorEvent> DataErrorEvent) {
    if (DataErrorEvent == OnDeviceDataError) return;
    for (TJvHidDevice* Dev : DeviceList)
        if (Dev->OnDataError == OnDeviceDataError) Dev->SetDataErrorEvent(DataErrorEvent);
    OnDeviceDataError = std::move(DataErrorEvent);
}

void TJvHidDeviceController::SetDevUnplug(THandler<TJvHidPlugEvent> Unplugger) {
    if (Unplugger == OnDeviceUnplug) return;
    for (TJvHidDevice* Dev : DeviceList)
        if (Dev->OnUnplug == OnDeviceUnplug) Dev->SetUnplugEvent(Unplugger);
    OnDeviceUnplug = std::move(Unplugger);
}

void TJvHidDeviceController::SetOnDeviceChange(TJvHidDeviceChangeEvent Notify) {
    SetDeviceChangeEvent(MakeHandler(std::move(Notify)));
}

void TJvHidDeviceController::SetDeviceChangeEvent(THandler<TJvHidDeviceChangeEvent> Notify) {
    OnDeviceChange = std::move(Notify);
    // Not from inside a running pass (a handler setting it): that pass reports anyway.
    if (InDeviceChange) return;
    InDeviceChange = true;
    DeviceChange();
    InDeviceChange = false;
}

std::string TJvHidDeviceController::HidVersion() const {
    const auto* Version =
        static_cast<const char*>(GetModuleSymbol(GetHidModuleHandle(), "HidFileVersion"));
    if (Version == nullptr) return {};
    return std::string(Version, strnlen(Version, 256));
}
