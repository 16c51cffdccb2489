// Extra entry point of the hidraw backend module.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Where the module looks for sysfs and the device nodes (defaults "/sys" and "/dev"). Tests
// point it at a fake tree; null keeps the current value.
void HidrawSetRoots(const char* sysRoot, const char* devRoot);

#ifdef __cplusplus
}
#endif
