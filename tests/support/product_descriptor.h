// The product's report descriptor for the tests, taken from the simulated device that presents
// it.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/report_descriptor.h"

namespace testsupport {

// reportId != 0 numbers the reports: a Report ID item opens the collection's items.
inline std::vector<uint8_t> ProductDescriptor(uint8_t reportId = 0) {
    std::vector<uint8_t> d(simdev::kReportDescriptor.begin(), simdev::kReportDescriptor.end());
    if (reportId != 0) d.insert(d.begin() + 7, {0x85, reportId});  // after Collection
    return d;
}

}  // namespace testsupport
