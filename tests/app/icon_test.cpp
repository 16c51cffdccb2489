// The window icon comes from the program itself and is drawn: the SVG resource is linked in
// and Qt's SVG plugin, which the package recommends, renders it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QWidget>

#include "app/application.h"

TEST(UpdaterApplication, GivesEveryWindowTheDrawnDesktopIcon) {
    int argc = 1;
    char name[] = "velto-update";
    char* argv[] = {name, nullptr};
    UpdaterApplication app(argc, argv);

    EXPECT_EQ(QGuiApplication::desktopFileName(), QStringLiteral(VELTO_APP_ID));
    QWidget window;
    const QImage image = window.windowIcon().pixmap(48).toImage();
    ASSERT_FALSE(image.isNull()) << "the icon could not be drawn (resource or SVG plugin missing)";
    // Drawn, not blank: the centre lies on the device's body.
    EXPECT_GT(qAlpha(image.pixel(24, 24)), 0);
}
