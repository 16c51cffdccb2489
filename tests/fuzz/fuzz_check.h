// Checks of the fuzz targets beyond memory safety: a failed one aborts, which libFuzzer and the
// replay runner both report as a failing input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

[[noreturn]] inline void CheckFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(cond) \
    ((cond) ? static_cast<void>(0) : ::fuzz::CheckFailed(#cond, __FILE__, __LINE__))
