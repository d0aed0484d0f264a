// The end-to-end tests' build of the daemon: the shutdown sequence waits
// VARDO_E2E_REBOOT_DELAY and VARDO_E2E_STOP_GRACE seconds where a test sets
// them (VardoTest::shortenShutdown), the appliance table's delays otherwise.
#include <cstdlib>

#include "keeper/shutdown_delays.h"

namespace {

void fromEnvironment(const char* name, uint32_t& seconds) {
    const char* text = getenv(name);
    if (text && *text) seconds = static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

}  // namespace

ShutdownDelays daemon_shutdown_delays() {
    ShutdownDelays delays;
    fromEnvironment("VARDO_E2E_REBOOT_DELAY", delays.reboot);
    fromEnvironment("VARDO_E2E_STOP_GRACE", delays.stop_grace);
    return delays;
}
