// How a program is stopped and how soon it comes back: the stop signal and
// the restart back-off of a task.
#include <algorithm>

#include "keeper/ps_task.h"
#include "support/ev_debug.h"
#include "support/signal_names.h"

void PsTask::set_stop_signal(const char* signal_name) {
    stop_policy.signal_name = signal_name ? signal_name : "";
    stop_policy.signal = stop_policy.signal_name.empty() ? SIGTERM : Com_signalByName(signal_name);
}

keeperStatus PsTask::validate() {
    if (stop_policy.signal < 0) {
        EV_TRACE(DL_ERROR, "validate: Task %s has an unknown stop signal [%s]", name,
                 stop_policy.signal_name.c_str());
        return KEEPER_FAIL;
    }
    return TaskOnSeq::validate();
}

// A program that dies sooner than the back-off limit after its start waits
// twice as long as the last time before its next start, from the restart
// delay (or 1 s) up to the limit; one that ran longer starts a new series.
int PsTask::restart_pause() {
    const int max = stop_policy.backoff_max;
    if (max <= 0 || uptime() - stop_policy.started >= max) {
        stop_policy.last_pause = 0;
        return restart_delay;
    }
    const int last = stop_policy.last_pause;
    stop_policy.last_pause = std::min(last ? 2 * last : std::max(restart_delay, 1), max);
    EV_TRACE(DL_NOTIFY, "Task %s exited %ld s after its start, restart in %d s", name,
             uptime() - stop_policy.started, stop_policy.last_pause);
    return stop_policy.last_pause;
}
