// How long the shutdown sequence waits, in seconds. The daemon program takes
// the appliance table's values; the end-to-end tests' build of the daemon
// links another daemon_shutdown_delays() that may shorten them, so that no
// test waits them out. Nothing a client sends changes them.
#pragma once

#include <cstdint>

#include "support/appliance.h"

struct ShutdownDelays {
    // From a configuration change that needs a reboot to the orderly stop.
    uint32_t reboot = APP_REBOOT_DELAY;
    // From the orderly stop to SIGKILL of whatever is left.
    uint32_t stop_grace = APP_STOP_GRACE;
};

// The delays of this daemon program; each build of the program defines it once.
ShutdownDelays daemon_shutdown_delays();
