// Shared pieces of the sim bus tests: a run-mode device and a clean bus per test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid_platform.h"
#include "platform/sim/sim_bus.h"
#include "tests/support/product_descriptor.h"

namespace simtest {

inline simbus::DeviceInfo runDevice() {
    simbus::DeviceInfo info;
    info.vendorId = 0x0168;
    info.productId = 0x0821;
    info.version = 0x0103;
    info.manufacturer = u"Velto";
    info.product = u"Velto DSP";
    info.serial = u"SN0001";
    info.reportDescriptor = testsupport::ProductDescriptor();
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
