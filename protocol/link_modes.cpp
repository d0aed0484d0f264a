#include "protocol/link_modes.h"

#include <cstdio>

#include "support/ev_debug.h"

namespace {

int report(int supported, const char* text) {
    EV_TRACE(DL_DEBUG, "%s", text);
    return supported;
}

}  // namespace

int check_supported(int speed, int duplex, int caps) {
    // Capability bit (ethtool SUPPORTED_*) of each speed and duplex code.
    static const struct {
        int speed, duplex, bit;
    } modes[] = {{1, 1, 6}, {2, 2, 1}, {2, 3, 0}, {3, 2, 3}, {3, 3, 2}, {4, 2, 5}, {4, 3, 4}};
    int supported = 0;
    for (const auto& mode : modes)
        if (mode.speed == speed && mode.duplex == duplex) supported = (caps >> mode.bit) & 1;
    char text[96];
    snprintf(text, sizeof text, " Mode speed= %d, duplex= %d is %s supported", speed, duplex,
             supported ? "" : "NOT");
    return report(supported, text);
}

int check_supported_redundancy(int mode, int caps) {
    int supported = mode == 0 || (mode >= 1 && mode <= 3 && ((caps >> (mode - 1)) & 1));
    char text[64];
    snprintf(text, sizeof text, " Redundancy mode = %d is %s supported", mode,
             supported ? "" : "NOT");
    return report(supported, text);
}
