// Record lines of the programs that the end-to-end tests let vardo
// supervise: "<what> <pid> <ms>", appended to the file the test named.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "tests/e2e/clock.h"

namespace e2e {

// One write per line with O_APPEND, so lines of several programs sharing a
// file never interleave; async-signal-safe enough for the signal handlers
// of the test programs (no allocation, no locks).
inline void recordLine(const char* file, const char* what) {
    if (!file) return;
    char line[160];
    const int len =
        snprintf(line, sizeof line, "%s %d %lld\n", what, static_cast<int>(getpid()), nowMs());
    const int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, static_cast<size_t>(len)) != len) {
        // Nothing sensible to do: the test will miss the line and say so.
    }
    close(fd);
}

}  // namespace e2e
