#include "keeper/timer_handler.h"

#include <malloc.h>

#include "keeper/check_base.h"
#include "keeper/crash_report.h"
#include "keeper/ps_task.h"
#include "keeper/task_host.h"
#include "reactor/ev_engine.h"
#include "support/ev_debug.h"
#include "support/resident.h"

int TimerHandler::add(long delay, Callback cb, void* arg, int min_gap) {
    return engine->addTimer(delay, this, cb, arg, min_gap);
}

TimerHandler::~TimerHandler() {
    for (KillRecord* record : kill_records) delete record;
}

void TimerHandler::add_kill(long delay, int pid, int sig) {
    KillRecord* record = new KillRecord{pid, sig};
    if (add(delay, &TimerHandler::kill_ps, record, -1) < 0)
        delete record;
    else
        kill_records.insert(record);
}

void TimerHandler::remove(int id) { engine->delTimer(id); }

long TimerHandler::now() const { return engine->getClock().uptime(); }

int TimerHandler::run_check(void* check) {
    if (check) static_cast<CheckBase*>(check)->run();
    return 1;
}

int TimerHandler::run_task(void* task) {
    if (task) static_cast<TaskOnSeq*>(task)->run();
    return 0;
}

int TimerHandler::run_ka_check(void* task) {
    if (task) static_cast<PsTask*>(task)->check_alive();
    return 1;
}

int TimerHandler::kill_ps(void* arg) {
    KillRecord* record = static_cast<KillRecord*>(arg);
    PsTask* task = keeper->find_ps_by_pid(record->pid);
    if (task) {
        EV_TRACE(DL_TRACE, "TimerHandler::kill_ps, sending %d signal to pid:%d", record->sig,
                 record->pid);
        task->kill_task(record->sig);
    }
    kill_records.erase(record);
    delete record;
    return 0;
}

int TimerHandler::run_wh_status(void*) {
    // Once a minute: a crash names its file in local time, summer time and
    // a new time zone included.
    crash_report_refresh_clock();
    if (!keeper || !keeper->run_plugin_work()) return 0;
    // The plug-in's work, and that of the programs it runs for a moment,
    // runs code that nothing else runs: it need not stay resident for the
    // rest of the minute.
    keeper->settle_memory();
    return 1;
}

RUNS_AT_REST int TimerHandler::release_memory(void*) {
    // Start-up read the INI files and the process table, once per level, and
    // ran code that runs again only on a rare request, as does the
    // plug-in's periodic work: the daemon, resident for as long as the
    // appliance runs, would otherwise keep the heap's free pages and those
    // pages of code in memory.
    malloc_trim(0);
    release_read_only_pages();
    return 0;
}
