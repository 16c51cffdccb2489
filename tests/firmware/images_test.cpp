// The images built into the program, whichever the build was pointed at: that they are the
// configured files, well formed, and that they prepare cleanly. The placeholders' own shape is
// checked only when they are the ones built in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/diag/dump.h"
#include "firmware/dsp_image.h"
#include "firmware/images.h"
#include "firmware/mcu_image.h"

namespace {

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The file's lines as the build step takes them: line ends dropped, trailing blank lines too.
std::vector<std::string> HexFileLines(const char* path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

// The words of a DSP image file: hex numbers separated by blanks, commas or line ends, '#' to
// the end of the line a comment.
std::vector<uint32_t> DspFileWords(const char* path) {
    std::vector<uint32_t> words;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        for (char& c : line)
            if (c == ',') c = ' ';
        std::istringstream tokens(line);
        for (std::string token; tokens >> token;)
            words.push_back(static_cast<uint32_t>(std::stoul(token, nullptr, 16)));
    }
    return words;
}

struct Record {
    unsigned type = 0;
    unsigned address = 0;
    std::vector<uint8_t> data;
};

// One Intel HEX record, checked in full: count, length and checksum agree.
testing::AssertionResult ParseRecord(const std::string& line, Record& record) {
    if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0)
        return testing::AssertionFailure() << "not a record: " << line;
    std::vector<uint8_t> bytes;
    for (std::size_t p = 1; p < line.size(); p += 2) {
        const std::string digits = line.substr(p, 2);
        if (digits.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
            return testing::AssertionFailure() << "not hexadecimal: " << line;
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
    }
    if (bytes.size() != bytes[0] + 5u)
        return testing::AssertionFailure() << "count and length differ: " << line;
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = static_cast<uint8_t>(sum + b);
    if (sum != 0) return testing::AssertionFailure() << "bad checksum: " << line;
    record.address = static_cast<unsigned>(bytes[1] << 8 | bytes[2]);
    record.type = bytes[3];
    record.data.assign(bytes.begin() + 4, bytes.end() - 1);
    return testing::AssertionSuccess();
}

}  // namespace

TEST(EmbeddedImages, McuImageIsTheConfiguredFileAndPreparesCleanly) {
    const std::vector<std::string> file = HexFileLines(VELTO_MCU_IMAGE);
    ASSERT_EQ(kMcuHexLineCount, file.size()) << VELTO_MCU_IMAGE;
    // Data records in address order from 0 (the build step refuses gaps): the image they make.
    std::vector<uint8_t> expected;
    for (std::size_t i = 0; i < kMcuHexLineCount; ++i) {
        ASSERT_EQ(std::string(kMcuHexLines[i]), file[i]) << "line " << i + 1;
        Record record;
        ASSERT_TRUE(ParseRecord(kMcuHexLines[i], record)) << "line " << i + 1;
        if (record.type == 0) {
            ASSERT_EQ(record.address, expected.size() & 0xFFFF) << "line " << i + 1;
            expected.insert(expected.end(), record.data.begin(), record.data.end());
        }
    }
    EXPECT_EQ(std::string(kMcuHexLines[kMcuHexLineCount - 1]), ":00000001FF");
    ASSERT_FALSE(expected.empty());
    ASSERT_LE(expected.size(), kMcuImageSize);

    std::vector<uint8_t> buffer(71680);
    const McuImage image =
        PrepareMcuImage(kMcuHexLines, kMcuHexLineCount, buffer.data(), kMcuImageSize);
    EXPECT_FALSE(image.ChecksumError);
    ASSERT_EQ(image.ImageLength, static_cast<int>(expected.size()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
    // Nothing beyond the image.
    EXPECT_EQ(std::count(buffer.begin() + image.ImageLength, buffer.end(), 0),
              static_cast<std::ptrdiff_t>(buffer.size()) - image.ImageLength);

    const std::string first = FormatDump(buffer.data(), 16, 0);
    const bool placeholder = first.find("; VELTO PLACEHOLDE") != std::string::npos;
    EXPECT_EQ(kMcuImageIsPlaceholder, placeholder);
    if (placeholder) {
        EXPECT_EQ(kMcuHexLineCount, 3629u);
        // The placeholder's length leaves a short last 56-byte data packet.
        EXPECT_EQ(image.ImageLength, 58013);
        EXPECT_NE((image.ImageLength - 48) % 56, 0);
        EXPECT_GT(std::set<uint8_t>(buffer.begin(), buffer.begin() + image.ImageLength).size(),
                  200u);
    }
}

TEST(EmbeddedImages, DspImageIsTheConfiguredFileAndPreparesCleanly) {
    static_assert(kDspImageWordCount == 6144);
    const std::vector<uint32_t> file = DspFileWords(VELTO_DSP_IMAGE);
    ASSERT_EQ(file.size(), kDspImageWordCount) << VELTO_DSP_IMAGE;
    EXPECT_TRUE(std::equal(file.begin(), file.end(), kDspImageWords));

    std::vector<uint8_t> buffer(71680);
    ASSERT_EQ(PrepareDspBuffer(kDspImageWords, kDspImageWordCount, buffer.data(), buffer.size()),
              kDspImageLength);
    const bool placeholder = std::memcmp(&buffer[4], "VELTO PLACEHOLDER", 17) == 0;
    EXPECT_EQ(kDspImageIsPlaceholder, placeholder);
    if (placeholder) {
        EXPECT_EQ(std::memcmp(&buffer[4], "VELTO PLACEHOLDER DSP IMAGE", 27), 0);
        EXPECT_GT(std::set<uint32_t>(kDspImageWords, kDspImageWords + kDspImageWordCount).size(),
                  6000u);
    }
}
