// Preloaded into vardo by the end-to-end tests: the calls that set the
// system clock are recorded instead of made. Namespaces do not cover the
// real-time clock, so without this a test of the time settings would change
// the clock of the machine running it. Each call appends
// "<call> <seconds>" to the file named by VARDO_E2E_CLOCK_LOG and reports
// success; a log that cannot be written (a test put a folder there) makes
// the call fail as a refused clock change would.
#include <fcntl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// 0, or -1 with errno EPERM when the log cannot be opened.
int record(const char* call, long long seconds) {
    const char* path = getenv("VARDO_E2E_CLOCK_LOG");
    if (!path) return 0;
    char line[64];
    const int len = snprintf(line, sizeof line, "%s %lld\n", call, seconds);
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        errno = EPERM;
        return -1;
    }
    if (write(fd, line, static_cast<size_t>(len)) != len) {
        // The test reads the file and reports the missing line.
    }
    close(fd);
    return 0;
}

}  // namespace

extern "C" int settimeofday(const struct timeval* tv, const struct timezone*) {
    return record("settimeofday", tv ? static_cast<long long>(tv->tv_sec) : -1);
}

extern "C" int clock_settime(clockid_t clock, const struct timespec* ts) {
    return clock == CLOCK_REALTIME ? record("clock_settime", static_cast<long long>(ts->tv_sec))
                                   : 0;
}
