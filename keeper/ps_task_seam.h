// For unit tests only: stages what otherwise only a fork, an exit or a
// confirmed connection brings about, without reaching into PsTask's fields.
#ifndef KEEPER_PS_TASK_SEAM_H
#define KEEPER_PS_TASK_SEAM_H

#include "keeper/ps_task.h"

struct PsTaskSeam {
    // The task believes it runs the program with this pid (-1: none).
    static void set_pid(PsTask& task, int pid) { task.set_pid(pid); }
    // The program confirmed its start (or not yet).
    static void set_confirmed(PsTask& task, bool confirmed) { task.status = confirmed ? 0 : 1; }
    // Keep-alive on, with these thresholds and actions.
    static void set_keep_alive(PsTask& task, unsigned warning, _TaskActionBase* on_warning,
                               unsigned error, _TaskActionBase* on_error) {
        task.ka_enable = true;
        task.ka_warning = warning;
        task.ka_warning_action = on_warning;
        task.ka_error = error;
        task.ka_error_action = on_error;
    }
    // What a start of the task would run.
    static SpawnPlan spawn_plan(const PsTask& task) { return task.spawn_plan(); }
    static unsigned missed_probes(const PsTask& task) { return task.ka_missed; }
    static void set_missed_probes(PsTask& task, unsigned n) { task.ka_missed = n; }
};

#endif
