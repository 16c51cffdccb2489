#include "hid/backend.h"

const char* HidBackendModule() {
    return "libvelto-hid-hidraw.so";
}
