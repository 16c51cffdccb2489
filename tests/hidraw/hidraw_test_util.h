// Fixture for the hidraw tests: a fresh fake tree that the backend is pointed at.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/hid_platform.h"
#include "platform/hidraw/hidraw_backend.h"
#include "tests/hidraw/fake_tree.h"

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

}  // namespace hidrawtest
