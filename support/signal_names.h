// Signal names as "kill -l" prints them.
#pragma once

// The number of "INT", "SIGINT", "RTMIN+2" and the like; -1 for a name that
// is no signal.
int Com_signalByName(const char* name);
