#include "hid/backend.h"

const char* HidBackendModule() {
    return "libvelto-hid-not-installed.so";
}
