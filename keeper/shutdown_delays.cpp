// The product's daemon waits as the appliance table says.
#include "keeper/shutdown_delays.h"

ShutdownDelays daemon_shutdown_delays() { return ShutdownDelays{}; }
