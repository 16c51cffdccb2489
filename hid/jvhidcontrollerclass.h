// HID devices and the controller that lists them, hands them out and notices arrivals and
// removals. Everything runs on the user-interface thread (the thread of the controller's
// QObject) except each checked-out device's reader thread, which hands every input report
// to the user-interface thread and waits until the handler has returned.
#pragma once

#include "hid/jvhiddevice.h"
#include "hid/jvhiddevicecontroller.h"
#include "hid/jvhidpnpinfo.h"
#include "hid/jvhidreadthread.h"
#include "hid/jvhidtypes.h"
