// Apart from the counters themselves: a program that never prints them to a
// stream, the daemon among them, then links none of the stream and locale
// code (and none of its start-up work).
#include "reactor/ev_notifier.h"

std::ostream& operator<<(std::ostream& os, const EvCounters& counters) {
    return os << counters.asString();
}
