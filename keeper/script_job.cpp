#include "keeper/script_job.h"

#include <utility>

#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/run_prog.h"

ProgramRunner::Job tracedJob(std::vector<std::string> argv) {
    ProgramRunner::Job job = ProgramRunner::program(std::move(argv), APP_RUN_DEADLINE_SCRIPT);
    const std::string line = commandLineText(job.argv);
    job.done = [line](const RunOutcome& outcome) {
        EV_TRACE(outcome.ok() ? DL_NOTIFY : DL_ERROR, "Script [%s] ended: %s", line.c_str(),
                 outcome.text().c_str());
    };
    return job;
}

ProgramRunner::Job scriptJob(const char* const argv[], const std::string& queue) {
    ProgramRunner::Job job = tracedJob(argvWords(argv));
    job.queue = queue;
    job.coalesce = true;
    return job;
}
