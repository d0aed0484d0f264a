// The boot sequence: task levels started in ascending order, each once the
// one below is complete, and the check levels that run after it, where a
// failing must-check holds the levels above its own.
#include <malloc.h>

#include "keeper/check_base.h"
#include "keeper/keeper_srv.h"
#include "keeper/ps_list.h"
#include "keeper/tasks.h"
#include "support/ev_debug.h"
#include "support/service_notify.h"

keeperStatus KeeperSrv::add_task_to_mgr(TaskOnSeq* task, unsigned level) {
    TaskLevel*& slot = task_levels[level];
    if (!slot) slot = new TaskLevel;
    slot->add_task(task);
    return KEEPER_OK;
}

keeperStatus KeeperSrv::add_check_to_mgr(CheckBase* check, unsigned level) {
    if (find_check_by_name(check->get_name())) return KEEPER_OK;
    CheckLevel*& slot = check_levels[level];
    if (!slot) slot = new CheckLevel;
    slot->add_check(check);
    return KEEPER_OK;
}

void KeeperSrv::prerun_actions() { start_tasks(); }

void KeeperSrv::start_tasks() {
    EV_TRACE(DL_NOTIFY, "Start tasks as defined in .ini file");
    if (task_levels.empty()) return;
    processes.set_externals_pid();
    cur_level = task_levels.begin();
    cur_level->second->activate();
    run_boot_sequence();
}

void KeeperSrv::run_boot_sequence() {
    if (first_run) {
        first_run = false;
        end_level = cur_level;
        for (auto it = task_levels.rbegin(); it != task_levels.rend(); ++it) {
            if (it->second->is_enabled()) {
                last_enabled_level = it->first;
                end_level = it.base();
                break;
            }
        }
    }
    while (cur_level != end_level) {
        processes.open_start_span();
        keeperStatus started = cur_level->second->run_tasks();
        processes.close_start_span();
        if (started == KEEPER_FAIL) break;
        unsigned number = cur_level->first;
        daemon_counters.reached(number);
        auto next = std::next(cur_level);
        update_next_level(number);
        // update_next_level may already have moved the cursor to the end.
        if (cur_level == end_level) break;
        cur_level = next;
    }
    if (cur_level != end_level || !not_finished) return;
    auto last = task_levels.find(last_enabled_level);
    if (last == task_levels.end() || !last->second->check_level_status()) return;
    not_finished = false;
    handle_seq_end();
    init_checks();
    EV_TRACE(DL_NOTIFY, "Boot sequence is finished");
    // Start-up read the INI files and the process table, once per level: the
    // heap is left with free pages that the daemon, resident from now on for
    // as long as the appliance runs, would otherwise keep.
    malloc_trim(0);
    // A service manager waiting for the daemon learns it is up only now.
    if (Com_notifyReady()) EV_TRACE(DL_NOTIFY, "KeeperSrv::run_boot_sequence, ready sent");
}

void KeeperSrv::update_next_level(unsigned level) {
    auto it = task_levels.find(level);
    if (it == task_levels.end() || !it->second->check_level_status()) return;
    auto next = std::next(it);
    if (next == task_levels.end())
        cur_level = end_level;
    else
        next->second->activate();
}

void KeeperSrv::init_checks() {
    for (auto& entry : check_levels) entry.second->add_to_timer();
}

void KeeperSrv::resume_next_check(unsigned level) {
    auto it = check_levels.find(level);
    if (it == check_levels.end() || !it->second->check_level_status()) return;
    it->second->set_holding(false);
    // A level above may hold the levels above itself (its must-check failed
    // while it was held, or before): those stay held.
    bool held = false;
    for (auto& entry : check_levels) {
        if (held)
            entry.second->skip();
        else
            entry.second->resume();
        held = held || entry.second->is_holding();
    }
}

void KeeperSrv::skip_next_check(unsigned level) {
    auto own = check_levels.find(level);
    if (own != check_levels.end()) own->second->set_holding(true);
    for (auto it = check_levels.upper_bound(level); it != check_levels.end(); ++it)
        it->second->skip();
}

bool KeeperSrv::lower_must_check_running(unsigned level) const {
    for (auto it = check_levels.begin(); it != check_levels.end() && it->first < level; ++it)
        for (CheckBase* check : it->second->get_checks())
            if (check->is_must() && check->run_in_flight()) return true;
    return false;
}

void KeeperSrv::run_waiting_checks(unsigned level) {
    for (auto it = check_levels.upper_bound(level); it != check_levels.end(); ++it)
        for (CheckBase* check : it->second->get_checks()) check->run_if_waiting();
}
