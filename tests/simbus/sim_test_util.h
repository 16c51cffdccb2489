// Shared pieces of the sim bus tests: a run-mode device and a clean bus per test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid_platform.h"
#include "platform/sim/sim_bus.h"

namespace simtest {

// A vendor collection with unnumbered 64-byte input and output reports.
inline std::vector<uint8_t> vendorDescriptor() {
    return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00,
            0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x09, 0x03, 0x95, 0x40, 0x91, 0x02, 0xC0};
}

inline simbus::DeviceInfo runDevice() {
    simbus::DeviceInfo info;
    info.vendorId = 0x0168;
    info.productId = 0x0821;
    info.version = 0x0103;
    info.manufacturer = u"Velto";
    info.product = u"Velto DSP";
    info.serial = u"SN0001";
    info.reportDescriptor = vendorDescriptor();
    return info;
}

// Every output report written to a device.
struct Recorder {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> reports;

    simbus::OutputHandler handler() {
        return [this](const uint8_t* report, std::size_t length) {
            std::lock_guard lock(mutex);
            reports.emplace_back(report, report + length);
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return reports.size();
    }
};

class SimBusTest : public ::testing::Test {
  protected:
    void SetUp() override { simbus::Bus::instance().reset(); }
    void TearDown() override {
        for (HANDLE h : open_)
            CloseHandle(h);
        simbus::Bus::instance().reset();
    }

    simbus::Bus& bus() { return simbus::Bus::instance(); }

    // Opens the device's path; closed at the end of the test.
    HANDLE open(simbus::DeviceId id, DWORD access, DWORD flags = 0) {
        const std::string path = bus().devicePath(id);
        HANDLE h = CreateFile(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, flags, nullptr);
        if (h != INVALID_HANDLE_VALUE) open_.push_back(h);
        return h;
    }
    HANDLE openOverlappedReader(simbus::DeviceId id) {
        return open(id, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    }

    void send(simbus::DeviceId id, std::vector<uint8_t> report) {
        ASSERT_TRUE(bus().sendInput(id, report.data(), report.size()));
    }

  private:
    std::vector<HANDLE> open_;
};

}  // namespace simtest
