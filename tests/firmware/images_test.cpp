// The images built into the program: their shape and that they prepare cleanly.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/diag/dump.h"
#include "firmware/dsp_image.h"
#include "firmware/images.h"
#include "firmware/mcu_image.h"

TEST(EmbeddedImages, McuImageShapeAndPreparation) {
    ASSERT_EQ(kMcuHexLineCount, 3629u);
    int dataBytes = 0;
    for (std::size_t i = 0; i < kMcuHexLineCount; ++i) {
        ASSERT_EQ(kMcuHexLines[i][0], ':') << i;
        if (std::string(kMcuHexLines[i]).substr(7, 2) == "00")
            dataBytes += std::stoi(std::string(kMcuHexLines[i]).substr(1, 2), nullptr, 16);
    }
    EXPECT_EQ(std::string(kMcuHexLines[kMcuHexLineCount - 1]), ":00000001FF");

    std::vector<uint8_t> buffer(71680);
    const McuImage image =
        PrepareMcuImage(kMcuHexLines, kMcuHexLineCount, buffer.data(), kMcuImageSize);
    EXPECT_FALSE(image.ChecksumError);
    EXPECT_EQ(image.ImageLength, dataBytes);
    const std::string first = FormatDump(buffer.data(), 16, 0);
    const bool placeholder = first.find("; VELTO PLACEHOLDE") != std::string::npos;
    EXPECT_EQ(kMcuImageIsPlaceholder, placeholder);
    if (placeholder) {
        // The placeholder's length leaves a short last 56-byte data packet.
        EXPECT_EQ(image.ImageLength, 58013);
        EXPECT_NE((image.ImageLength - 48) % 56, 0);
        EXPECT_GT(std::set<uint8_t>(buffer.begin(), buffer.begin() + image.ImageLength).size(),
                  200u);
    }
}

TEST(EmbeddedImages, DspImageShapeAndPreparation) {
    static_assert(kDspImageWordCount == 6144);
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
