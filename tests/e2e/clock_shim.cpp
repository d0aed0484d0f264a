// Preloaded into vardo by the end-to-end tests: the calls that set the
// system clock are recorded instead of made. Namespaces do not cover the
// real-time clock, so without this a test of the time settings would change
// the clock of the machine running it. Each call appends
// "<call> <seconds>" to the file named by VARDO_E2E_CLOCK_LOG and reports
// success.
#include <fcntl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

void record(const char* call, long long seconds) {
    const char* path = getenv("VARDO_E2E_CLOCK_LOG");
    if (!path) return;
    char line[64];
    const int len = snprintf(line, sizeof line, "%s %lld\n", call, seconds);
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, static_cast<size_t>(len)) != len) {
        // The test reads the file and reports the missing line.
    }
    close(fd);
}

}  // namespace

extern "C" int settimeofday(const struct timeval* tv, const struct timezone*) {
    record("settimeofday", tv ? static_cast<long long>(tv->tv_sec) : -1);
    return 0;
}

extern "C" int clock_settime(clockid_t clock, const struct timespec* ts) {
    if (clock == CLOCK_REALTIME) record("clock_settime", static_cast<long long>(ts->tv_sec));
    return 0;
}
