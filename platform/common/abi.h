// Backend modules build with hidden visibility: only the platform ABI (and the sim bus API)
// is exported by name. Include this before anything that pulls in hid_platform.h, so the
// first declaration of each entry point carries default visibility.
#pragma once

#pragma GCC visibility push(default)
#include "platform/hid_platform.h"
#pragma GCC visibility pop
