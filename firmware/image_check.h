// The build-time check of the two firmware images (see embed_images.cpp for the formats).
// Plain C++, so that the build step and its tests share one definition of a good image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace firmware {

inline constexpr uint64_t kMcuImageLimit = 0x11000;
inline constexpr std::size_t kDspWordCount = 6144;

struct ImageFault {
    std::size_t line;  // 1-based; 0: the file as a whole
    std::string reason;
};

// Checks Intel HEX text. On success `records` holds the lines to embed (without line ends) and
// `data` the image they make, from address 0 to the end of the last data record.
std::optional<ImageFault> CheckMcuImage(const std::string& text, std::vector<std::string>& records,
                                        std::vector<uint8_t>& data);

// Checks the signal processor's word list; on success `words` holds the 6144 words.
std::optional<ImageFault> CheckDspImage(const std::string& text, std::vector<uint32_t>& words);

// Text from a file (a token, a file name) as it may appear in a message or a comment: at most
// `limit` bytes of it, then "..."; every byte outside printable ASCII, and the backslash, as
// \xNN. The result is one line, and nothing in it continues a line or a comment.
std::string Printable(std::string_view text, std::size_t limit = std::string_view::npos);

}  // namespace firmware
