// The build-time image check against the run-time preparation (a differential target).
//
// Input: one byte choosing the image (bit 0 clear: MCU Intel HEX; set: DSP word list), then the
// image's text.
// Checks: whatever the check accepts prepares at run time to the same bytes and length and no
// checksum error; whatever it refuses comes with a reason that is short, printable and names a
// line of the text. The run-time preparation of any text, accepted or not, stays inside its
// buffer and never reports more bytes than it holds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/dsp_image.h"
#include "firmware/image_check.h"
#include "firmware/mcu_image.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr std::size_t kMaxReason = 160;
constexpr std::size_t kGuard = 64;

void CheckFault(const firmware::ImageFault& fault, const std::string& text) {
    FUZZ_CHECK(!fault.reason.empty() && fault.reason.size() <= kMaxReason);
    FUZZ_CHECK(std::all_of(fault.reason.begin(), fault.reason.end(),
                           [](char c) { return c >= 0x20 && c < 0x7F; }));
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    FUZZ_CHECK(fault.line <= lines);
}

// The text's lines as the program holds an image: NUL-terminated strings, each in a block of
// its own size.
struct Lines {
    explicit Lines(const std::vector<std::string>& text) {
        for (const std::string& s : text) {
            blocks.emplace_back(s.begin(), s.end());
            blocks.back().push_back('\0');
        }
        for (const auto& b : blocks)
            table.push_back(b.data());
    }
    std::vector<std::vector<char>> blocks;
    std::vector<const char*> table;
};

McuImage Prepare(const std::vector<std::string>& lines, std::vector<uint8_t>& buffer) {
    buffer.assign(kMcuImageSize + kGuard, 0xA5);
    const Lines l(lines);
    const McuImage image =
        PrepareMcuImage(l.table.data(), l.table.size(), buffer.data(), kMcuImageSize);
    FUZZ_CHECK(std::all_of(buffer.begin() + kMcuImageSize, buffer.end(),
                           [](uint8_t b) { return b == 0xA5; }));
    FUZZ_CHECK(image.ImageLength >= 0 &&
               static_cast<std::size_t>(image.ImageLength) <= kMcuImageSize);
    return image;
}

void CheckMcu(const std::string& text) {
    std::vector<std::string> records;
    std::vector<uint8_t> data;
    std::vector<uint8_t> buffer;
    if (const auto fault = firmware::CheckMcuImage(text, records, data)) {
        CheckFault(*fault, text);
        // Not accepted, but the run-time preparation must still hold its bounds.
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start <= text.size()) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        Prepare(lines, buffer);
        return;
    }
    FUZZ_CHECK(!data.empty() && data.size() <= firmware::kMcuImageLimit);
    const McuImage image = Prepare(records, buffer);
    FUZZ_CHECK(!image.ChecksumError);
    FUZZ_CHECK(static_cast<std::size_t>(image.ImageLength) == data.size());
    FUZZ_CHECK(std::equal(data.begin(), data.end(), buffer.begin()));
    FUZZ_CHECK(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(data.size()),
                           buffer.begin() + kMcuImageSize, [](uint8_t b) { return b == 0; }));
}

void CheckDsp(const std::string& text) {
    std::vector<uint32_t> words;
    if (const auto fault = firmware::CheckDspImage(text, words)) {
        CheckFault(*fault, text);
        return;
    }
    FUZZ_CHECK(words.size() == firmware::kDspWordCount);
    std::vector<uint8_t> buffer(kDspBufferSize);
    FUZZ_CHECK(PrepareDspBuffer(words.data(), words.size(), buffer.data(), buffer.size()) ==
               kDspImageLength);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const uint8_t* b = buffer.data() + 4 + 4 * i;
        FUZZ_CHECK((uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3]) ==
                   words[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) == 0) {
        CheckMcu(text);
    } else {
        CheckDsp(text);
    }
    return 0;
}
