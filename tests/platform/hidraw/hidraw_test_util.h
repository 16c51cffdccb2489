// Fixture for the hidraw tests: a fresh fake tree that the backend is pointed at; running as
// an unprivileged user; watching node opens.
#pragma once

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid_platform.h"
#include "platform/hidraw/hidraw_backend.h"
#include "tests/platform/hidraw/fake_tree.h"
#include "tests/support/product_descriptor.h"

namespace hidrawtest {

struct Found {
    std::string path;
    DWORD devInst = 0;
};

class HidrawTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tree_ = std::make_unique<FakeTree>();
        HidrawSetRoots(tree_->sysRoot().c_str(), tree_->devRoot().c_str());
    }
    void TearDown() override {
        for (HANDLE h : open_)
            CloseHandle(h);
        tree_.reset();
    }

    FakeTree& tree() { return *tree_; }

    HANDLE open(int index, DWORD access, DWORD flags = 0) {
        HANDLE h =
            CreateFile(tree_->nodePath(index).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, flags, nullptr);
        if (h != INVALID_HANDLE_VALUE) open_.push_back(h);
        return h;
    }

    static GUID hidGuid() {
        GUID guid;
        HidD_GetHidGuid(&guid);
        return guid;
    }

    static std::vector<Found> enumerate() {
        const GUID guid = hidGuid();
        HDEVINFO set = SetupDiGetClassDevs(&guid, nullptr, nullptr, 0x12);
        std::vector<Found> found;
        SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
            DWORD needed = 0;
            SetupDiGetDeviceInterfaceDetail(set, &data, nullptr, 0, &needed, nullptr);
            std::vector<uint8_t> storage(needed);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
            SP_DEVINFO_DATA info{sizeof info, {}, 0, 0};
            if (SetupDiGetDeviceInterfaceDetail(set, &data, detail, needed, nullptr, &info))
                found.push_back({detail->DevicePath, info.DevInst});
        }
        SetupDiDestroyDeviceInfoList(set);
        return found;
    }

  private:
    std::unique_ptr<FakeTree> tree_;
    std::vector<HANDLE> open_;
};

// Runs the program's side of a test as an unprivileged user when the tests run as root, who
// passes every permission check. The tree is changed outside it, or through AsOwner.
class AsUser {
  public:
    explicit AsUser(const FakeTree& tree) {
        if (::geteuid() != 0) return;
        ::chmod(tree.root().c_str(), 0755);
        active_ = ::seteuid(kNobody) == 0;
    }
    ~AsUser() {
        if (active_) {
            EXPECT_EQ(::seteuid(0), 0);
        }
    }
    AsUser(const AsUser&) = delete;
    AsUser& operator=(const AsUser&) = delete;

    // Changes the tree as its owner meanwhile.
    void AsOwner(const std::function<void()>& change) {
        if (active_) {
            EXPECT_EQ(::seteuid(0), 0);
        }
        change();
        if (active_) {
            EXPECT_EQ(::seteuid(kNobody), 0);
        }
    }

  private:
    static constexpr uid_t kNobody = 65534;
    bool active_ = false;
};

// Opens of the nodes in a folder, seen through inotify.
class OpenWatch {
  public:
    explicit OpenWatch(const std::string& dir) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ >= 0) inotify_add_watch(fd_, dir.c_str(), IN_OPEN);
    }
    ~OpenWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    // Names of the nodes opened since the last call, once per open.
    std::vector<std::string> opened() {
        std::vector<std::string> names;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t pos = 0; pos < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + pos);
                if (event->len > 0) names.emplace_back(event->name);
                pos += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return names;
    }

  private:
    int fd_;
};

}  // namespace hidrawtest
