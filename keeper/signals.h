// Signal handling of the daemon: child exits and the termination request go
// to the loop through the supervisor's child notifier; a crash leaves a
// back-trace file.
#ifndef KEEPER_SIGNALS_H
#define KEEPER_SIGNALS_H

void SetSignalHandlers();
// The crash handler alone, writing its back-trace files into `folder`
// (ending in '/'); SetSignalHandlers names the appliance's folder.
void SetCrashHandler(const char* folder);

// The last-moment hook run after the loop and before a crash ends the
// process; this system has nothing to do there.
void shutdown();

#endif
