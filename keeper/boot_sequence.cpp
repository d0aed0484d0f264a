#include "keeper/boot_sequence.h"

#include <malloc.h>

#include "keeper/check_base.h"
#include "keeper/ps_list.h"
#include "keeper/task_host.h"
#include "keeper/tasks.h"
#include "support/ev_debug.h"
#include "support/service_notify.h"

BootSequence::BootSequence(TaskHost* h, TaskLevels& tasks, CheckLevels& checks)
    : host(h),
      task_levels(tasks),
      check_levels(checks),
      cur_level(tasks.end()),
      end_level(tasks.end()) {}

keeperStatus BootSequence::add_task(TaskOnSeq* task, unsigned level) {
    TaskLevel*& slot = task_levels[level];
    if (!slot) slot = new TaskLevel;
    slot->add_task(task);
    return KEEPER_OK;
}

keeperStatus BootSequence::add_check(CheckBase* check, unsigned level) {
    if (find_check(check->get_name())) return KEEPER_OK;
    CheckLevel*& slot = check_levels[level];
    if (!slot) slot = new CheckLevel;
    slot->add_check(check);
    return KEEPER_OK;
}

CheckBase* BootSequence::find_check(const char* name) const {
    for (auto& entry : check_levels) {
        CheckBase* check = entry.second->get_check(name);
        if (check) return check;
    }
    return nullptr;
}

void BootSequence::forget_levels() { cur_level = end_level = task_levels.end(); }

void BootSequence::start() {
    EV_TRACE(DL_NOTIFY, "Start tasks as defined in .ini file");
    started = true;
    if (task_levels.empty()) return;
    host->get_ps_list().set_externals_pid();
    cur_level = task_levels.begin();
    cur_level->second->activate();
    run();
}

void BootSequence::run() {
    if (first_run) {
        first_run = false;
        find_end();
    }
    run_levels();
    if (cur_level != end_level || !not_finished) return;
    auto last = task_levels.find(last_enabled_level);
    if (last == task_levels.end() || !last->second->check_level_status()) return;
    finish();
}

void BootSequence::find_end() {
    end_level = cur_level;
    for (auto it = task_levels.rbegin(); it != task_levels.rend(); ++it) {
        if (it->second->is_enabled()) {
            last_enabled_level = it->first;
            end_level = it.base();
            return;
        }
    }
}

void BootSequence::run_levels() {
    PsList& processes = host->get_ps_list();
    while (cur_level != end_level) {
        processes.open_start_span();
        keeperStatus started = cur_level->second->run_tasks();
        processes.close_start_span();
        if (started == KEEPER_FAIL) break;
        unsigned number = cur_level->first;
        if (static_cast<long>(number) > reached) reached = number;
        auto next = std::next(cur_level);
        update_next_level(number);
        // update_next_level may already have moved the cursor to the end.
        if (cur_level == end_level) break;
        cur_level = next;
    }
}

void BootSequence::finish() {
    not_finished = false;
    host->handle_seq_end();
    init_checks();
    EV_TRACE(DL_NOTIFY, "Boot sequence is finished");
    // Start-up read the INI files and the process table, once per level: the
    // heap is left with free pages that the daemon, resident from now on for
    // as long as the appliance runs, would otherwise keep.
    malloc_trim(0);
    // A service manager waiting for the daemon learns it is up only now.
    if (Com_notifyReady()) EV_TRACE(DL_NOTIFY, "BootSequence::finish, ready sent");
}

void BootSequence::init_checks() {
    for (auto& entry : check_levels) entry.second->add_to_timer();
}

void BootSequence::update_next_level(unsigned level) {
    auto it = task_levels.find(level);
    if (it == task_levels.end() || !it->second->check_level_status()) return;
    auto next = std::next(it);
    if (next == task_levels.end())
        cur_level = end_level;
    else
        next->second->activate();
}

void BootSequence::resume_next_check(unsigned level) {
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

void BootSequence::skip_next_check(unsigned level) {
    auto own = check_levels.find(level);
    if (own != check_levels.end()) own->second->set_holding(true);
    for (auto it = check_levels.upper_bound(level); it != check_levels.end(); ++it)
        it->second->skip();
}

bool BootSequence::lower_must_check_running(unsigned level) const {
    for (auto it = check_levels.begin(); it != check_levels.end() && it->first < level; ++it)
        for (CheckBase* check : it->second->get_checks())
            if (check->is_must() && check->run_in_flight()) return true;
    return false;
}

void BootSequence::run_waiting_checks(unsigned level) {
    for (auto it = check_levels.upper_bound(level); it != check_levels.end(); ++it)
        for (CheckBase* check : it->second->get_checks()) check->run_if_waiting();
}
