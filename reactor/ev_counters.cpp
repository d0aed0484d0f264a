#include <cstdio>
#include <ctime>

#include "reactor/ev_notifier.h"

uint32_t evSelectActions = 0;
uint32_t evStartTimersActions = 0;
uint32_t evFinishTimersActions = 0;
uint32_t evStartSocketActions = 0;
uint32_t evFinishSocketActions = 0;

EvCounters& EvCounters::instance() {
    // Never destroyed: it may still be printed while the process exits.
    static EvCounters* counters = new EvCounters;
    return *counters;
}

std::string EvCounters::asString() const {
    time_t now = time(nullptr);
    char stamp[32];
    std::string text = ctime_r(&now, stamp) ? stamp : "\n";
    char lines[256];
    snprintf(lines, sizeof(lines),
             "\n*** Engine Actions ***\n"
             "Select actions:\t\t\t%u\n"
             "Started timers:\t\t\t%u\n"
             "Finished timers:\t\t%u\n"
             "Started socket actions:\t\t%u\n"
             "Finished socket actions:\t%u\n",
             static_cast<unsigned>(evSelectActions), static_cast<unsigned>(evStartTimersActions),
             static_cast<unsigned>(evFinishTimersActions),
             static_cast<unsigned>(evStartSocketActions),
             static_cast<unsigned>(evFinishSocketActions));
    return text + lines;
}
