// Start-up shared by the demo programs.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "support/ev_debug.h"

// Line-buffered output, so the demo's terminal shows each line as it
// happens, and the trace written into the daemon's home, which the daemon
// passes on.
inline void demoStart(const char* module) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* home = getenv("VELTO_HOME");
    if (home) EvDebug::setConfPath(module, home);
}
