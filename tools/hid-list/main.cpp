// velto-hid-list: lists the HID interfaces the updater can see, a first check when the
// updater shows "No Device".
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

#include "hid/hid.h"
#include "hid/jvhidcontrollerclass.h"
#include "tools/hid-list/hid_list.h"

int main(int argc, char* argv[]) {
    QCoreApplication App(argc, argv);
    TJvHidDeviceController Controller;
    bool Printed = false;
    auto Print = [&] {
        if (Printed) return;
        Printed = true;
        std::fputs(hidlist::Describe(Controller).c_str(), stdout);
        QCoreApplication::quit();
    };
    // The first list is built from the event loop.
    QObject::connect(&Controller, &TJvHidDeviceController::DeviceChangeMessage, &App, Print);
    QTimer::singleShot(5000, &App, Print);
    QTimer::singleShot(0, &App, [&] {
        if (!IsHidLoaded()) Print();
    });
    App.exec();
    return 0;
}
