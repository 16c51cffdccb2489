#include "firmware/mcu_image.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/firmware/pattern.h"
#include "tests/support/hex_record.h"

namespace {

using testsupport::HexRecord;

// Holds each line in a heap block of exactly its length, so a read past a line's end is
// caught by the address sanitizer.
struct Lines {
    explicit Lines(const std::vector<std::string>& text) {
        for (const std::string& s : text) {
            blocks.emplace_back(new char[s.size() + 1]);
            std::memcpy(blocks.back().get(), s.c_str(), s.size() + 1);
            table.push_back(blocks.back().get());
        }
    }
    std::vector<std::unique_ptr<char[]>> blocks;
    std::vector<const char*> table;
};

constexpr std::size_t kGuard = 32;

// Prepares into a buffer of size + kGuard bytes filled with 0xAA; the guard must stay.
struct Prepared {
    McuImage image;
    std::vector<uint8_t> buffer;
};

Prepared Prepare(const std::vector<std::string>& text, std::size_t size = kMcuImageSize) {
    Lines lines(text);
    Prepared p{{}, std::vector<uint8_t>(size + kGuard, 0xAA)};
    p.image = PrepareMcuImage(lines.table.data(), lines.table.size(), p.buffer.data(), size);
    for (std::size_t i = size; i < p.buffer.size(); ++i)
        EXPECT_EQ(p.buffer[i], 0xAA) << i;
    return p;
}

std::vector<uint8_t> Slice(const Prepared& p, std::size_t at, std::size_t n) {
    return {p.buffer.begin() + static_cast<std::ptrdiff_t>(at),
            p.buffer.begin() + static_cast<std::ptrdiff_t>(at + n)};
}

}  // namespace

TEST(McuImage, StoresContiguousRecordsAndClearsTheRest) {
    const auto a = Pattern(16, 1), b = Pattern(5, 100);
    const auto p = Prepare({HexRecord(4, 0, {0, 0}), HexRecord(0, 0, a), HexRecord(0, 16, b),
                            HexRecord(5, 0, {0, 0, 1, 0}), HexRecord(1, 0, {}),
                            HexRecord(0, 21, Pattern(4, 9))});
    EXPECT_FALSE(p.image.ChecksumError);
    EXPECT_EQ(p.image.ImageLength, 21);  // the record after the end record is not read
    EXPECT_EQ(Slice(p, 0, 16), a);
    EXPECT_EQ(Slice(p, 16, 5), b);
    EXPECT_EQ(Slice(p, 21, kMcuImageSize - 21), std::vector<uint8_t>(kMcuImageSize - 21, 0));
}

TEST(McuImage, LowerCaseHexAndLengthOf56kPlus48) {
    std::vector<std::string> text;
    for (uint16_t at = 0; at < 56 * 3 + 48; at += 8)
        text.push_back(HexRecord(0, at, Pattern(8, 0xAB)));
    for (char& c : text[1])
        c = static_cast<char>(std::tolower(c));
    const auto p = Prepare(text);
    EXPECT_FALSE(p.image.ChecksumError);
    EXPECT_EQ(p.image.ImageLength, 56 * 3 + 48);
    EXPECT_EQ(Slice(p, 8, 8), Pattern(8, 0xAB));
}

TEST(McuImage, BadChecksumReportsAndKeepsEarlierBytes) {
    const auto p = Prepare({HexRecord(0, 0, Pattern(16, 1)), HexRecord(0, 16, Pattern(16, 50), 1),
                            HexRecord(0, 32, Pattern(16, 90))});
    EXPECT_TRUE(p.image.ChecksumError);
    EXPECT_EQ(Slice(p, 0, 16), Pattern(16, 1));
    EXPECT_EQ(p.buffer[32], 0);  // nothing after the bad record
}

TEST(McuImage, StopsAtLinesNotBeginningWithColon) {
    for (const std::string& stop :
         {std::string(""), std::string(" :00000001FF"), std::string("x")}) {
        const auto p =
            Prepare({HexRecord(0, 0, Pattern(4, 1)), stop, HexRecord(0, 4, Pattern(4, 2))});
        EXPECT_FALSE(p.image.ChecksumError);
        EXPECT_EQ(p.image.ImageLength, 4);
    }
    const char* withNull[] = {nullptr, "never read"};
    uint8_t buffer[8];
    EXPECT_EQ(PrepareMcuImage(withNull, 2, buffer, sizeof buffer).ImageLength, 0);
}

TEST(McuImage, RecordBeyondSizeStopsSilently) {
    const std::size_t size = 64;
    // Ends exactly at the size: accepted. Then one starting at the size: silent stop.
    auto p = Prepare({HexRecord(0, 0, Pattern(48, 1)), HexRecord(0, 48, Pattern(16, 2)),
                      HexRecord(0, 64, Pattern(1, 3))},
                     size);
    EXPECT_FALSE(p.image.ChecksumError);
    EXPECT_EQ(p.image.ImageLength, 64);
    // Starts inside, ends outside.
    p = Prepare({HexRecord(0, 0, Pattern(8, 1)), HexRecord(0, 60, Pattern(8, 2), 1)}, size);
    EXPECT_FALSE(p.image.ChecksumError);  // its checksum is never looked at
    EXPECT_EQ(p.image.ImageLength, 8);
    EXPECT_EQ(p.buffer[60], 0);
}

TEST(McuImage, ExtendedSegmentAndLinearAddressing) {
    auto p = Prepare({HexRecord(2, 0, {0x10, 0x00}), HexRecord(0, 0x0010, Pattern(4, 7))});
    EXPECT_EQ(p.image.ImageLength, 0x10014);
    EXPECT_EQ(Slice(p, 0x10010, 4), Pattern(4, 7));

    p = Prepare({HexRecord(4, 0, {0x00, 0x01}), HexRecord(0, 0x0FF0, Pattern(16, 3)),
                 HexRecord(4, 0, {0x00, 0x02}), HexRecord(0, 0, Pattern(16, 4))});
    EXPECT_FALSE(p.image.ChecksumError);
    EXPECT_EQ(p.image.ImageLength, 0x11000);  // 0x20000 lies beyond the image: silent stop
    EXPECT_EQ(Slice(p, 0x10FF0, 16), Pattern(16, 3));

    // The latest extended record wins; type 03 and 05 are skipped.
    p = Prepare({HexRecord(4, 0, {0x00, 0x01}), HexRecord(2, 0, {0x00, 0x02}),
                 HexRecord(3, 0, {1, 2, 3, 4}), HexRecord(0, 0, Pattern(2, 5))});
    EXPECT_EQ(Slice(p, 0x20, 2), Pattern(2, 5));
}

TEST(McuImage, DamagedRecordsCountAsChecksumErrorsWithoutOverreach) {
    const std::string good = HexRecord(0, 0, Pattern(16, 1));
    for (const std::string& bad : {
             good.substr(0, good.size() - 2),   // checksum cut off
             good.substr(0, 20),                // data cut short of its count
             std::string(":10"),                // header cut short
             std::string(":02000004"),          // extended record without its value
             HexRecord(4, 0, {0x00, 0x01}, 1),  // extended records are checked like data
             HexRecord(2, 0, {0x10}),           // an extended value of one byte
             HexRecord(4, 0, {0x00, 0x00, 0x01}),
             std::string(":1000000056454C544F20504C4143GG484F4C444575"),  // non-hex data
             std::string(":1O00000056454C544F20504C414345484F4C444575"),  // non-hex count
         }) {
        const auto p = Prepare({HexRecord(0, 0x100, Pattern(2, 9)), bad}, 0x200);
        EXPECT_TRUE(p.image.ChecksumError) << bad;
        EXPECT_EQ(p.image.ImageLength, 0x102) << bad;
        EXPECT_EQ(p.buffer[0], 0) << bad;  // a damaged record stores nothing
    }
}

TEST(McuImage, LengthIsTheExtentOfTheData) {
    // Rewriting the same bytes counts them once; a gap is sent as the zeros that fill it.
    std::vector<std::string> text(5, HexRecord(0, 0, Pattern(16, 1)));
    text.push_back(HexRecord(0, 24, Pattern(4, 2)));
    text.push_back(HexRecord(0, 8, Pattern(4, 3)));
    const auto p = Prepare(text, 40);
    EXPECT_FALSE(p.image.ChecksumError);
    EXPECT_EQ(p.image.ImageLength, 28);
}
