// The keep-alive probe of a connected program: its configuration, the
// periodic probe with its warning and error actions, and the answer.
#include "keeper/ps_task.h"
#include "keeper/task_actions.h"
#include "keeper/task_defaults.h"
#include "keeper/timer_handler.h"
#include "support/ev_debug.h"
#include "support/ini_file.h"

void PsTask::arm_keep_alive() {
    if (ka_enable && ka_timer == 0) {
        int id = timer_handler->add(ka_period, &TimerHandler::run_ka_check, this, ka_period);
        ka_timer = id > 0 ? id : 0;
    }
}

void PsTask::drop_keep_alive() {
    if (ka_timer != 0 && timer_handler) timer_handler->remove(ka_timer);
    ka_timer = 0;
}

keeperStatus PsTask::ka_read_config(const IniFile& ini, const char* section) {
    dictionary* dict = ini.get_dictionary();
    if (!dict) return KEEPER_FAIL;
    ka_enable = ini.get_bool(section, INI_KA_ENABLE, KA_ENABLE_FROM_FILE);
    ka_period = ini.get_int(section, INI_KA_PERIOD, KA_PERIOD);
    ka_warning = static_cast<unsigned>(ini.get_int(section, INI_KA_WARNING, KA_WARNING));
    ka_warning_action = _TaskActionBase::create(dict, section, INI_KA_WARNING_ACTION);
    ka_error = static_cast<unsigned>(ini.get_int(section, INI_KA_ERROR, KA_ERROR));
    ka_error_action = _TaskActionBase::create(dict, section, INI_KA_ERROR_ACTION);
    EV_TRACE(DL_NOTIFY,
             "Keep alive initial info for task [%s]: enable= %d, period= %d, warning= %d, error= "
             "%d, warning_act= "
             "[%s], error_act= [%s]",
             section, ka_enable, ka_period, ka_warning, ka_error, ka_warning_action->description,
             ka_error_action->description);
    return KEEPER_OK;
}

keeperStatus PsTask::check_alive() {
    // Until the program confirmed its start nobody would answer.
    if (status == 1 || !client || !ka_enable) return KEEPER_OK;
    if (send_to_client(KEEPER_CHECK_ALIVE, 0, nullptr) != KEEPER_OK) return KEEPER_OK;
    unsigned n = ka_missed;
    if (n != 0) ++counters.keepalive_missed;  // the last probe went unanswered
    if (n == 1) EV_TRACE(DL_NOTIFY, "Task [%s] is not reachable for keep alive", name);
    if (n < ka_error) {
        if (n < ka_warning) {
            ka_missed = n + 1;
            return KEEPER_OK;
        }
        ka_warning_action->run(this, static_cast<int>(n - ka_warning));
    } else {
        ka_error_action->run(this, static_cast<int>(n - ka_error));
    }
    ka_missed = n + 1;
    return KEEPER_OK;
}

keeperStatus PsTask::check_alive_ack() {
    if (ka_missed > 1) {
        EV_TRACE(DL_NOTIFY, "Task [%s] back be reachable for keep alive", name);
        send_status_event(TASK_STATUS_UP);
    }
    ka_missed = 0;
    return KEEPER_OK;
}
