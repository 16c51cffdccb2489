// The device controller: keeps the list of present HID interfaces, notices arrivals and
// removals, and hands devices out (check-out) and takes them back (check-in). Runs on the
// user-interface thread (the thread of its QObject).
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hid/jvhiddevice.h"
#include "hid/jvhidtypes.h"
#include "platform/hid_platform.h"

class UiPipe;

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
    // Calls Visit for each plugged-in device, which may query it (names, serial number) as in
    // a callback; a device not checked out is closed again afterwards.
    void ForEachPlugged(const std::function<void(TJvHidDevice*)>& Visit);

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
