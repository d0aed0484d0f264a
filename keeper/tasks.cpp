#include "keeper/tasks.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keeper/callback_ps.h"
#include "keeper/program_runner.h"
#include "keeper/task_host.h"
#include "keeper/timer_handler.h"
#include "protocol/wire_text.h"
#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/proc_utils.h"
#include "support/str_utils.h"

namespace {

struct KnownProgram {
    char name[64];
    unsigned type;
};

// The bit is the event id of the program's task-status events, so that a
// subscriber can select programs by mask.
const KnownProgram kKnownPrograms[] = {
    {"ondo", 1},     {"brel", 2},       {"Quorvex", 4}, {"VelSnmpAgent", 8},
    {"Pondrel", 16}, {"Travessor", 32}, {"keeper", 64}, {"vardo", 128},
};

const char* result_text(keeperStatus rc) { return rc == KEEPER_OK ? "SUCCESS" : "FAIL"; }

}  // namespace

unsigned known_program_type(const char* exec) {
    for (const KnownProgram& p : kKnownPrograms)
        if (strcmp(p.name, exec) == 0) return p.type;
    return TASK_TYPE_OTHER;
}

void TaskText::set(const char* src) {
    if (!src) src = "";
    text.assign(src, strnlen(src, kMax));
}

TaskSingle::TaskSingle(TaskHost* k, TimerHandler* timers)
    : implement(IMPLEMENT_INTERNAL),
      callback(nullptr),
      valid(false),
      name(),
      exec(),
      type(TASK_TYPE_OTHER),
      keeper(k),
      timer_handler(timers) {}

void TaskSingle::set_args(const char* text) { args.set(text); }

void TaskSingle::set_name(const char* text) {
    if (!text) text = "";
    const char* slash = strrchr(text, '/');
    setWireText(name, slash ? slash + 1 : text);
    // The default fast-update task is looked up under this spelling.
    if (strcmp(name, "fup_def") == 0) setWireText(name, "FUP_def");
}

void TaskSingle::set_exec(const char* text) {
    setWireText(exec, text);
    unsigned known = known_program_type(exec);
    if (known != TASK_TYPE_OTHER) {
        type = known;
        EV_TRACE(DL_NOTIFY, "Task exec %s resolved as type %d", exec, type);
    }
}

void TaskSingle::change_exec(const char* text) {
    set_exec(text);
    exec_path.clear();
}

void TaskSingle::set_location(const char* text) { location.set(text); }

void TaskSingle::set_implement(const char* word) {
    if (!word) word = "";
    if (strcmp(word, "Internal") == 0)
        set_implement(IMPLEMENT_INTERNAL);
    else if (strcmp(word, "App") == 0)
        set_implement(IMPLEMENT_APP);
    else
        set_implement(IMPLEMENT_INVALID);
}

void TaskSingle::set_cmd() {
    if (exec_path.empty()) {
        if (!location.empty())
            exec_path.set(std::string(location) + "/" + exec);
        else
            exec_path.set(exec);
        if (!args.empty())
            command.set(std::string(exec_path) + " " + args.c_str());
        else
            command.set(exec_path);
    }
    EV_TRACE(DL_TRACE, "TaskSingle::set_cmd, full run command [%s]", command.c_str());
}

keeperStatus TaskSingle::validate() {
    set_cmd();
    switch (implement) {
        case IMPLEMENT_APP:
            if (access(exec_path, X_OK) != 0) {
                EV_TRACE(DL_ERROR, "validate: Task %s cannot be executed", exec_path.c_str());
                return KEEPER_FAIL;
            }
            return KEEPER_OK;
        case IMPLEMENT_INTERNAL:
            callback = keeper ? keeper->find_cb_by_name(name) : nullptr;
            if (!callback) {
                EV_TRACE(DL_ERROR, "validate: Task %s does not exist", exec_path.c_str());
                return KEEPER_FAIL;
            }
            return KEEPER_OK;
        default:
            return KEEPER_FAIL;
    }
}

void TaskSingle::kill_stale_copies(const std::vector<int>& copies, const char* origin) const {
    int self = static_cast<int>(getpid());
    for (int stale : copies) {
        if (stale == self || Com_getPPidof(stale) == self) continue;
        EV_TRACE(DL_NOTIFY, "%s, kill previously running task [%s] before running new instance",
                 origin, name);
        kill(stale, SIGKILL);
    }
}

TaskSingle::~TaskSingle() {
    if (keeper && run_slot.id > 0) keeper->get_runner().forget(run_slot.id);
}

bool TaskSingle::run_in_flight() const {
    return keeper && keeper->get_runner().active(run_slot.id);
}

long TaskSingle::run_deadline() const { return APP_RUN_DEADLINE_SCRIPT; }

bool TaskSingle::start_shell(const char* line, long deadline,
                             std::function<void(const RunOutcome&)> done, int out_fd, int err_fd) {
    if (!keeper) return false;
    ProgramRunner& runner = keeper->get_runner();
    // Only the daemon's own earlier run is stopped: another process with the
    // same command line is none of its business.
    if (runner.active(run_slot.id)) {
        EV_TRACE(DL_NOTIFY,
                 "TaskSingle::run, kill previously running task [%s] before running new instance",
                 name);
        runner.kill(run_slot.id);
    }
    ProgramRunner::Job job = ProgramRunner::shell(line, deadline);
    job.done = std::move(done);
    job.out_fd = out_fd;
    job.err_fd = err_fd;
    run_slot.id = runner.start(std::move(job));
    return run_slot.id > 0;
}

void TaskSingle::route_output(int&, int&) {}

void TaskSingle::trace_attempt() const {
    EV_TRACE(DL_USER1, "TaskSingle::run- Trying to run task [%s], arg[%s], implement= %d",
             command.c_str(), args.c_str(), implement);
}

keeperStatus TaskSingle::start_app(RunDone done) {
    trace_attempt();
    if (validate() == KEEPER_FAIL) return KEEPER_FAIL;
    const std::string line(command);
    auto ended = [this, line, done](const RunOutcome& outcome) {
        const keeperStatus rc = outcome.ok() ? KEEPER_OK : KEEPER_FAIL;
        EV_TRACE(DL_USER1, "TaskSingle::run- result of running task [%s], arg[%s] is %s (%s)",
                 line.c_str(), args.c_str(), result_text(rc), outcome.text().c_str());
        if (done) done(rc);
    };
    int out_fd = -1, err_fd = -1;
    route_output(out_fd, err_fd);
    if (start_shell(command, run_deadline(), ended, out_fd, err_fd)) return KEEPER_OK;
    EV_TRACE(DL_ERROR, "TaskSingle::run, task [%s] not started", name);
    return KEEPER_FAIL;
}

keeperStatus TaskSingle::run(void*) {
    if (implement == IMPLEMENT_APP) return start_app(nullptr);
    trace_attempt();
    if (validate() == KEEPER_FAIL) return KEEPER_FAIL;
    keeperStatus rc = KEEPER_FAIL;
    if (implement == IMPLEMENT_INTERNAL && callback) {
        // A callback may write into its arguments.
        std::string scratch(args);
        rc = callback->run(scratch.data());
    }
    EV_TRACE(DL_USER1, "TaskSingle::run- result of running task [%s], arg[%s], implement= %d is %s",
             command.c_str(), args.c_str(), implement, result_text(rc));
    return rc;
}

TaskOnSeq::TaskOnSeq(TaskHost* k, TimerHandler* timers)
    : TaskSingle(k, timers),
      must(false),
      level(0),
      enabled(false),
      active_on_bypass(false),
      failure_action(nullptr),
      status(1) {
    // A boot step's program has always written to /dev/null.
    output.config.mode = OutputConfig::Null;
}

keeperStatus TaskOnSeq::validate() {
    if (valid) return KEEPER_OK;
    if (output.config.bad_mode) {
        EV_TRACE(DL_ERROR, "validate: Task %s has an unknown output", name);
        return KEEPER_FAIL;
    }
    if (level == 0) {
        EV_TRACE(DL_ERROR, "validate: Task %s has no level defined", name);
        return KEEPER_FAIL;
    }
    keeperStatus rc = TaskSingle::validate();
    if (rc == KEEPER_OK) valid = true;
    return rc;
}

bool TaskOnSeq::mode_allows_run() const {
    return active_on_bypass || !keeper || keeper->get_system_mode() != 0;
}

bool TaskOnSeq::refused_by_shutdown() const {
    if (!keeper || !keeper->is_shutting_down()) return false;
    EV_TRACE(DL_NOTIFY, "Task [%s] is not started: shutting down", name);
    return true;
}

void TaskOnSeq::run_failure_action(void* arg) {
    if (failure_action) failure_action->run(arg);
}

keeperStatus TaskOnSeq::run() {
    EV_TRACE(
        DL_TRACE,
        "TaskOnSeq::run- Trying to run task [%s], enabled [%d],active on bypass [%d], valid [%d]",
        name, enabled, active_on_bypass, valid);
    if (!enabled || !mode_allows_run()) return KEEPER_OK;
    if (refused_by_shutdown()) return KEEPER_FAIL;
    auto ended = [this](keeperStatus rc) {
        output.program_exited();
        boot_run_ended(rc);
    };
    if (valid && implement == IMPLEMENT_APP && start_app(ended) == KEEPER_OK) return KEEPER_OK;
    if (valid && implement != IMPLEMENT_APP && TaskSingle::run(nullptr) == KEEPER_OK) {
        status = 0;
        return KEEPER_OK;
    }
    run_failure_action(nullptr);
    return KEEPER_FAIL;
}

void TaskOnSeq::route_output(int& out_fd, int& err_fd) {
    if (output.config.mode == OutputConfig::Inherit) {
        out_fd = STDOUT_FILENO;
        err_fd = STDERR_FILENO;
        return;
    }
    TaskOutput* capture =
        timer_handler ? output.prepared(timer_handler->get_engine(), name) : nullptr;
    if (!capture) return;
    out_fd = capture->stdout_fd();
    err_fd = capture->stderr_fd();
}

// Called from the loop when the program has ended, never from within run():
// the boot sequence may be driven on from here.
void TaskOnSeq::boot_run_ended(keeperStatus rc) {
    if (rc != KEEPER_OK) {
        run_failure_action(nullptr);
        return;
    }
    status = 0;
    if (!keeper) return;
    keeper->update_next_level(level);
    keeper->run_boot_sequence();
}

void TaskOnSeq::set_must(bool m) {
    must = m;
    // A unit that is not a must never holds its level.
    if (!m) status = 0;
}

keeperStatus TaskOnSeq::add_to_manager() {
    if (validate() == KEEPER_OK) return keeper->add_task_to_mgr(this, level);
    if (!enabled) return KEEPER_OK;
    run_failure_action(nullptr);
    return must ? KEEPER_FAIL : KEEPER_OK;
}

keeperStatus TaskOnSeq::vet() {
    return validate() == KEEPER_OK || !enabled || !must ? KEEPER_OK : KEEPER_FAIL;
}

keeperStatus TaskOnSeq::set_permanent_mode(bool enable, bool apply) {
    enabled = enable;
    if (apply) {
        if (enable) {
            prepare_explicit_run();
            run();
        } else {
            stop();
        }
    }
    return KEEPER_OK;
}

keeperStatus TaskLevel::run_tasks() {
    if (!activated) return KEEPER_FAIL;
    for (TaskOnSeq* task : tasks) {
        keeperStatus rc = task->run();
        EV_TRACE(DL_NOTIFY, "Running of task [%s] is %s", task->get_name(), result_text(rc));
    }
    return KEEPER_OK;
}

bool TaskLevel::check_level_status() {
    if (complete) return true;
    for (TaskOnSeq* task : tasks)
        if (task->check_status() == 1) return false;
    complete = true;
    return true;
}

bool TaskLevel::is_enabled() const {
    for (TaskOnSeq* task : tasks)
        if (task->is_enabled()) return true;
    return false;
}

void TaskLevel::remove_task(TaskOnSeq* task) {
    tasks.erase(std::remove(tasks.begin(), tasks.end(), task), tasks.end());
}

TaskOnSeq* TaskLevel::find_task_by_name(const char* wanted) const {
    for (TaskOnSeq* task : tasks)
        if (strcmp(task->get_name(), wanted) == 0) return task;
    return nullptr;
}
