// The updater for real devices: the main window over the kernel's hidraw nodes, or with --auto
// an unattended update for scripts and production lines.
#include "app/updater_main.h"

int main(int argc, char* argv[]) {
    UpdaterHooks hooks;
    return UpdaterMain(
        argc, argv,
        {QStringLiteral("velto-update"),
         QStringLiteral("Updates the firmware of a Velto USB audio signal processor (vendor "
                        "0x0168, product 0x0821 in run mode or 0x0904 in update mode) over "
                        "/dev/hidraw*. Without options it opens the window."),
         false},
        hooks);
}
