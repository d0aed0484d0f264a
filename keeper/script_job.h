// Appliance scripts as the daemon runs them: never waited for, one run of a
// queue at a time, a burst of requests folded into at most one more run
// with the latest arguments, and the outcome traced when the run ends.
#ifndef KEEPER_SCRIPT_JOB_H
#define KEEPER_SCRIPT_JOB_H

#include <string>
#include <vector>

#include "keeper/program_runner.h"

// A program of the daemon's own that nobody waits for: 60 s deadline, its
// outcome traced when it ends.
ProgramRunner::Job tracedJob(std::vector<std::string> argv);
// The same for an appliance script, in its queue and coalescing.
ProgramRunner::Job scriptJob(const char* const argv[], const std::string& queue);

#endif
