// The build step that turns the image files into code must refuse damaged images, naming
// the file, the line and the reason, and must leave no output behind when it does.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/firmware/pattern.h"
#include "tests/support/hex_record.h"

namespace fs = std::filesystem;

namespace {

using testsupport::HexRecord;

class EmbedCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              ("velto-embed-" + std::to_string(::getpid()) + "-" + info->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Write(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return (dir / name).string();
    }
    static std::string Read(const fs::path& path) {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }
    // Runs a program; returns its exit code and leaves its stderr in `output`.
    int Run(const std::string& command) {
        const int status = std::system((command + " 2>" + (dir / "stderr").string()).c_str());
        output = Read(dir / "stderr");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int Embed(const std::string& hex, const std::string& dsp) {
        return Run(std::string(VELTO_EMBED_TOOL) + " --mcu " + Write("image.hex", hex) + " --dsp " +
                   Write("dsp.txt", dsp) + " --out " + (dir / "out.cpp").string());
    }

    fs::path dir;
    std::string output;
};

std::string HexText(const std::vector<std::string>& records) {
    std::string text;
    for (const std::string& r : records)
        text += r + "\r\n";
    return text;
}

std::string DspText(std::size_t words) {
    std::string text = "# test image\n";
    for (std::size_t i = 0; i < words; ++i)
        text += (i % 2 ? "0x" : "") + std::to_string(i) + (i % 3 ? ", " : "\n");
    return text;
}

const std::string kEnd = HexRecord(1, 0, {});

}  // namespace

TEST_F(EmbedCheck, AcceptsGoodImagesAcrossExtendedAddresses) {
    std::vector<std::string> records{HexRecord(4, 0, {0, 0})};
    for (uint32_t at = 0; at < 0x10800; at += 32) {
        if (at == 0x10000) records.push_back(HexRecord(4, 0, {0, 1}));
        records.push_back(HexRecord(0, static_cast<uint16_t>(at), Pattern(32, 3)));
    }
    records.push_back(kEnd);
    ASSERT_EQ(Embed(HexText(records) + "\n\n", DspText(6144)), 0) << output;
    const std::string code = Read(dir / "out.cpp");
    EXPECT_NE(code.find("\"" + records[1] + "\","), std::string::npos);
    EXPECT_NE(code.find("kMcuHexLineCount = " + std::to_string(records.size()) + ";"),
              std::string::npos);
    EXPECT_NE(code.find("0x00006143u,"), std::string::npos);
    // Images of the product, not the placeholders.
    EXPECT_NE(code.find("kMcuImageIsPlaceholder = false;"), std::string::npos);
    EXPECT_NE(code.find("kDspImageIsPlaceholder = false;"), std::string::npos);
}

TEST_F(EmbedCheck, RefusesDamagedMcuImages) {
    const std::string a = HexRecord(0, 0, Pattern(16, 1));
    const std::string b = HexRecord(0, 16, Pattern(16, 2));
    struct Case {
        std::vector<std::string> records;
        std::string expected;
    };
    const Case cases[] = {
        {{a, HexRecord(0, 16, Pattern(16, 2), 1), kEnd}, "image.hex:2: error: bad record checksum"},
        {{a, b.substr(0, b.size() - 1), kEnd}, "image.hex:2: error: malformed record"},
        {{a, b.substr(0, 11) + "x" + b.substr(12), kEnd},
         "image.hex:2: error: malformed record: non-hex"},
        {{a, ":05" + b.substr(3), kEnd}, "image.hex:2: error: malformed record: byte count"},
        {{a, "", b, kEnd}, "image.hex:2: error: empty line"},
        {{a, b.substr(1), kEnd}, "image.hex:2: error: record does not begin with ':'"},
        {{a, HexRecord(0, 17, Pattern(16, 2)), kEnd}, "image.hex:2: error: gap"},
        {{HexRecord(0, 1, Pattern(16, 2)), kEnd}, "image.hex:1: error: gap"},
        {{a, HexRecord(0, 8, Pattern(16, 2)), kEnd}, "image.hex:2: error: overlap"},
        {{a, HexRecord(2, 0, {0x10, 0x00}), kEnd}, ""},  // no data beyond: fine
        {{HexRecord(4, 0, {0, 1}), kEnd}, "no data records"},
        {{a, HexRecord(7, 0, {}), kEnd}, "image.hex:2: error: unknown record type"},
        {{a, kEnd, b}, "image.hex:3: error: record after the end-of-file record"},
        {{a, b}, "image.hex: error: no end-of-file record"},
    };
    for (const Case& c : cases) {
        const int code = Embed(HexText(c.records), DspText(6144));
        if (c.expected.empty()) {
            EXPECT_EQ(code, 0) << output;
            continue;
        }
        EXPECT_EQ(code, 1) << c.expected;
        EXPECT_NE(output.find(c.expected), std::string::npos) << output;
    }
}

TEST_F(EmbedCheck, RefusesDataBeyondTheImageSize) {
    std::vector<std::string> records;
    for (uint32_t at = 0; at < 0x11000; at += 128) {
        if (at % 0x10000 == 0)
            records.push_back(HexRecord(4, 0, {0, static_cast<uint8_t>(at >> 16)}));
        records.push_back(HexRecord(0, static_cast<uint16_t>(at), Pattern(128, 1)));
    }
    records.push_back(kEnd);
    ASSERT_EQ(Embed(HexText(records), DspText(6144)), 0) << output;  // exactly up to 0x11000
    records.insert(records.end() - 1, HexRecord(0, 0x1000, Pattern(1, 1)));
    EXPECT_EQ(Embed(HexText(records), DspText(6144)), 1);
    EXPECT_NE(
        output.find(":" + std::to_string(records.size() - 1) + ": error: data beyond 0x11000"),
        std::string::npos)
        << output;
}

TEST_F(EmbedCheck, RefusesDspImagesOfTheWrongSizeOrText) {
    const std::string hex = HexText({HexRecord(0, 0, Pattern(4, 1)), kEnd});
    EXPECT_EQ(Embed(hex, DspText(6143)), 1);
    EXPECT_NE(output.find("dsp.txt: error: holds 6143 words, 6144 needed"), std::string::npos)
        << output;
    EXPECT_EQ(Embed(hex, DspText(6145)), 1);
    EXPECT_NE(output.find("dsp.txt:"), std::string::npos) << output;
    EXPECT_NE(output.find("error: more than 6144 words"), std::string::npos) << output;
    for (const char* bad : {"0x123456789", "0x", "12G4", "-1"}) {
        EXPECT_EQ(Embed(hex, "# comment\n" + std::string(bad) + "\n" + DspText(6143)), 1) << bad;
        EXPECT_NE(output.find("dsp.txt:2: error: not a 32-bit hexadecimal word"), std::string::npos)
            << output;
    }
}

TEST_F(EmbedCheck, OddFileNamesStayInsideTheGeneratedComment) {
    // A line end would start a line of code; a backslash before it would continue the comment.
    const std::string mcu = "image\n#error injected.hex";
    const std::string dsp = "dsp\\\n#error injected.txt";
    Write(mcu, HexText({HexRecord(0, 0, Pattern(4, 1)), kEnd}));
    Write(dsp, DspText(6144));
    ASSERT_EQ(Run(std::string(VELTO_EMBED_TOOL) + " --mcu '" + (dir / mcu).string() + "' --dsp '" +
                  (dir / dsp).string() + "' --out " + (dir / "out.cpp").string()),
              0)
        << output;
    const std::string code = Read(dir / "out.cpp");
    const std::string firstLines = code.substr(0, code.find("const char"));
    EXPECT_EQ(std::count(firstLines.begin(), firstLines.end(), '\n'), 3) << firstLines;
    EXPECT_EQ(code.find("\n#error"), std::string::npos);
    EXPECT_NE(firstLines.find("image\\x0A#error injected.hex"), std::string::npos) << firstLines;
}

TEST_F(EmbedCheck, BadTokensAreQuotedShortAndPrintable) {
    const std::string hex = HexText({HexRecord(0, 0, Pattern(4, 1)), kEnd});
    EXPECT_EQ(Embed(hex, "0x12\x1b[2J" + std::string(1000, 'Z') + "\n"), 1);
    EXPECT_NE(
        output.find("dsp.txt:1: error: not a 32-bit hexadecimal word: '0x12\\x1B[2JZZZZZZZZ...'"),
        std::string::npos)
        << output;
    EXPECT_LT(output.size(), 200u);
}

TEST_F(EmbedCheck, FailureLeavesThePreviousOutputAlone) {
    Write("out.cpp", "previous");
    EXPECT_EQ(Embed(HexText({HexRecord(0, 0, Pattern(4, 1), 1), kEnd}), DspText(10)), 1);
    EXPECT_NE(output.find("image.hex:1:"), std::string::npos);  // both files are reported
    EXPECT_NE(output.find("dsp.txt: error"), std::string::npos);
    EXPECT_EQ(Read(dir / "out.cpp"), "previous");
    EXPECT_EQ(Run(std::string(VELTO_EMBED_TOOL) + " --mcu"), 2);
}

TEST_F(EmbedCheck, PlaceholdersAreReproducible) {
    ASSERT_EQ(Run(std::string(VELTO_MAKE_PLACEHOLDERS) + " " + dir.string()), 0) << output;
    for (const char* name : {"mcu_image.hex", "dsp_image.txt"}) {
        EXPECT_EQ(Read(dir / name), Read(fs::path(VELTO_SOURCE_DIR) / "firmware" / name)) << name;
    }
}
