// What the plug-in's parts ask of the plug-in that runs them: host
// programs, replies deferred until a program ends, and delayed calls.
#ifndef PLUGINS_PLUGIN_JOBS_H
#define PLUGINS_PLUGIN_JOBS_H

#include <functional>

#include "keeper/keeper_plugin.h"

// The final status of a request from the outcome of its program.
using OutcomeStatus = std::function<keeperStatus(const RunOutcome& outcome)>;

class PluginJobs {
public:
    virtual ~PluginJobs() = default;
    // Starts a program without waiting for it: the run's id, -1 when it
    // could not start.
    virtual int start(ProgramRunner::Job job) = 0;
    // Starts one of the appliance's scripts, serialised by its path.
    virtual void run_script(const char* const argv[]) = 0;
    // Starts a host tool whose end decides the request's reply: the reply
    // is deferred under a token, and `finish` makes the final status of the
    // outcome. A tool that cannot start is finished at once as not started.
    virtual keeperStatus run_for_reply(ProgramRunner::Job job, OutcomeStatus finish) = 0;
    // Calls `call` once, `delay` seconds later.
    virtual void schedule(long delay, std::function<void()> call) = 0;
    // Whether a daemon hosts the plug-in and keeps its time.
    virtual bool hosted() const = 0;
};

#endif
