// velto-hid-list: lists the HID interfaces the updater can see, a first check when the
// updater shows "No Device". Exit status: 0 a Velto device is listed, 1 none is present,
// 2 a bad option, 5 the HID backend module cannot be loaded.
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

#include "app/command_line.h"
#include "hid/backend.h"
#include "hid/hid.h"
#include "hid/jvhidcontrollerclass.h"
#include "hid/moduleloader.h"
#include "tools/hid-list/hid_list.h"

int main(int argc, char* argv[]) {
    const CommandLineOutcome Parsed = ParseListerCommandLine(ArgumentsOf(argc, argv));
    if (Parsed.Done()) return Parsed.Print();

    QCoreApplication App(argc, argv);
    TJvHidDeviceController Controller;
    if (!IsHidLoaded()) {
        const std::string Why = ModuleLoadError();
        std::fprintf(stderr,
                     "velto-hid-list: the HID backend module %s cannot be loaded (%s), so no "
                     "HID interface can be seen.\n",
                     HidBackendModule(),
                     Why.empty() ? "it lacks entry points this program needs" : Why.c_str());
        return exitcode::kNoBackend;
    }
    int Velto = 0;
    bool Printed = false;
    auto Print = [&] {
        if (Printed) return;
        Printed = true;
        std::fputs(hidlist::Describe(Controller, &Velto).c_str(), stdout);
        QCoreApplication::quit();
    };
    // The first list is built from the event loop.
    QObject::connect(&Controller, &TJvHidDeviceController::DeviceChangeMessage, &App, Print);
    QTimer::singleShot(5000, &App, Print);
    App.exec();
    return Velto > 0 ? exitcode::kOk : exitcode::kNoDevice;
}
