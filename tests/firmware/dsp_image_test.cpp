#include "firmware/dsp_image.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

TEST(DspBuffer, LayoutOfTheFullImage) {
    std::vector<uint32_t> words(6144);
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = static_cast<uint32_t>(i * 0x9E3779B9u);
    words.back() = 0xFF80017Fu;  // check value 0xFF + 0x80 + 0x01 + 0x7F = 0x01FF
    std::vector<uint8_t> buffer(71680, 0xAA);

    ASSERT_EQ(PrepareDspBuffer(words.data(), words.size(), buffer.data(), buffer.size()),
              kDspImageLength);
    EXPECT_EQ(buffer[0], 0x60);
    EXPECT_EQ(buffer[1], 0x04);
    EXPECT_EQ(buffer[2], 0x01);  // sum over the last word only, most significant byte first
    EXPECT_EQ(buffer[3], 0xFF);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const uint8_t* w = &buffer[4 + 4 * i];
        ASSERT_EQ(uint32_t{w[0]} << 24 | uint32_t{w[1]} << 16 | uint32_t{w[2]} << 8 | w[3],
                  words[i])
            << i;
    }
    for (std::size_t i = kDspImageLength; i < kDspBufferSize; ++i)
        ASSERT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(buffer[kDspBufferSize], 0xAA);  // only the DSP region is cleared
}

TEST(DspBuffer, SmallImagesAndRefusals) {
    std::vector<uint8_t> buffer(kDspBufferSize, 0xAA);
    const uint32_t words[] = {0xFFFFFFFFu, 0x01020304u};
    EXPECT_EQ(PrepareDspBuffer(words, 2, buffer.data(), buffer.size()), 12);
    EXPECT_EQ(buffer[3], 10);  // 1 + 2 + 3 + 4: the first word does not count
    EXPECT_EQ(PrepareDspBuffer(words, 0, buffer.data(), buffer.size()), 4);
    EXPECT_EQ(buffer[2] | buffer[3] | buffer[4], 0);

    // Too small a buffer, or too many words for the 16-bit length: nothing is written.
    std::vector<uint8_t> small(kDspBufferSize - 1, 0xAA);
    EXPECT_EQ(PrepareDspBuffer(words, 2, small.data(), small.size()), 0);
    EXPECT_EQ(small[0], 0xAA);
    std::vector<uint32_t> many(16383);
    EXPECT_EQ(PrepareDspBuffer(many.data(), many.size(), buffer.data(), buffer.size()), 0);
}

TEST(DspMask, BuiltFromTheKeyRow) {
    // Exactly sized, so a read beyond the table is caught by the address sanitizer.
    auto table = std::make_unique<uint8_t[]>(kParamTableSize);
    for (std::size_t i = 0; i < kParamTableSize; ++i)
        table[i] = static_cast<uint8_t>(i * 31);
    const uint8_t plain[8] = {0x01, 0x02, 0x04, 0x08, 0xF0, 0xE0, 0xC0, 0x80};
    for (unsigned row : {0u, 3u, 31u}) {
        table[0] = static_cast<uint8_t>(row);
        table[2] = 0x5A;
        for (int j = 0; j < 8; ++j)
            table[5 + 16 * row + j] = plain[j] ^ 0x5A;
        uint32_t mask = 0;
        ASSERT_TRUE(BuildDspMask(table.get(), mask)) << row;
        EXPECT_EQ(mask, 0x88C4E2F1u) << row;
    }
    // The key byte cancels out: another key over the same stored row gives the same mask.
    table[2] = 0x00;
    uint32_t mask = 0;
    ASSERT_TRUE(BuildDspMask(table.get(), mask));
    EXPECT_EQ(mask, 0x88C4E2F1u);
    table[0] = 32;
    mask = 0x12345678u;
    EXPECT_FALSE(BuildDspMask(table.get(), mask));
    EXPECT_EQ(mask, 0x12345678u);
}
