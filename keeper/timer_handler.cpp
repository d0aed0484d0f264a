#include "keeper/timer_handler.h"

#include <string>

#include "keeper/check_base.h"
#include "keeper/crash_report.h"
#include "keeper/program_runner.h"
#include "keeper/ps_task.h"
#include "keeper/script_job.h"
#include "keeper/task_host.h"
#include "reactor/ev_engine.h"
#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/run_prog.h"

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
    return keeper && keeper->run_plugin_work() ? 1 : 0;
}

int TimerHandler::run_cpu_usage_status(void*) {
    KeeperBasePligin* plugin = keeper ? keeper->get_plugin(PLUGIN_CONFIG) : nullptr;
    if (plugin) plugin->get_next_cpu_usage();
    return 0;
}

// In the route commands' queue: the script applies the routes again, and a
// burst of address and gateway changes restarts the network at most twice.
int TimerHandler::run_delayed_inet1(void*) {
    ProgramRunner::Job job = scriptJob(ARGV_INET1_RESTART, APP_ROUTE_QUEUE);
    const std::string line = commandLineText(job.argv);
    EV_TRACE(DL_NOTIFY, "Run script [%s]", line.c_str());
    if (keeper->get_runner().start(std::move(job)) < 0)
        EV_TRACE(DL_ERROR, "Run script [%s] failed", line.c_str());
    return 0;
}
