#include "keeper/task_actions.h"

#include <strings.h>

#include <csignal>
#include <string>

#include "keeper/ps_task.h"
#include "support/ev_debug.h"

namespace {
_TaskActionNone none_action;
_TaskActionStop stop_action;
_TaskActionRestart restart_action;
_TaskActionMultySignal multy_signal_action;
}  // namespace

keeperStatus _TaskActionBase::run(PsTask* task, int n) {
    if (n >= limit) return KEEPER_OK;
    EV_TRACE(DL_ERROR, "Task [%s] not response on keep alive. Perform [%s] action",
             task ? task->get_name() : "", description);
    run(task);
    return KEEPER_OK;
}

_TaskActionBase* _TaskActionBase::none() { return &none_action; }

_TaskActionBase* _TaskActionBase::create(dictionary* dict, const char* section, const char* key) {
    std::string entry = std::string(section) + ":" + key;
    const char* word = dict ? iniparser_getstring(dict, entry.c_str(), "none") : "none";
    EV_TRACE(DL_NOTIFY, "Read [%s] action for [%s] , task - [%s]", word, key, section);
    if (strcasecmp(word, "MultySignal") == 0) return &multy_signal_action;
    if (strcasecmp(word, "stop") == 0) return &stop_action;
    if (strcasecmp(word, "restart") == 0) return &restart_action;
    return &none_action;
}

keeperStatus _TaskActionStop::run(PsTask* task) {
    if (task) task->stop();
    return KEEPER_OK;
}

keeperStatus _TaskActionRestart::run(PsTask* task) {
    if (task) task->restart();
    return KEEPER_OK;
}

keeperStatus _TaskActionSignal::run(PsTask* task) {
    if (!task) return KEEPER_FAIL;
    // A pid of -1 or 0 would signal every process or the daemon's own group.
    if (task->get_pid() <= 0 || kill(task->get_pid(), SIGUSR2) != 0)
        EV_TRACE(DL_ERROR, "ERROR in sending signal to task [%s]", task->get_name());
    return KEEPER_OK;
}
