// The appliance supervisor's built-in checks and its family of
// "FastUpdates" processes, one per entry of the fast-update list.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "keeper/check_base.h"
#include "keeper/fups_list.h"
#include "keeper/predefined_checks.h"
#include "keeper/ps_task.h"
#include "keeper/stc_keeper_srv.h"
#include "keeper/tasks.h"
#include "reactor/ev_engine.h"
#include "support/ev_debug.h"
#include "support/file_utils.h"

namespace {

const char kFupExec[] = "FastUpdates";

// A copy of the template task that runs "FastUpdates" from the template's
// location: a program of its own, so nothing of the template's validation,
// command line, task type or INI section carries over.
class FastUpdateTask : public PsTask {
public:
    FastUpdateTask(const PsTask& templ, const char* fup_args) : PsTask(templ) {
        valid = false;
        command.clear();
        type = known_program_type(kFupExec);
        change_exec(kFupExec);
        set_name(kFupExec);
        set_args(fup_args);
        set_section("");
    }
};

}  // namespace

stcKeeperSrv::~stcKeeperSrv() {
    if (reap_timer != -1) engine->delTimer(reap_timer);
    for (PsTask* task : retired_fups) delete_fup(task);
    for (PsTask* task : fups) delete_fup(task);
}

void stcKeeperSrv::build_predefined_checks() {
    builtin_checks = {new ntp_RemCheck(this, timer_handler),
                      new ntp_LocalCheck(this, timer_handler),
                      new fups_RunCheck(this, timer_handler), new kpiCheck(this, timer_handler)};
    for (CheckBase* check : builtin_checks) adopt_predefined_check(check);
    CheckBase* kpi = builtin_checks.back();
    add_check_to_mgr(kpi, kpi->get_level());
}

keeperStatus stcKeeperSrv::parse_ini_file(const char* confDir) {
    keeperStatus rc = KeeperSrv::parse_ini_file(confDir);
    // A refused file takes every check level with it, the resource check's
    // too; unless the file placed it elsewhere it is back in its own level.
    place_resource_check();
    return rc;
}

bool stcKeeperSrv::place_resource_check() {
    CheckBase* kpi = builtin_checks.empty() ? nullptr : builtin_checks.back();
    if (!kpi || find_check_by_name(kpi->get_name())) return false;
    add_check_to_mgr(kpi, kpi->get_level());
    return true;
}

void stcKeeperSrv::configuration_reloaded() {
    if (!boot_sequence_finished()) {
        place_resource_check();
        return;
    }
    // The default fast-update task may be gone, or built anew.
    handle_seq_end();
    if (place_resource_check()) builtin_checks.back()->add_to_timer();
}

void stcKeeperSrv::stop_predefined_checks() {
    for (CheckBase* check : builtin_checks) check->stop();
}

keeperStatus stcKeeperSrv::fups_management(const char* list_path) {
    if (!default_fup) {
        EV_TRACE(DL_NOTIFY, "stcKeeperSrv::fups_management, default task [%s] not defined",
                 kFupExec);
        return KEEPER_FAIL;
    }
    // Another program writes the list into a folder it can write: a FIFO
    // or a link put there must neither hold the loop nor lead it elsewhere.
    FILE* in = fopenRegularForRead(list_path);
    if (!in) {
        EV_TRACE(DL_NOTIFY, "stcKeeperSrv::fups_management, failed to open file %s, %s", list_path,
                 strerror(errno));
        return KEEPER_FAIL;
    }
    const std::vector<FupEntry> entries = read_fups_list(in);
    fclose(in);
    // Only the copies made here: a configured task that happens to carry
    // the same name is not this list's to stop.
    std::vector<PsTask*> stale = fups;
    std::map<int, PsTask*> listed;
    for (const FupEntry& entry : entries) {
        char fup_args[32];
        snprintf(fup_args, sizeof fup_args, "-c %d", entry.id);
        PsTask*& task = listed[entry.id];
        if (!task) {
            auto kept = std::find_if(stale.begin(), stale.end(), [&](PsTask* t) {
                return strcmp(t->get_args(), fup_args) == 0;
            });
            if (kept != stale.end()) {
                task = *kept;
                stale.erase(kept);
                EV_TRACE(DL_DEBUG, "stcKeeperSrv::fups_management, fup [id %d] exists", entry.id);
            } else {
                task = create_fup(entry.id, fup_args);
            }
        }
        EV_TRACE(DL_DEBUG, "stcKeeperSrv::fups_management, update fup [id %d], pid %d, enable %d",
                 entry.id, task->get_pid(), entry.enabled);
        task->set_enabled(entry.enabled);
        if (task->get_pid() != -1)
            EV_TRACE(DL_DEBUG,
                     "stcKeeperSrv::fups_management, fup id %d is already running  pid %d",
                     entry.id, task->get_pid());
        else
            task->run();
    }
    for (PsTask* task : stale) retire_fup(task);
    return KEEPER_OK;
}

PsTask* stcKeeperSrv::create_fup(int id, const char* fup_args) {
    PsTask* task = new FastUpdateTask(*default_fup, fup_args);
    fups.push_back(task);
    task->add_to_manager();
    EV_TRACE(DL_DEBUG, "stcKeeperSrv::fups_management, new fup [id %d] created", id);
    return task;
}

void stcKeeperSrv::retire_fup(PsTask* task) {
    fups.erase(std::remove(fups.begin(), fups.end(), task), fups.end());
    EV_TRACE(DL_DEBUG, "stcKeeperSrv::fups_management, fup [%s %s] dropped, pid %d",
             task->get_name(), task->get_args(), task->get_pid());
    // Never started again, not even after a restart delay: the task must
    // not be referred to by a timer once it is gone.
    task->set_enabled(false);
    task->set_restart_delay(0);
    task->stop();
    if (task->get_pid() == -1) {
        delete_fup(task);
        return;
    }
    retired_fups.push_back(task);
    if (reap_timer == -1)
        reap_timer = engine->addTimer(1, this, &stcKeeperSrv::reap_retired_fups, nullptr, -1);
}

int stcKeeperSrv::reap_retired_fups(void*) {
    auto gone = std::stable_partition(retired_fups.begin(), retired_fups.end(),
                                      [](PsTask* task) { return task->get_pid() != -1; });
    std::vector<PsTask*> exited(gone, retired_fups.end());
    retired_fups.erase(gone, retired_fups.end());
    for (PsTask* task : exited) delete_fup(task);
    if (retired_fups.empty()) reap_timer = -1;
    return retired_fups.empty() ? 0 : 1;
}

void stcKeeperSrv::delete_fup(PsTask* task) {
    processes.remove_ps(task);
    auto level = task_levels.find(task->get_level());
    if (level != task_levels.end()) level->second->remove_task(task);
    delete task;
}
