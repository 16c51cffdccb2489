#include "hid/jvhiddevicecontroller.h"

#include <QPointer>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "hid/hid.h"
#include "hid/moduleloader.h"
#include "hid/setupapi.h"
#include "hid/ui_pipe.h"

namespace {

// Upper bound for an interface detail record; a larger answer is treated as broken.
constexpr DWORD kMaxDetailSize = 64 * 1024;

// HID interface class used when the backend has no GUID of its own.
constexpr GUID kDefaultHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

}  // namespace

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

    // 3. New devices already listed are dropped, once the listed ones have taken their access
    // (it may have come or gone since); the others arrive.
    std::vector<TJvHidDevice*> Arrived;
    for (TJvHidDevice* N : NewList) {
        const auto Known =
            std::find_if(DeviceList.begin(), DeviceList.end(),
                         [&](TJvHidDevice* Dev) { return Dev->PluggedIn && SameInstance(N, Dev); });
        if (Known != DeviceList.end()) {
            if ((*Known)->Reevaluate(*N)) Changed = true;
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
    // The read/write handle stays open while the device is checked out: it holds the device
    // for this program.
    Dev->OpenFile();
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
    ForEachPlugged([&](TJvHidDevice* Dev) {
        if (Check(Dev)) ++Count;
    });
    return Count;
}

void TJvHidDeviceController::ForEachPlugged(const std::function<void(TJvHidDevice*)>& Visit) {
    for (TJvHidDevice* Dev : DeviceList) {
        if (!Dev->PluggedIn) continue;
        const bool WasInCallback = Dev->InCallback;
        Dev->InCallback = true;
        Visit(Dev);
        Dev->InCallback = WasInCallback;
        if (!Dev->CheckedOut && !WasInCallback) CloseAll(Dev);
    }
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
