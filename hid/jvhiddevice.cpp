#include "hid/jvhiddevice.h"

#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "hid/backend.h"
#include "hid/hid.h"
#include "hid/jvhiddevicecontroller.h"
#include "hid/moduleloader.h"

namespace {

// Wide-string queries take 508 bytes: 254 UTF-16 units. One more unit stays 0 so that a
// device filling the whole buffer still gives a terminated string.
constexpr ULONG kStringBytes = 508;
constexpr std::size_t kStringUnits = kStringBytes / 2;
constexpr std::size_t kPhysicalDescriptorWords = 2048;

DWORD LastError() {
    return syslib::GetLastError != nullptr ? syslib::GetLastError() : 0;
}

std::u16string FromUnits(const uint16_t* Units, std::size_t Max) {
    std::size_t Len = 0;
    while (Len < Max && Units[Len] != 0)
        ++Len;
    return std::u16string(reinterpret_cast<const char16_t*>(Units), Len);
}

}  // namespace

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
    // A query-only handle: listing a device must not open it for I/O, which would wake it.
    FileHandle = OpenPath(0, 0);
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
    ProbeAccess();
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

void TJvHidDevice::SetAccess(bool Access, uint32_t Error) {
    ReadWriteError_ = Access ? ERROR_SUCCESS : (Error != ERROR_SUCCESS ? Error : ERROR_GEN_FAILURE);
    ReadWriteAccess = Access;
}

void TJvHidDevice::ProbeAccess() {
    if (syslib::QueryDeviceAccess == nullptr || PnPInfo == nullptr) return;
    const bool Access =
        syslib::QueryDeviceAccess(PnPInfo->DevicePath.c_str(), GENERIC_READ | GENERIC_WRITE);
    SetAccess(Access, Access ? ERROR_SUCCESS : LastError());
}

bool TJvHidDevice::Reevaluate(const TJvHidDevice& Listed) {
    if (!PluggedIn) return false;
    const bool OldAccess = ReadWriteAccess;
    const uint32_t OldError = ReadWriteError_;
    const bool WasStalled = ReadStalled;
    if (!CheckedOut) {
        SetAccess(Listed.ReadWriteAccess, Listed.ReadWriteError_);
    } else if (!ReadWriteAccess || ReadStalled) {
        // Access came after the check-out (udev sets a node's permissions after the node
        // appears, or the program that held the device let go): open again, start reading.
        // (The probe of a device this program holds says it is held: no reopen then.)
        if (!ReadWriteAccess && Listed.ReadWriteAccess) {
            CloseFile();
            OpenFile();
        }
        StartThread();
    }
    return OldAccess != ReadWriteAccess || OldError != ReadWriteError_ ||
           (WasStalled && !ReadStalled);
}

template <class F>
bool TJvHidDevice::WithQueryHandle(F&& Query) {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (FileHandle != INVALID_HANDLE_VALUE) {
        Query(FileHandle);
        return true;
    }
    if (!IsAccessible()) return false;
    HANDLE Handle = OpenPath(0, 0);
    if (Handle == INVALID_HANDLE_VALUE) return false;
    Query(Handle);
    CloseHandleOf(Handle);
    return true;
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
        const bool Access = FileHandle != INVALID_HANDLE_VALUE;
        SetAccess(Access, Access ? ERROR_SUCCESS : LastError());
        if (!Access) FileHandle = OpenPath(0, 0);
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

// The synchronous calls below run without FileLock: a read waits for a report, and a write
// may take the device seconds (or time out), while the user-interface thread must stay free to
// close the device. The backend keeps a handle's file alive until a call on it returns; a handle
// closed meanwhile is never reused, so a call on it fails instead of reaching another device.

bool TJvHidDevice::ReadFile(void* Buffer, uint32_t NumberOfBytesToRead,
                            uint32_t& NumberOfBytesRead) {
    NumberOfBytesRead = 0;
    if (syslib::ReadFile == nullptr) return false;
    HANDLE Handle = INVALID_HANDLE_VALUE;
    {
        std::lock_guard<std::recursive_mutex> Guard(FileLock);
        if (!OpenFile()) return false;
        Handle = FileHandle;
    }
    DWORD Done = 0;
    const bool Ok = syslib::ReadFile(Handle, Buffer, NumberOfBytesToRead, &Done, nullptr);
    NumberOfBytesRead = Done;
    return Ok;
}

bool TJvHidDevice::WriteFile(const void* Buffer, uint32_t NumberOfBytesToWrite,
                             uint32_t& NumberOfBytesWritten) {
    NumberOfBytesWritten = 0;
    if (syslib::WriteFile == nullptr || ReadStalled) return false;
    HANDLE Handle = INVALID_HANDLE_VALUE;
    {
        std::lock_guard<std::recursive_mutex> Guard(FileLock);
        if (!OpenFile() || !ReadWriteAccess) return false;
        Handle = FileHandle;
    }
    DWORD Done = 0;
    const bool Ok = syslib::WriteFile(Handle, Buffer, NumberOfBytesToWrite, &Done, nullptr);
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
    OpenFile();
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
        WithQueryHandle([this](HANDLE Handle) {
            PHIDP_PREPARSED_DATA Data = nullptr;
            if (hidlib::HidD_GetPreparsedData(Handle, &Data)) PreparsedData = Data;
        });
    }
    return PreparsedData;
}

std::string TJvHidDevice::GetParseError() {
    std::string Why;
    if (hidlib::HidD_GetParseError == nullptr) return Why;
    const bool Queried = WithQueryHandle([&Why](HANDLE Handle) {
        char Buffer[256] = {};
        if (hidlib::HidD_GetParseError(Handle, Buffer, sizeof Buffer))
            Why = Buffer;
        else if (syslib::GetLastError != nullptr)
            Why =
                "the report descriptor cannot be read: " + SysErrorMessage(syslib::GetLastError());
    });
    if (!Queried) Why = "the device cannot be queried";
    return Why;
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
    if (!Done && Query != nullptr) {
        Done = WithQueryHandle([&](HANDLE Handle) {
            uint16_t Buffer[kStringUnits + 1] = {};
            if (Query(Handle, Buffer, kStringBytes)) Value = FromUnits(Buffer, kStringUnits);
        });
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

std::vector<uint16_t> TJvHidDevice::LanguageList(HANDLE Handle) {
    // Unused units keep 0xFFFF, so the list's length shows even without a terminator.
    std::vector<uint16_t> Buffer(kStringUnits, 0xFFFF);
    if (hidlib::HidD_GetIndexedString == nullptr) return {};
    hidlib::HidD_GetIndexedString(Handle, 0, Buffer.data(), kStringBytes);
    std::size_t Count = Buffer.size();
    while (Count > 0 && Buffer[Count - 1] == 0xFFFF)
        --Count;
    if (Count > 0 && Buffer[Count - 1] == 0) --Count;
    Buffer.resize(Count);
    return Buffer;
}

const std::u16string& TJvHidDevice::GetSerialNumber() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!HaveSerialNumber && hidlib::HidD_GetSerialNumberString != nullptr) {
        HaveSerialNumber = WithQueryHandle([this](HANDLE Handle) {
            uint16_t Buffer[kStringUnits + 1] = {};
            const bool Ok = hidlib::HidD_GetSerialNumberString(Handle, Buffer, kStringBytes);
            const std::vector<uint16_t> Languages = LanguageList(Handle);
            // A device that answers with its language list (or has none) has no serial number.
            bool Differs = false;
            for (std::size_t I = 0; I < Languages.size(); ++I)
                if (Buffer[I] != Languages[I]) Differs = true;
            if (Ok && Differs) SerialNumber = FromUnits(Buffer, kStringUnits);
        });
    }
    return SerialNumber;
}

const std::vector<std::string>& TJvHidDevice::GetLanguageStrings() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    std::vector<uint16_t> Ids;
    if (!HaveLanguageStrings &&
        WithQueryHandle([&](HANDLE Handle) { Ids = LanguageList(Handle); })) {
        for (uint16_t Id : Ids) {
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
    }
    return LanguageStrings;
}

const TJvPhysicalDescriptor& TJvHidDevice::GetPhysicalDescriptor() {
    std::lock_guard<std::recursive_mutex> Guard(FileLock);
    if (!HavePhysicalDescriptor && hidlib::HidD_GetPhysicalDescriptor != nullptr) {
        HavePhysicalDescriptor = WithQueryHandle([this](HANDLE Handle) {
            std::vector<uint16_t> Buffer(kPhysicalDescriptorWords, 0);
            for (std::size_t Words = 0; Words < kPhysicalDescriptorWords; ++Words) {
                if (hidlib::HidD_GetPhysicalDescriptor(Handle, Buffer.data(),
                                                       static_cast<ULONG>(Words * 2))) {
                    PhysicalDescriptor.assign(Buffer.begin(),
                                              Buffer.begin() + static_cast<std::ptrdiff_t>(Words));
                    break;
                }
                if (LastError() != ERROR_INSUFFICIENT_BUFFER) break;
            }
        });
    }
    return PhysicalDescriptor;
}

std::u16string TJvHidDevice::GetDeviceStringUnicode(uint8_t Idx) {
    if (Idx == 0 || hidlib::HidD_GetIndexedString == nullptr) return {};
    std::u16string Text;
    WithQueryHandle([&](HANDLE Handle) {
        uint16_t Buffer[kStringUnits + 1] = {};
        if (hidlib::HidD_GetIndexedString(Handle, Idx, Buffer, kStringBytes))
            Text = FromUnits(Buffer, kStringUnits);
    });
    return Text;
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
    if (!OnData || !PluggedIn || !CheckedOut || ReadThread != nullptr) return;
    // A device without input reports has nothing to read.
    if (Caps().InputReportByteLength == 0) return;
    if (!ReadWriteAccess) {
        ReadStalled = true;
        return;
    }
    ReadStalled = false;
    // Open the read handle here rather than in the reader, so that every report the device
    // sends once the check-out has returned reaches it.
    OpenFileEx(omhRead);
    ReadThread = new TJvHidDeviceReadThread(this);
    ReadThread->Resume();
}

void TJvHidDevice::StopThread() {
    ReadStalled = false;
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
