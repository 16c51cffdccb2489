// hidraw enumeration, properties, queries, access and hotplug over fake sysfs trees.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "tests/platform/hidraw/hidraw_test_util.h"

using hidrawtest::AsUser;
using hidrawtest::FakeDevice;
using hidrawtest::HidrawTest;
using hidrawtest::NodeKind;
using hidrawtest::OpenWatch;

namespace {

std::string property(DWORD devInst, DWORD code, DWORD* type = nullptr) {
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevs(&guid, nullptr, nullptr, 0x12);
    SP_DEVINFO_DATA info{sizeof info, {}, devInst, 0};
    uint8_t buffer[1024];
    DWORD needed = 0;
    std::string value = "<absent>";
    if (SetupDiGetDeviceRegistryProperty(set, &info, code, type, buffer, sizeof buffer, &needed))
        value.assign(reinterpret_cast<char*>(buffer), needed);
    else
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetupDiDestroyDeviceInfoList(set);
    return value;
}

FakeDevice velto(uint16_t productId = 0x0821) {
    FakeDevice d;
    d.productId = productId;
    d.descriptor = testsupport::ProductDescriptor();
    return d;
}

}  // namespace

TEST_F(HidrawTest, EnumeratesPresentInterfacesInNumericOrderWithStableInstances) {
    tree().add(10, velto(0x0904));
    tree().add(2, velto());
    FakeDevice mouse;
    mouse.vendorId = 0x046D;
    mouse.productId = 0xC077;
    mouse.usb = false;
    mouse.descriptor = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0xC0};
    tree().add(3, mouse);
    FakeDevice noNode = velto();
    noNode.node = NodeKind::None;  // udev has not made the node yet
    tree().add(4, noNode);

    const auto list = enumerate();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].path, tree().nodePath(2));
    EXPECT_EQ(list[1].path, tree().nodePath(3));
    EXPECT_EQ(list[2].path, tree().nodePath(10));
    EXPECT_NE(list[0].devInst, list[1].devInst);
    EXPECT_NE(list[1].devInst, list[2].devInst);

    // Same interfaces, same numbers; a re-created interface is a new one.
    const auto again = enumerate();
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(again[0].devInst, list[0].devInst);
    EXPECT_EQ(again[2].devInst, list[2].devInst);
    tree().remove(2);
    EXPECT_EQ(enumerate().size(), 2u);
    tree().add(2, velto(0x0904));
    const auto after = enumerate();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0].path, tree().nodePath(2));
    EXPECT_NE(after[0].devInst, list[0].devInst);
    EXPECT_EQ(after[2].devInst, list[2].devInst);

    // A node that comes late (udev) shows the interface from then on.
    tree().createNode(4, NodeKind::Fifo);
    EXPECT_EQ(enumerate().size(), 4u);
}

TEST_F(HidrawTest, RegistryPropertiesComeFromSysfs) {
    FakeDevice hubbed = velto();
    hubbed.port = "1-4.3";  // behind a hub: the unit's own port, not the hub's
    tree().add(0, hubbed);
    FakeDevice bare;
    bare.usb = false;
    bare.descriptor = testsupport::ProductDescriptor();
    bare.phys = "velto-bench-2/input0";
    tree().add(1, bare);
    FakeDevice named = bare;
    named.phys = "velto-bench-3/inputs";  // no interface number: kept whole
    tree().add(2, named);
    const auto list = enumerate();
    ASSERT_EQ(list.size(), 3u);
    const DWORD inst = list[0].devInst;
    DWORD type = 0;
    EXPECT_EQ(property(inst, SPDRP_DEVICEDESC, &type), std::string("Velto Velto DSP\0", 16));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(property(inst, SPDRP_CLASS), std::string("HIDClass\0", 9));
    EXPECT_EQ(property(inst, SPDRP_MFG), std::string("Velto\0", 6));
    EXPECT_EQ(property(inst, SPDRP_LOCATION_INFORMATION),
              std::string("usb-0000:00:14.0-1/input0\0", 26));
    EXPECT_EQ(property(inst, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME), tree().sysPath(0) + '\0');
    EXPECT_EQ(property(inst, SPDRP_SERVICE), std::string("hid-generic\0", 12));
    EXPECT_EQ(property(inst, SPDRP_ENUMERATOR_NAME), std::string("USB\0", 4));
    EXPECT_EQ(property(inst, SPDRP_HARDWAREID, &type),
              std::string("HID\\VID_0168&PID_0821&REV_0103\0HID\\VID_0168&PID_0821\0\0", 54));
    EXPECT_EQ(type, REG_MULTI_SZ);
    const std::string bus = property(inst, SPDRP_BUSNUMBER, &type);
    EXPECT_EQ(type, REG_DWORD);
    ASSERT_EQ(bus.size(), 4u);
    EXPECT_EQ(bus[0], 1);
    EXPECT_EQ(property(inst, SPDRP_UPPERFILTERS), "<absent>");
    // Without a USB parent there is no manufacturer, bus number or revision.
    EXPECT_EQ(property(list[1].devInst, SPDRP_MFG), "<absent>");
    EXPECT_EQ(property(list[1].devInst, SPDRP_BUSNUMBER), "<absent>");

    // Where the unit is plugged in: its USB device's port path, else HID_PHYS without the
    // interface's "/inputN".
    EXPECT_EQ(property(inst, SPDRP_LOCATION_PATHS, &type), std::string("1-4.3\0\0", 7));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(property(list[1].devInst, SPDRP_LOCATION_PATHS),
              std::string("velto-bench-2\0\0", 15));
    EXPECT_EQ(property(list[2].devInst, SPDRP_LOCATION_PATHS),
              std::string("velto-bench-3/inputs\0\0", 22));
}

TEST_F(HidrawTest, QueriesNeedNoAccessToTheNode) {
    FakeDevice d = velto();
    d.node = NodeKind::Socket;  // exists, but any open() of it fails
    d.uniq = "HIDUNIQ7";
    tree().add(0, d);
    EXPECT_EQ(open(0, GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
    HANDLE h = open(0, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HIDD_ATTRIBUTES a{sizeof a, 0, 0, 0};
    ASSERT_TRUE(HidD_GetAttributes(h, &a));
    EXPECT_EQ(a.VendorID, 0x0168);
    EXPECT_EQ(a.ProductID, 0x0821);
    EXPECT_EQ(a.VersionNumber, 0x0103);
    char16_t text[127];
    ASSERT_TRUE(HidD_GetManufacturerString(h, text, sizeof text));
    EXPECT_EQ(std::u16string(text), u"Velto");
    ASSERT_TRUE(HidD_GetProductString(h, text, sizeof text));
    EXPECT_EQ(std::u16string(text), u"Velto DSP");
    ASSERT_TRUE(HidD_GetSerialNumberString(h, text, sizeof text));
    EXPECT_EQ(std::u16string(text), u"HIDUNIQ7");  // the HID unique ID wins over USB's

    PHIDP_PREPARSED_DATA data = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &data));
    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(data, &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.InputReportByteLength, 65);
    HidD_FreePreparsedData(data);

    // Feature reports need the node.
    uint8_t feature[8] = {};
    EXPECT_FALSE(HidD_GetFeature(h, feature, sizeof feature));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(HidrawTest, OnlyHidrawNodesUnderTheDevRootOpen) {
    tree().add(0, velto());
    for (const std::string& path :
         {std::string("/etc/passwd"), tree().devRoot() + "/../dev/hidraw0",
          tree().devRoot() + "/hidraw0x", tree().devRoot() + "/hidraw", tree().devRoot() + "/",
          tree().devRoot() + "/hidraw7"}) {
        EXPECT_EQ(CreateFile(path.c_str(), 0, 3, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE)
            << path;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
    // Broken sysfs entries are skipped, not trusted.
    tree().add(1, velto());
    { std::ofstream(tree().sysPath(1) + "/device/uevent") << "HID_ID=zz:qq\n"; }
    EXPECT_EQ(enumerate().size(), 1u);
    EXPECT_EQ(open(1, 0), INVALID_HANDLE_VALUE);
}

namespace {
struct ChangeCounter {
    std::mutex mutex;
    std::condition_variable cv;
    int count = 0;

    static void callback(void* context, DWORD event) {
        auto* self = static_cast<ChangeCounter*>(context);
        if (event != DBT_DEVNODES_CHANGED) return;
        {
            std::lock_guard lock(self->mutex);
            ++self->count;
        }
        self->cv.notify_all();
    }
    // Waits (generously) for more than `seen` notifications.
    bool waitBeyond(int seen) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return count > seen; });
    }
    // Waits (generously) for a time of `quiet` without a notification.
    bool waitQuiet(std::chrono::milliseconds quiet) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::unique_lock lock(mutex);
        while (std::chrono::steady_clock::now() < deadline) {
            const int last = count;
            if (!cv.wait_for(lock, quiet, [&] { return count != last; })) return true;
        }
        return false;
    }
    int value() {
        std::lock_guard lock(mutex);
        return count;
    }
};
}  // namespace

// Registers for device-change notifications for the scope of a test.
struct Listening {
    explicit Listening(ChangeCounter& changes)
        : handle(RegisterDeviceNotification(&ChangeCounter::callback, &changes)) {}
    ~Listening() {
        if (handle) UnregisterDeviceNotification(handle);
    }
    Listening(const Listening&) = delete;
    Listening& operator=(const Listening&) = delete;
    HDEVNOTIFY handle;
};

TEST_F(HidrawTest, HotplugThroughNodeCreationRemovalAndAccessChanges) {
    ChangeCounter changes;
    HDEVNOTIFY n = RegisterDeviceNotification(&ChangeCounter::callback, &changes);
    ASSERT_NE(n, nullptr);

    tree().add(0, velto());
    ASSERT_TRUE(changes.waitBeyond(0));
    const auto first = enumerate();
    ASSERT_EQ(first.size(), 1u);

    int seen = changes.value();
    ASSERT_EQ(::chmod(tree().nodePath(0).c_str(), 0660), 0);  // udev granting access
    ASSERT_TRUE(changes.waitBeyond(seen));

    // Removed and back under the same name before anyone enumerated: still a new interface.
    seen = changes.value();
    tree().removeNode(0);
    ASSERT_TRUE(changes.waitBeyond(seen));
    seen = changes.value();
    tree().createNode(0, NodeKind::Fifo);
    ASSERT_TRUE(changes.waitBeyond(seen));
    const auto second = enumerate();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0].devInst, first[0].devInst);

    EXPECT_TRUE(UnregisterDeviceNotification(n));
    seen = changes.value();
    tree().add(2, velto());
    tree().remove(2);
    EXPECT_EQ(changes.value(), seen);
}

TEST_F(HidrawTest, HotplugSurvivesTheDevFolderGoingAndComing) {
    namespace fs = std::filesystem;
    // No folder to watch yet: changes are still found, by a rescan every second.
    fs::remove_all(tree().devRoot());
    ChangeCounter changes;
    Listening listening(changes);
    ASSERT_NE(listening.handle, nullptr);
    ASSERT_TRUE(changes.waitBeyond(changes.value()));
    fs::create_directory(tree().devRoot());
    // The watch is set once the folder is there, and the rescans stop.
    ASSERT_TRUE(changes.waitQuiet(std::chrono::milliseconds(1500)));
    int seen = changes.value();
    tree().add(0, velto());
    ASSERT_TRUE(changes.waitBeyond(seen));
    EXPECT_EQ(enumerate().size(), 1u);

    // The watched folder goes (IN_DELETE_SELF, IN_IGNORED) and comes back: watched again.
    seen = changes.value();
    fs::remove_all(tree().devRoot());
    ASSERT_TRUE(changes.waitBeyond(seen));
    EXPECT_EQ(enumerate().size(), 0u);
    fs::create_directory(tree().devRoot());
    ASSERT_TRUE(changes.waitQuiet(std::chrono::milliseconds(1500)));
    seen = changes.value();
    tree().createNode(0, NodeKind::Fifo);
    ASSERT_TRUE(changes.waitBeyond(seen));
    EXPECT_EQ(enumerate().size(), 1u);
}

TEST_F(HidrawTest, AccessIsToldWithoutOpeningTheNode) {
    tree().add(0, velto());
    const std::string node = tree().nodePath(0);
    ASSERT_EQ(::chmod(node.c_str(), 0), 0);  // devtmpfs' node before udev's ACL
    OpenWatch opens(tree().devRoot());
    {
        AsUser user(tree());
        EXPECT_FALSE(QueryDeviceAccess(node.c_str(), GENERIC_READ | GENERIC_WRITE));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_TRUE(QueryDeviceAccess(node.c_str(), 0));
        // Listing, identifying and describing the device open nothing.
        ASSERT_EQ(enumerate().size(), 1u);
        HANDLE h = open(0, 0);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        HIDD_ATTRIBUTES a{sizeof a, 0, 0, 0};
        EXPECT_TRUE(HidD_GetAttributes(h, &a));
        PHIDP_PREPARSED_DATA data = nullptr;
        ASSERT_TRUE(HidD_GetPreparsedData(h, &data));
        HidD_FreePreparsedData(data);
        EXPECT_EQ(open(0, GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    EXPECT_TRUE(opens.opened().empty());

    ASSERT_EQ(::chmod(node.c_str(), 0666), 0);  // udev's rule applied
    {
        AsUser user(tree());
        EXPECT_TRUE(QueryDeviceAccess(node.c_str(), GENERIC_READ | GENERIC_WRITE));
        EXPECT_NE(open(0, GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
    }
    const std::vector<std::string> opened = opens.opened();
    EXPECT_FALSE(opened.empty());
    EXPECT_EQ(std::count(opened.begin(), opened.end(), "hidraw0"),
              static_cast<std::ptrdiff_t>(opened.size()));
    EXPECT_FALSE(QueryDeviceAccess((tree().devRoot() + "/hidraw9").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(HidrawTest, AReadWriteHandleHoldsTheDeviceForOneProgram) {
    tree().add(0, velto());
    const std::string node = tree().nodePath(0);
    ChangeCounter changes;
    Listening listening(changes);
    HANDLE held = open(0, GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(0, GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(QueryDeviceAccess(node.c_str(), GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    // Reading beside it, and queries, are not held off.
    EXPECT_TRUE(QueryDeviceAccess(node.c_str(), GENERIC_READ));
    EXPECT_NE(open(0, GENERIC_READ), INVALID_HANDLE_VALUE);

    // Letting go of the device is announced, and frees it.
    const int seen = changes.value();
    ASSERT_TRUE(CloseHandle(held));
    ASSERT_TRUE(changes.waitBeyond(seen));
    EXPECT_TRUE(QueryDeviceAccess(node.c_str(), GENERIC_READ | GENERIC_WRITE));
    EXPECT_NE(open(0, GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
}
