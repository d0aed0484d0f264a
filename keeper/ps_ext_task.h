// A supervised program that does not speak the keeper protocol: started like
// any process and confirmed as soon as it is forked, never probed, and
// stopped by a terminate command of its own or by SIGTERM.
#ifndef KEEPER_PS_EXT_TASK_H
#define KEEPER_PS_EXT_TASK_H

#include "keeper/ps_task.h"

class PsExtTask : public PsTask {
public:
    PsExtTask(TaskHost* keeper, TimerHandler* timers);

    keeperStatus validate() override;
    keeperStatus stop() override;
    keeperStatus restart() override;

    // Composes "location/procedure args". A command that does not fit its
    // field is refused, never cut: the task then does not validate. 2 when
    // refused.
    keeperStatus set_terminate_cmd(const char* procedure, const char* location, const char* args);
    void terminate();

    const char* get_terminate_cmd() const { return terminate_cmd; }

private:
    char terminate_cmd[100];
    bool terminate_refused;
};

#endif
