// Exports a handful of the platform entry points and nothing else.
#include "platform/hid_platform.h"

extern "C" {
ULONG HidD_Hello(char*, ULONG) {
    return 0;
}
void HidD_GetHidGuid(GUID* guid) {
    *guid = GUID{};
}
HDEVINFO SetupDiGetClassDevs(const GUID*, const char*, void*, DWORD) {
    return nullptr;
}
}
