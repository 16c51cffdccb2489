// Tells the placeholder images (tools/make_placeholders.cpp) from the product's: the
// placeholders' data begins with kPlaceholderMark, the product's never does. The build step
// records the answer in the generated source, since the program writes placeholders to the
// simulated device only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace firmware {

inline constexpr std::string_view kPlaceholderMark = "VELTO PLACEHOLDER";

// records: checked Intel HEX records (':', count, address, type, data, checksum), data
// contiguous from address 0.
inline bool McuImageIsPlaceholder(const std::vector<std::string>& records) {
    std::string bytes;
    for (const std::string& r : records) {
        if (bytes.size() >= kPlaceholderMark.size()) break;
        if (r.size() < 11 || r.compare(7, 2, "00") != 0) continue;  // data records only
        for (std::size_t p = 9; p + 2 < r.size(); p += 2)
            bytes += static_cast<char>(std::stoi(r.substr(p, 2), nullptr, 16));
    }
    return bytes.compare(0, kPlaceholderMark.size(), kPlaceholderMark) == 0;
}

// The words go to the device most significant byte first.
inline bool DspImageIsPlaceholder(const std::vector<uint32_t>& words) {
    std::string bytes;
    for (std::size_t i = 0; i < words.size() && bytes.size() < kPlaceholderMark.size(); ++i)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes += static_cast<char>(words[i] >> shift & 0xFF);
    return bytes.compare(0, kPlaceholderMark.size(), kPlaceholderMark) == 0;
}

}  // namespace firmware
