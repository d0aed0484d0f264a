#include "keeper/script_job.h"

#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/run_prog.h"

ProgramRunner::Job scriptJob(const char* const argv[], const std::string& queue) {
    ProgramRunner::Job job = ProgramRunner::program(argvWords(argv), APP_RUN_DEADLINE_SCRIPT);
    job.queue = queue;
    job.coalesce = true;
    const std::string line = commandLineText(job.argv);
    job.done = [line](const RunOutcome& outcome) {
        EV_TRACE(outcome.ok() ? DL_NOTIFY : DL_ERROR, "Script [%s] ended: %s", line.c_str(),
                 outcome.text().c_str());
    };
    return job;
}
