// A desktop whose monospace font is not fixed pitch (fontconfig told to take a proportional
// face for "monospace", as some desktops' default monospace face is not reported as fixed):
// the HID log and the program dump must still be fixed pitch. Runs in a process of its own,
// since fontconfig reads its configuration once.
#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <QFontDatabase>
#include <QFontInfo>
#include <QListView>
#include <QPlainTextEdit>

#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/diag/fixed_font.h"
#include "app/diag/hid_data.h"
#include "app/diag/prog_data.h"

namespace {

TEST(FixedPitchFont, IsFixedWhereTheDesktopsMonospaceIsNot) {
    const std::filesystem::path conf = std::filesystem::temp_directory_path() /
                                       ("velto-fonts-" + std::to_string(::getpid()) + ".conf");
    // Before the system's own rules, so that none of its monospace aliases comes first.
    std::ofstream(conf) << R"(<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <match target="pattern">
    <test qual="any" name="family"><string>monospace</string></test>
    <edit name="family" mode="assign_replace" binding="strong"><string>DejaVu Sans</string></edit>
  </match>
  <include ignore_missing="yes">/etc/fonts/fonts.conf</include>
</fontconfig>
)";
    qputenv("FONTCONFIG_FILE", QByteArray::fromStdString(conf.string()));
    int argc = 1;
    char name[] = "fixed_font_test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);

    const QFont desktop = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    ASSERT_FALSE(QFontInfo(desktop).fixedPitch())
        << "this machine's fontconfig ignored the test's monospace rule: "
        << QFontInfo(desktop).family().toStdString();

    const QFont chosen = FixedPitchFont(13);
    EXPECT_TRUE(QFontInfo(chosen).fixedPitch()) << QFontInfo(chosen).family().toStdString();
    EXPECT_EQ(chosen.pixelSize(), 13);
    TfmProgData dump;
    EXPECT_TRUE(QFontInfo(dump.moShowCode->font()).fixedPitch());
    TfmHidData log;
    EXPECT_TRUE(QFontInfo(log.hbHidData->font()).fixedPitch());
    std::filesystem::remove(conf);
}

}  // namespace
