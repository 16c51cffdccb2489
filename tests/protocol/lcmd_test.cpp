#include "protocol/lcmd.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <numeric>

namespace {

uint8_t Xor(const BSTM& b, std::size_t n) {
    uint8_t x = 0;
    for (std::size_t i = 0; i < n; ++i)
        x ^= b[i];
    return x;
}

TEST(LCmdFrame, EmptyPayloadIsNineBytesWithXorCheck) {
    const BSTM f = CM_MCS_CMD(1, 0x10).GetBytes(1);
    const BSTM head = {0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x03};
    ASSERT_EQ(f.size(), 9u);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), f.begin()));
    EXPECT_EQ(f[8], Xor(f, 8));
    EXPECT_TRUE(IsFramed(f));
}

TEST(LCmdFrame, PayloadGoesUnstuffedAndLenCountsCommandByte) {
    const BSTM f = CM_MCS_CMD(1, 0x1A, 0x10, 0x03, 0x10, 0x02).GetBytes(1);
    ASSERT_EQ(f.size(), 13u);
    EXPECT_EQ(f[4], 5);
    EXPECT_EQ(f[5], 0x1A);
    EXPECT_EQ(BSTM(f.begin() + 6, f.begin() + 10), (BSTM{0x10, 0x03, 0x10, 0x02}));
    EXPECT_EQ(f[12], Xor(f, 12));

    // What goes out comes back unchanged when the device echoes it.
    const LCmd back(f);
    EXPECT_EQ(back.Addr, 0);  // byte 2: the sender
    EXPECT_EQ(back.GetCmd(), 0x1A);
    EXPECT_EQ(back.GetData(), (BSTM{0x10, 0x03, 0x10, 0x02}));
}

TEST(LCmdFrame, ModesZeroAndOthers) {
    const CM_MCS_CMD c(1, 0xA8, 7);
    EXPECT_EQ(c.GetBytes(0), BSTM{7});
    EXPECT_TRUE(c.GetBytes(2).empty());
    EXPECT_TRUE(c.GetBytes(-1).empty());
    EXPECT_TRUE(LCmd().GetBytes(0).empty());
}

TEST(LCmdFrame, PayloadTheLengthByteCannotCountBuildsNoFrame) {
    LCmd c(1, 0x20);
    c.Data.assign(254, 0xEE);
    const BSTM f = c.GetBytes(1);
    ASSERT_EQ(f.size(), 263u);
    EXPECT_EQ(f[4], 255);
    c.Data.push_back(0xEE);  // 255 bytes: LEN would wrap to 0
    EXPECT_TRUE(c.GetBytes(1).empty());
    EXPECT_EQ(c.GetBytes(0).size(), 255u);
}

TEST(LCmdParse, FramedAnswer) {
    const BSTM a = {0x10, 0x02, 0x01, 0x00, 0x03, 0xA8, 0x55, 0x66, 0x10, 0x03, 0x00};
    const LCmd c(a);
    EXPECT_EQ(c.Addr, 1);
    EXPECT_EQ(c.GetCmd(), 0xA8);
    EXPECT_EQ(c.GetData(), (BSTM{0x55, 0x66}));
    EXPECT_EQ(c.GetValue(), 0u);

    const LCmd lenOne(BSTM{0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0x00});
    EXPECT_TRUE(lenOne.GetData().empty());
    EXPECT_EQ(lenOne.GetCmd(), 0x12);
}

TEST(LCmdParse, FramedLenPastTheEndKeepsOnlyPayloadPresent) {
    // LEN says 40 bytes, the frame carries 2 payload bytes before DLE ETX.
    const LCmd c(BSTM{0x10, 0x02, 0x01, 0x00, 40, 0x53, 0xAA, 0xBB, 0x10, 0x03, 0x77});
    EXPECT_EQ(c.GetData(), (BSTM{0xAA, 0xBB}));
    // LEN 0 claims less than the command byte.
    const LCmd zero(BSTM{0x10, 0x02, 0x01, 0x00, 0, 0x53, 0xAA, 0x10, 0x03, 0x77});
    EXPECT_TRUE(zero.GetData().empty());
    // Shortest thing with the marks: no command byte at all.
    const LCmd tiny(BSTM{0x10, 0x02, 0x10, 0x03, 0x00});
    EXPECT_EQ(tiny.GetCmd(), 0);
    EXPECT_TRUE(tiny.GetData().empty());
}

TEST(LCmdParse, UnframedAnswerTakesValueAndSixtyBytes) {
    BSTM a(70);
    std::iota(a.begin(), a.end(), 1);
    const LCmd c(a);
    EXPECT_EQ(c.GetValue(), 0x04030201u);
    ASSERT_EQ(c.GetData().size(), 60u);
    EXPECT_EQ(c.GetData().front(), 5);
    EXPECT_EQ(c.GetData().back(), 64);
    EXPECT_EQ(c.Addr, 0);
    EXPECT_EQ(c.GetCmd(), 0);
}

TEST(LCmdParse, ShortUnframedAnswerTakesWhatIsThere) {
    EXPECT_EQ(LCmd(BSTM{0x34, 0x12}).GetValue(), 0x1234u);
    EXPECT_TRUE(LCmd(BSTM{0x34, 0x12}).GetData().empty());
    EXPECT_EQ(LCmd(BSTM{}).GetValue(), 0u);
    const LCmd six(BSTM{1, 0, 0, 0, 9, 8});
    EXPECT_EQ(six.GetValue(), 1u);
    EXPECT_EQ(six.GetData(), (BSTM{9, 8}));
}

TEST(LCmdParse, EveryShortPrefixOfAFrameParsesWithinBounds) {
    // Run under ASan: every length of a frame-looking buffer, with marks planted so that
    // short buffers still look framed.
    BSTM base = CM_MCS_CMD(1, 0x10, 1, 2, 3, 4).GetBytes(1);
    for (std::size_t n = 0; n <= base.size(); ++n) {
        BSTM b(base.begin(), base.begin() + static_cast<long>(n));
        if (n >= 4) {
            b[n - 3] = 0x10;
            b[n - 2] = 0x03;
        }
        const LCmd c(b);
        EXPECT_LE(c.GetData().size(), n);
    }
}

TEST(DspByteProg, BlockNumberThenMaskedBytes) {
    std::array<uint8_t, 32 * 0x103> image{};
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7);
    const int block = 0x0102;
    const CM_MCS_DSP_BYTE_PROG plain(block, image.data(), 0);
    ASSERT_EQ(plain.GetData().size(), 34u);
    EXPECT_EQ(plain.Addr, 1);
    EXPECT_EQ(plain.GetCmd(), 0x53);
    EXPECT_EQ(plain.GetData()[0], 0x01);
    EXPECT_EQ(plain.GetData()[1], 0x02);
    for (std::size_t i = 0; i < 32; ++i)
        EXPECT_EQ(plain.GetData()[2 + i], image[block * 32 + i]);

    const uint32_t mask = 0xA1B2C3D4;
    const CM_MCS_DSP_BYTE_PROG masked(block, image.data(), mask);
    const uint8_t maskBytes[4] = {0xD4, 0xC3, 0xB2, 0xA1};
    for (std::size_t i = 0; i < 32; ++i)
        EXPECT_EQ(masked.GetData()[2 + i], image[block * 32 + i] ^ maskBytes[i % 4]) << i;
    EXPECT_EQ(masked.GetBytes(1).size(), 43u);
}

TEST(OtherCommands, ProgramDataResetAndBasePointer) {
    std::array<uint8_t, 70> packet{};
    packet[0] = 0x10;
    packet[69] = 0x42;
    const CM_MCS_PROGRAM_DATA data(packet.data(), 70);
    EXPECT_EQ(data.GetBytes(0), BSTM(packet.begin(), packet.end()));
    EXPECT_EQ(data.Addr, 0);
    EXPECT_TRUE(CM_MCS_PROGRAM_DATA(packet.data(), -3).GetData().empty());
    EXPECT_TRUE(CM_MCS_PROGRAM_DATA(nullptr, 5).GetData().empty());

    const CM_MCS_IAP_RESET reset(8);
    const BSTM r = reset.GetBytes(1);
    EXPECT_EQ(r[3], 1);
    EXPECT_EQ(r[5], 8);

    std::unique_ptr<LCmd> base = std::make_unique<CM_MCS_CMD>(1, 4, 1, 2, 3, 4);
    EXPECT_EQ(base->GetBytes(0), (BSTM{1, 2, 3, 4}));
}

}  // namespace
