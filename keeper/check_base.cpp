#include "keeper/check_base.h"

#include <algorithm>
#include <cstring>

#include "keeper/task_defaults.h"
#include "keeper/task_host.h"
#include "keeper/timer_handler.h"
#include "protocol/wire_text.h"
#include "support/ev_debug.h"
#include "support/str_utils.h"

namespace {

// Besides letters and digits: what option and path arguments need.
const char kSafeArgChars[] = " -_.,:/=+@%";

}  // namespace

CheckBase::CheckBase(TaskHost* k, TimerHandler* timers)
    : TaskOnSeq(k, timers),
      active(true),
      interval(CHECK_INTERVAL),
      timeout(0),
      check_timer(-1),
      success_action(nullptr),
      timeout_action(nullptr),
      failing_since(0),
      timeout_fired(false) {
    status = 0;
}

keeperStatus CheckBase::add_to_manager() {
    if (validate() != KEEPER_OK) return KEEPER_FAIL;
    keeper->add_check_to_mgr(this, level);
    return KEEPER_OK;
}

bool CheckBase::check_can_run() { return enabled && active && mode_allows_run(); }

keeperStatus CheckBase::reinit(const char* new_args) {
    // The arguments reach a shell command line and the INI file: nothing
    // that a shell or the INI reader would take for syntax.
    if (!text_made_of(new_args, kSafeArgChars)) {
        EV_TRACE(DL_ERROR, "CheckBase::reinit, check %s: arguments refused", name);
        return KEEPER_FAIL;
    }
    args.set(new_args);
    // The command line of a program check is composed once; the operator who
    // changes the arguments expects the next run to use them.
    if (implement == IMPLEMENT_APP && valid) {
        exec_path.clear();
        set_cmd();
    }
    return KEEPER_OK;
}

void CheckBase::add_to_timer() {
    if (!enabled) return;
    // One timer per check: a second one would double the runs, and a stop
    // request could then remove only one of them.
    if (check_timer != -1) {
        EV_TRACE(DL_NOTIFY, "CheckBase::add_to_timer, check [%s] is already running", name);
        return;
    }
    if (init() != KEEPER_OK) {
        EV_TRACE(DL_ERROR, " Can't init check [%s]", name);
        return;
    }
    check_timer =
        timer_handler->add(interval, &TimerHandler::run_check, this, static_cast<int>(interval));
}

keeperStatus CheckBase::stop() {
    if (check_timer != -1 && timer_handler) timer_handler->remove(check_timer);
    check_timer = -1;
    return KEEPER_OK;
}

long CheckBase::run_deadline() const {
    if (run_timeout) return run_timeout;
    return interval ? interval : 1;
}

keeperStatus CheckBase::run() {
    if (check_can_run())
        run_once();
    else
        skip_run();
    return KEEPER_OK;
}

void CheckBase::run_once() {
    if (implement != IMPLEMENT_APP) {
        // The single run of the callback (a check class may replace it).
        begin_run();
        take_result(run(static_cast<void*>(nullptr)));
        return;
    }
    if (run_in_flight()) {
        EV_TRACE(DL_NOTIFY, "Check [%s] is still running, this run is skipped", name);
        skip_run();
        return;
    }
    // A lower must-check's result may hold this level: the run waits for it,
    // as it did when that check's run took place within the timer's call.
    if (keeper->lower_must_check_running(level)) {
        waiting_for_lower = true;
        return;
    }
    begin_run();
    if (start_app([this](keeperStatus rc) { take_result(rc); }) != KEEPER_OK)
        take_result(KEEPER_FAIL);
}

void CheckBase::begin_run() { counters.begin(timer_handler ? timer_handler->now() : 0); }

void CheckBase::take_result(keeperStatus rc) {
    end_run(rc != KEEPER_OK);
    if (rc == KEEPER_OK)
        on_success();
    else
        on_failure();
    if (must && implement == IMPLEMENT_APP) keeper->run_waiting_checks(level);
}

void CheckBase::run_if_waiting() {
    if (!waiting_for_lower) return;
    waiting_for_lower = false;
    run();
}

void CheckBase::on_failure() {
    long now = timer_handler ? timer_handler->now() : 0;
    if (status == 0) {
        status = 1;
        failing_since = now;
        timeout_fired = false;
        if (must) skip_next();
        run_action(failure_action, "Check [%s] failure, activating action [%s]");
        return;
    }
    if (!timeout_fired && now - failing_since >= static_cast<long>(timeout)) {
        timeout_fired = true;
        run_action(timeout_action, "Check [%s] failure - timeout, activating action [%s]");
    }
}

void CheckBase::on_success() {
    if (status == 0) return;
    status = 0;
    run_action(success_action, "Check [%s] success, activating action [%s]");
    if (must)
        resume_next();
    else
        // A level kept holding after its must-check recovered is released by the
        // recovery of its last failing check, whatever kind that is.
        keeper->resume_next_check(level);
}

void CheckBase::run_action(TaskSingle* action, const char* fmt) {
    EV_TRACE(DL_NOTIFY, fmt, name, action ? action->get_name() : "");
    if (action) action->run(nullptr);
}

void CheckBase::skip_next() {
    status = 1;
    keeper->skip_next_check(level);
}

void CheckBase::resume_next() {
    status = 0;
    keeper->resume_next_check(level);
}

void CheckBase::dump(std::string& out) const {
    out.append("CheckBase:\nactive:")
        .append(active ? "1" : "0")
        .append("\tinterval:")
        .append(std::to_string(interval))
        .append("\ttimeout:")
        .append(std::to_string(timeout))
        .append("\ttimer id:")
        .append(std::to_string(check_timer))
        .append("\n");
}

std::string CheckBase::asString() const {
    std::string text;
    dump(text);
    text += '\n';
    return text;
}

void CheckLevel::remove_check(CheckBase* check) {
    checks.erase(std::remove(checks.begin(), checks.end(), check), checks.end());
}

void CheckLevel::add_to_timer() {
    for (CheckBase* check : checks) check->add_to_timer();
}

void CheckLevel::skip() {
    for (CheckBase* check : checks) check->skip();
}

void CheckLevel::resume() {
    for (CheckBase* check : checks) check->resume();
}

CheckBase* CheckLevel::get_check(const char* wanted) const {
    for (CheckBase* check : checks)
        if (strcmp(check->get_name(), wanted) == 0) return check;
    return nullptr;
}

CheckBase* CheckLevel::get_check_args(const char* wanted, const char* wanted_args) const {
    if (!wanted || !wanted_args) return nullptr;
    for (CheckBase* check : checks)
        if (strcmp(check->get_name(), wanted) == 0 && strcmp(check->get_args(), wanted_args) == 0)
            return check;
    return nullptr;
}

bool CheckLevel::check_level_status() const {
    for (CheckBase* check : checks)
        if (check->check_status() == 1) return false;
    return true;
}
