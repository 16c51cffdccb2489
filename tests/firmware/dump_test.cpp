#include "app/diag/dump.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(Dump, EmptyFullAndPartialLines) {
    EXPECT_EQ(FormatDump(nullptr, 0, 0), "");

    const uint8_t two[] = {0x41, 0x00};
    EXPECT_EQ(FormatDump(two, 2, 0), "00000000  41 00 " + std::string(14 * 3, ' ') + "; A.\r\n");

    std::vector<uint8_t> bytes(17);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(0x30 + i);
    const std::string first =
        "0000FFF0  30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F ; 0123456789:;<=>?\r\n";
    EXPECT_EQ(FormatDump(bytes.data(), 16, 0xFFF0), first);
    EXPECT_EQ(FormatDump(bytes.data(), 17, 0xFFF0),
              first + "00010000  40 " + std::string(15 * 3, ' ') + "; @\r\n");
}

TEST(Dump, PrintableRangeAndAddressWrap) {
    const uint8_t edges[] = {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF};
    const std::string text = FormatDump(edges, sizeof edges, 0xFFFFFFF0u);
    EXPECT_EQ(text.substr(0, 10), "FFFFFFF0  ");
    EXPECT_EQ(text.substr(text.size() - 11), "; .. ~...\r\n");

    std::vector<uint8_t> block(40, 0xAB);
    const std::string wrapped = FormatDump(block.data(), block.size(), 0xFFFFFFF0u);
    EXPECT_NE(wrapped.find("\r\n00000000  AB"), std::string::npos);
    EXPECT_NE(wrapped.find("\r\n00000010  AB"), std::string::npos);
    EXPECT_EQ(wrapped.size(), 2 * 78 + 10 + 8 * 3 + 8 * 3 + 2 + 8 + 2);
}
