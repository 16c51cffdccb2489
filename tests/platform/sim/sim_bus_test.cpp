// Devices on the simulated bus as enumeration, notification and the HidD_ queries see them.
#include <cstring>
#include <thread>

#include "tests/platform/sim/sim_test_util.h"

using simtest::SimBusTest;

namespace {

struct Found {
    std::string path;
    DWORD devInst = 0;
};

GUID hidGuid() {
    GUID guid;
    HidD_GetHidGuid(&guid);
    return guid;
}

// Enumerates the way the HID controller does: size first, then the detail.
std::vector<Found> enumerate() {
    const GUID guid = hidGuid();
    HDEVINFO set =
        SetupDiGetClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, nullptr);
    std::vector<Found> found;
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data)) {
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
            break;
        }
        DWORD needed = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetail(set, &data, nullptr, 0, &needed, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        std::vector<uint8_t> storage(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetail(set, &data, detail, needed, nullptr, &info));
        found.push_back({detail->DevicePath, info.DevInst});
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return found;
}

std::string property(const Found& device, DWORD code, DWORD* type = nullptr,
                     DWORD* error = nullptr) {
    const GUID guid = hidGuid();
    HDEVINFO set =
        SetupDiGetClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    info.DevInst = device.devInst;
    uint8_t buffer[1024] = {};
    DWORD needed = 0;
    std::string value;
    if (SetupDiGetDeviceRegistryProperty(set, &info, code, type, buffer, sizeof buffer, &needed))
        value.assign(reinterpret_cast<char*>(buffer), needed);
    else if (error)
        *error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return value;
}

std::atomic<int> changes{0};
void countChange(void*, DWORD event) {
    if (event == DBT_DEVNODES_CHANGED) ++changes;
}

}  // namespace

TEST_F(SimBusTest, EnumerationFollowsPlugUnplugAndReplug) {
    EXPECT_TRUE(enumerate().empty());
    simtest::Recorder rec;
    const auto a = bus().plug(simtest::runDevice(), rec.handler());
    auto other = simtest::runDevice();
    other.productId = 0x0904;
    const auto b = bus().plug(other, nullptr);

    auto list = enumerate();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].path, bus().devicePath(a));
    EXPECT_EQ(list[1].path, bus().devicePath(b));
    EXPECT_EQ(list[0].path.rfind("sim:hid#vid_0168&pid_0821#", 0), 0u);
    EXPECT_NE(list[0].devInst, list[1].devInst);

    // A re-enumerated device is a new interface: new instance and path, old one gone.
    const auto a2 = bus().replug(a, 0x0904);
    EXPECT_FALSE(bus().isPlugged(a));
    EXPECT_TRUE(bus().isPlugged(a2));
    auto after = enumerate();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].devInst, list[1].devInst);
    EXPECT_NE(after[1].devInst, list[0].devInst);
    EXPECT_EQ(after[1].path.rfind("sim:hid#vid_0168&pid_0904#", 0), 0u);
    // The new device keeps the device model.
    HANDLE h = open(a2, GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint8_t report[65] = {0, 0x42};
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(h, report, sizeof report, &done, nullptr));
    EXPECT_EQ(rec.count(), 1u);

    bus().unplug(b);
    bus().unplug(b);  // twice is harmless
    EXPECT_EQ(enumerate().size(), 1u);
    EXPECT_EQ(bus().replug(b, 0x0821), 0);
}

TEST_F(SimBusTest, RegistryPropertiesAndSizing) {
    bus().plug(simtest::runDevice(), nullptr);
    const auto list = enumerate();
    ASSERT_EQ(list.size(), 1u);
    DWORD type = 0;
    EXPECT_EQ(property(list[0], SPDRP_CLASS, &type), std::string("HIDClass\0", 9));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(property(list[0], SPDRP_DEVICEDESC), std::string("Velto DSP\0", 10));
    EXPECT_EQ(property(list[0], SPDRP_MFG), std::string("Velto\0", 6));
    const std::string ids = property(list[0], SPDRP_HARDWAREID, &type);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(ids, std::string("HID\\VID_0168&PID_0821&REV_0103\0HID\\VID_0168&PID_0821\0\0", 54));

    DWORD error = 0;
    EXPECT_EQ(property(list[0], SPDRP_UPPERFILTERS, nullptr, &error), "");
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);

    // Too small a buffer tells the size; an unknown instance is refused.
    const GUID guid = hidGuid();
    HDEVINFO set =
        SetupDiGetClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA info{sizeof(SP_DEVINFO_DATA), {}, list[0].devInst, 0};
    uint8_t small[4];
    DWORD needed = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryProperty(set, &info, SPDRP_CLASS, nullptr, small,
                                                  sizeof small, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, 9u);
    info.DevInst = 0xDEAD;
    EXPECT_FALSE(SetupDiGetDeviceRegistryProperty(set, &info, SPDRP_CLASS, nullptr, small,
                                                  sizeof small, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // A detail buffer one byte short is refused, not overrun.
    SP_DEVICE_INTERFACE_DATA data{sizeof(SP_DEVICE_INTERFACE_DATA), {}, 0, 0};
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    SetupDiGetDeviceInterfaceDetail(set, &data, nullptr, 0, &needed, nullptr);
    std::vector<uint8_t> storage(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetail(set, &data, detail, needed - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // Another class has no HID interfaces.
    GUID otherClass = guid;
    otherClass.Data1 ^= 1;
    set = SetupDiGetClassDevs(&otherClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimBusTest, NotificationsForArrivalAndRemovalUntilUnregistered) {
    changes = 0;
    HDEVNOTIFY n = RegisterDeviceNotification(&countChange, nullptr);
    ASSERT_NE(n, nullptr);
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    EXPECT_EQ(changes, 1);
    const auto id2 = bus().replug(id, 0x0904);
    EXPECT_EQ(changes, 3);  // removal and arrival
    bus().unplug(id2);
    EXPECT_EQ(changes, 4);
    EXPECT_TRUE(UnregisterDeviceNotification(n));
    EXPECT_FALSE(UnregisterDeviceNotification(n));
    bus().plug(simtest::runDevice(), nullptr);
    EXPECT_EQ(changes, 4);
    EXPECT_EQ(RegisterDeviceNotification(nullptr, nullptr), nullptr);
}

namespace {
struct SelfRemoving {
    HDEVNOTIFY handle = nullptr;
    int calls = 0;
};
void removeSelf(void* context, DWORD) {
    auto* self = static_cast<SelfRemoving*>(context);
    ++self->calls;
    EXPECT_TRUE(UnregisterDeviceNotification(self->handle));
}

struct Slow {
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    std::atomic<int> calls{0};
};
void slowCallback(void* context, DWORD) {
    auto* slow = static_cast<Slow*>(context);
    ++slow->calls;
    slow->inside = true;
    while (!slow->release)
        std::this_thread::yield();
    slow->inside = false;
}
}  // namespace

TEST_F(SimBusTest, UnregisterFromInsideTheCallbackAndWhileItRuns) {
    SelfRemoving self;
    self.handle = RegisterDeviceNotification(&removeSelf, &self);
    bus().plug(simtest::runDevice(), nullptr);
    bus().plug(simtest::runDevice(), nullptr);
    EXPECT_EQ(self.calls, 1);

    // Unregister waits for a callback that is running on another thread.
    Slow slow;
    HDEVNOTIFY n = RegisterDeviceNotification(&slowCallback, &slow);
    std::thread plugger([&] { bus().plug(simtest::runDevice(), nullptr); });
    while (!slow.inside)
        std::this_thread::yield();
    std::atomic<bool> unregistered{false};
    std::thread remover([&] {
        UnregisterDeviceNotification(n);
        unregistered = true;
    });
    for (int i = 0; i < 1000; ++i)
        std::this_thread::yield();
    EXPECT_FALSE(unregistered);
    slow.release = true;
    remover.join();
    plugger.join();
    EXPECT_FALSE(slow.inside);
    bus().plug(simtest::runDevice(), nullptr);
    EXPECT_EQ(slow.calls, 1);
}

TEST_F(SimBusTest, OpeningForQueriesAndForIo) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    EXPECT_EQ(
        CreateFile("sim:hid#vid_0168&pid_0821#999999", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFile(nullptr, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);

    // Without I/O rights the device still answers queries, as for "opened without access".
    bus().setAccessDenied(id, true);
    EXPECT_EQ(open(id, GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE query = open(id, 0);
    ASSERT_NE(query, INVALID_HANDLE_VALUE);
    HIDD_ATTRIBUTES attributes{sizeof(HIDD_ATTRIBUTES), 0, 0, 0};
    ASSERT_TRUE(HidD_GetAttributes(query, &attributes));
    EXPECT_EQ(attributes.VendorID, 0x0168);
    EXPECT_EQ(attributes.ProductID, 0x0821);
    EXPECT_EQ(attributes.VersionNumber, 0x0103);
    uint8_t report[65] = {};
    DWORD done = 7;
    EXPECT_FALSE(WriteFile(query, report, sizeof report, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(ReadFile(query, report, sizeof report, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    bus().setAccessDenied(id, false);
    EXPECT_NE(open(id, GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);

    // Closed and unknown handles are refused; handle values are not reused.
    HANDLE h = open(id, 0);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(HidD_GetAttributes(h, &attributes));
    EXPECT_NE(open(id, 0), h);
    EXPECT_FALSE(HidD_GetAttributes(INVALID_HANDLE_VALUE, &attributes));

    bus().unplug(id);
    EXPECT_FALSE(HidD_GetAttributes(query, &attributes));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(open(id, 0), INVALID_HANDLE_VALUE);
}

TEST_F(SimBusTest, StringsLanguagesAndDescriptors) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    HANDLE h = open(id, 0);
    char16_t text[127] = {};
    ASSERT_TRUE(HidD_GetProductString(h, text, sizeof text));
    EXPECT_EQ(std::u16string(text), u"Velto DSP");
    ASSERT_TRUE(HidD_GetManufacturerString(h, text, sizeof text));
    EXPECT_EQ(std::u16string(text), u"Velto");
    ASSERT_TRUE(HidD_GetSerialNumberString(h, text, sizeof text));
    EXPECT_EQ(std::u16string(text), u"SN0001");
    ASSERT_TRUE(HidD_GetIndexedString(h, 2, text, sizeof text));
    EXPECT_EQ(std::u16string(text), u"Velto DSP");
    EXPECT_FALSE(HidD_GetIndexedString(h, 9, text, sizeof text));

    // Index 0 is the language list; its language has a name.
    uint16_t languages[8];
    std::memset(languages, 0xFF, sizeof languages);
    ASSERT_TRUE(HidD_GetIndexedString(h, 0, languages, sizeof languages));
    EXPECT_EQ(languages[0], 0x0409);
    EXPECT_EQ(languages[1], 0);
    EXPECT_EQ(languages[2], 0xFFFF);
    char name[256];
    EXPECT_GT(GetLocaleInfo(languages[0], LOCALE_SLANGUAGE, name, sizeof name), 0);
    EXPECT_STREQ(name, "English (United States)");
    EXPECT_EQ(GetLocaleInfo(0x0409, LOCALE_SLANGUAGE, nullptr, 0), 24);
    EXPECT_EQ(GetLocaleInfo(0x0409, LOCALE_SLANGUAGE, name, 5), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(GetLocaleInfo(0x7777, LOCALE_SLANGUAGE, name, sizeof name), 0);

    // A short buffer gets a cut but terminated string; no room at all is an error.
    char16_t shortText[4];
    std::memset(shortText, 0x55, sizeof shortText);
    ASSERT_TRUE(HidD_GetProductString(h, shortText, sizeof shortText));
    EXPECT_EQ(std::u16string(shortText), u"Vel");
    EXPECT_FALSE(HidD_GetProductString(h, shortText, 1));

    // A device without a serial number has none.
    auto bare = simtest::runDevice();
    bare.serial.clear();
    HANDLE h2 = open(bus().plug(bare, nullptr), 0);
    EXPECT_FALSE(HidD_GetSerialNumberString(h2, text, sizeof text));

    // No physical descriptor: the first try ends the search.
    uint8_t physical[16];
    EXPECT_FALSE(HidD_GetPhysicalDescriptor(h, physical, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    HIDD_CONFIGURATION config{};
    EXPECT_FALSE(HidD_GetConfiguration(h, &config, sizeof config));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(HidD_SetConfiguration(h, &config, sizeof config));

    // The report descriptor parses into the report lengths the HID layer sizes buffers by.
    PHIDP_PREPARSED_DATA data = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &data));
    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(data, &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.InputReportByteLength, 65);
    EXPECT_EQ(caps.OutputReportByteLength, 65);
    EXPECT_TRUE(HidD_FreePreparsedData(data));
    EXPECT_FALSE(HidD_FreePreparsedData(nullptr));

    auto broken = simtest::runDevice();
    broken.reportDescriptor = {0xA1, 0x01, 0x81};  // truncated item
    HANDLE h3 = open(bus().plug(broken, nullptr), 0);
    EXPECT_FALSE(HidD_GetPreparsedData(h3, &data));
    EXPECT_EQ(data, nullptr);

    char hello[64];
    const ULONG len = HidD_Hello(hello, sizeof hello);
    EXPECT_EQ(len, std::strlen(hello) + 1);
    EXPECT_EQ(HidD_Hello(hello, 3), len);
    EXPECT_EQ(std::strlen(hello), 2u);
    EXPECT_GT(std::strlen(HidFileVersion), 0u);
}

TEST_F(SimBusTest, FeatureReportsAndInputBufferCount) {
    const auto id = bus().plug(simtest::runDevice(), nullptr);
    HANDLE h = open(id, GENERIC_READ | GENERIC_WRITE);
    uint8_t feature[9] = {3};
    EXPECT_FALSE(HidD_GetFeature(h, feature, sizeof feature));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);

    std::vector<uint8_t> stored;
    bus().setFeatureHandler(id, [&](bool set, uint8_t* report, std::size_t length) {
        if (report[0] != 3) return false;
        if (set) {
            stored.assign(report, report + length);
            report[1] = 0xEE;  // must not reach the caller
        } else {
            std::memset(report + 1, 0xAB, length - 1);
        }
        return true;
    });
    ASSERT_TRUE(HidD_GetFeature(h, feature, sizeof feature));
    EXPECT_EQ(feature[0], 3);
    EXPECT_EQ(feature[8], 0xAB);
    feature[1] = 1;
    ASSERT_TRUE(HidD_SetFeature(h, feature, sizeof feature));
    EXPECT_EQ(stored.size(), 9u);
    EXPECT_EQ(feature[1], 1);
    feature[0] = 4;
    EXPECT_FALSE(HidD_SetFeature(h, feature, sizeof feature));
    EXPECT_FALSE(HidD_GetFeature(h, nullptr, 9));

    ULONG count = 0;
    ASSERT_TRUE(HidD_GetNumInputBuffers(h, &count));
    EXPECT_EQ(count, 32u);
    EXPECT_TRUE(HidD_SetNumInputBuffers(h, 64));
    EXPECT_FALSE(HidD_SetNumInputBuffers(h, 1));
    EXPECT_FALSE(HidD_SetNumInputBuffers(h, 513));
    ASSERT_TRUE(HidD_GetNumInputBuffers(h, &count));
    EXPECT_EQ(count, 64u);
    // The count belongs to the handle.
    HANDLE other = open(id, 0);
    ASSERT_TRUE(HidD_GetNumInputBuffers(other, &count));
    EXPECT_EQ(count, 32u);
}

TEST_F(SimBusTest, WritesReachTheDeviceModelWhichMayUnplugItself) {
    simtest::Recorder rec;
    simbus::DeviceId id = 0;
    std::atomic<bool> unplugOnNext{false};
    id = bus().plug(simtest::runDevice(), [&](const uint8_t* report, std::size_t length) {
        rec.handler()(report, length);
        // The handler runs with no bus lock: it may answer and unplug from here.
        const uint8_t answer[3] = {0, report[1], 0x55};
        bus().sendInput(id, answer, sizeof answer);
        if (unplugOnNext) bus().unplug(id);
    });
    HANDLE h = open(id, GENERIC_READ | GENERIC_WRITE);
    uint8_t report[65] = {0, 0x10, 0x20};
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, report, sizeof report, &done, nullptr));
    EXPECT_EQ(done, 65u);
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.reports[0].size(), 65u);
    EXPECT_EQ(rec.reports[0][0], 0);  // report ID first
    EXPECT_EQ(rec.reports[0][1], 0x10);
    uint8_t in[65] = {};
    ASSERT_TRUE(ReadFile(h, in, sizeof in, &done, nullptr));
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(in[1], 0x10);

    EXPECT_FALSE(WriteFile(h, report, 0, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    unplugOnNext = true;
    EXPECT_TRUE(WriteFile(h, report, sizeof report, &done, nullptr));
    EXPECT_FALSE(bus().isPlugged(id));
    EXPECT_FALSE(WriteFile(h, report, sizeof report, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(rec.count(), 2u);
}
