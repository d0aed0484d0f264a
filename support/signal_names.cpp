#include "support/signal_names.h"

#include <signal.h>

#include <cstdlib>
#include <cstring>

namespace {

// "RTMIN", "RTMIN+n", "RTMAX", "RTMAX-n" within the real-time range.
int realTimeSignal(const char* name) {
    const bool fromMin = strncmp(name, "RTMIN", 5) == 0;
    if (!fromMin && strncmp(name, "RTMAX", 5) != 0) return -1;
    const char* rest = name + 5;
    long offset = 0;
    if (*rest) {
        if (*rest != (fromMin ? '+' : '-') || !rest[1]) return -1;
        char* end = nullptr;
        offset = strtol(rest + 1, &end, 10);
        if (*end || offset < 0) return -1;
    }
    const long sig = fromMin ? SIGRTMIN + offset : SIGRTMAX - offset;
    return sig >= SIGRTMIN && sig <= SIGRTMAX ? static_cast<int>(sig) : -1;
}

}  // namespace

int Com_signalByName(const char* name) {
    if (!name) return -1;
    if (strncmp(name, "SIG", 3) == 0) name += 3;
    if (!*name) return -1;
    for (int sig = 1; sig < SIGRTMIN; ++sig) {
        const char* abbrev = sigabbrev_np(sig);
        if (abbrev && strcmp(abbrev, name) == 0) return sig;
    }
    return realTimeSignal(name);
}
