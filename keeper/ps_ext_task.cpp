#include "keeper/ps_ext_task.h"

#include <csignal>
#include <cstdio>
#include <string>

#include "keeper/program_runner.h"
#include "keeper/task_host.h"
#include "keeper/timer_handler.h"
#include "protocol/wire_text.h"
#include "support/appliance.h"
#include "support/ev_debug.h"

PsExtTask::PsExtTask(TaskHost* k, TimerHandler* timers)
    : PsTask(k, timers), terminate_cmd(), terminate_refused(false) {
    external = true;
}

keeperStatus PsExtTask::set_terminate_cmd(const char* procedure, const char* location,
                                          const char* args) {
    if (!procedure || !*procedure) return KEEPER_OK;
    std::string cmd = location && *location ? std::string(location) + "/" + procedure : procedure;
    if (args && *args) cmd += std::string(" ") + args;
    if (cmd.size() >= sizeof terminate_cmd) {
        // A cut command would run something other than what was configured.
        EV_TRACE(DL_ERROR,
                 "PsExtTask::set_terminate_cmd, terminate command [%s] longer than %u characters, "
                 "refused",
                 cmd.c_str(), static_cast<unsigned>(sizeof terminate_cmd - 1));
        terminate_cmd[0] = '\0';
        terminate_refused = true;
        return KEEPER_FAIL;
    }
    setWireText(terminate_cmd, cmd.c_str());
    terminate_refused = false;
    return KEEPER_OK;
}

keeperStatus PsExtTask::validate() {
    if (terminate_refused) {
        EV_TRACE(DL_ERROR, "validate: Task %s refused, its terminate command is too long", name);
        return KEEPER_FAIL;
    }
    return PsTask::validate();
}

void PsExtTask::terminate() {
    const int target = get_pid();
    if (terminate_cmd[0]) {
        EV_TRACE(DL_TRACE, "PsExtTask::terminate, cmd [%s], pid:%d", terminate_cmd, get_pid());
        // The procedure's own result is not trusted: the kill follows anyway,
        // its time-out counted from the procedure's end.
        auto ended = [this, target](const RunOutcome& outcome) {
            EV_TRACE(DL_TRACE, "PsExtTask::terminate, cmd [%s] ended: %s", terminate_cmd,
                     outcome.text().c_str());
            timer_handler->add_kill(kill_timeout, target, SIGKILL);
        };
        if (start_shell(terminate_cmd, APP_RUN_DEADLINE_SCRIPT, ended)) return;
        EV_TRACE(DL_ERROR, "PsExtTask::terminate, cmd [%s] not run", terminate_cmd);
    } else {
        EV_TRACE(DL_TRACE,
                 "PsExtTask::terminate, sending termination signal:%d to process:%s, pid:%d",
                 SIGTERM, name, get_pid());
        kill(get_pid(), SIGTERM);
    }
    timer_handler->add_kill(kill_timeout, target, SIGKILL);
}

keeperStatus PsExtTask::stop() {
    EV_TRACE(DL_NOTIFY, "PsExtTask::stop, process %s (%d) by request", name, get_pid());
    life_event(LifeEvent::StopSent);
    if (get_pid() > 0) terminate();
    return KEEPER_OK;
}

keeperStatus PsExtTask::restart() {
    EV_TRACE(DL_NOTIFY, "PsExtTask::restart, process %s (%d) by request", name, get_pid());
    life_event(LifeEvent::RestartAsked);
    life_event(LifeEvent::StopSent);
    if (get_pid() > 0) terminate();
    return KEEPER_OK;
}
