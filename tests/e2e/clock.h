// The clock of the end-to-end tests: monotonic milliseconds, the same in the
// test and in the supervised programs, whose record lines carry it.
#pragma once

#include <time.h>

namespace e2e {

inline long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace e2e
