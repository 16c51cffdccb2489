// An executable whose backend module is missing: the program runs and simply finds nothing.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "hid/hid.h"
#include "hid/jvhidcontrollerclass.h"
#include "hid/moduleloader.h"
#include "hid/setupapi.h"

namespace {

TEST(NoBackend, ControllerStartsAndFindsNothing) {
    int Argc = 1;
    char Name[] = "velto_hid_nobackend_tests";
    char* Argv[] = {Name, nullptr};
    QCoreApplication App(Argc, Argv);
    TJvHidDeviceController Ctl;
    EXPECT_FALSE(IsHidLoaded());
    EXPECT_FALSE(IsSetupApiLoaded());
    // The loader's own words, for the message that replaces "No Device".
    EXPECT_NE(ModuleLoadError().find("libvelto-hid-not-installed.so"), std::string::npos)
        << ModuleLoadError();
    int Changes = 0;
    Ctl.SetOnDeviceChange([&](TJvHidDeviceController*) { ++Changes; });
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(Changes, 0) << "no window, no posted pass";
    EXPECT_EQ(Ctl.Enumerate(), 0);
    TJvHidDevice* Dev = nullptr;
    EXPECT_FALSE(Ctl.CheckOut(Dev));
    EXPECT_FALSE(Ctl.CheckOutByID(Dev, 0x0168, -1));
    EXPECT_EQ(Ctl.CountByID(0x0168, -1), 0);
    EXPECT_EQ(Ctl.HidVersion(), "");
    EXPECT_EQ(Ctl.CheckedInCount(), 0);
}

}  // namespace
