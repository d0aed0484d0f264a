// Signal handling of the daemon: child exits and the termination request go
// to the loop through the supervisor's child notifier; a crash leaves a
// back-trace file.
#ifndef KEEPER_SIGNALS_H
#define KEEPER_SIGNALS_H

#include <ctime>
#include <string>

void SetSignalHandlers();

// The last-moment hook run after the loop and before a crash ends the
// process; this system has nothing to do there.
void shutdown();

// Back-trace file of a crash at that local time: one per minute.
std::string bt_file_name(const struct tm& when);

#endif
