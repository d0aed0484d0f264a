#include "keeper/ps_task.h"

#include <arpa/inet.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "keeper/client_handler.h"
#include "keeper/ps_list.h"
#include "keeper/task_actions.h"
#include "keeper/task_defaults.h"
#include "keeper/task_host.h"
#include "keeper/timer_handler.h"
#include "protocol/keeper_records.h"
#include "protocol/wire_text.h"
#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/proc_utils.h"
#include "support/str_utils.h"

PsTask::PsTask(TaskHost* k, TimerHandler* timers)
    : TaskOnSeq(k, timers),
      watched(false),
      nice_value(0),
      restart_policy(false),
      retries(0),
      retries_interval(0),
      external(false),
      user_known(false),
      uid(0),
      gid(0),
      remote(false),
      kill_timeout(TASK_KILL_TIMEOUT),
      restart_delay(0),
      ka_enable(KA_ENABLE_UNREAD),
      ka_period(KA_PERIOD),
      ka_warning(KA_WARNING),
      ka_warning_action(_TaskActionBase::none()),
      ka_error(KA_ERROR),
      ka_error_action(_TaskActionBase::none()) {
    // A supervised program writes where the daemon does unless told otherwise.
    output.config.mode = OutputConfig::Inherit;
    build_argv();
}

PsTask::PsTask(const PsTask& o)
    : TaskOnSeq(o),
      watched(o.watched),
      nice_value(o.nice_value),
      restart_policy(o.restart_policy),
      retries(o.retries),
      retries_interval(o.retries_interval),
      external(o.external),
      user(o.user),
      user_known(o.user_known),
      uid(o.uid),
      gid(o.gid),
      groups(o.groups),
      remote(o.remote),
      kill_timeout(o.kill_timeout),
      restart_delay(o.restart_delay),
      stop_policy{o.stop_policy.signal, o.stop_policy.signal_name, o.stop_policy.backoff_max, 0, 0},
      ka_enable(o.ka_enable),
      ka_period(o.ka_period),
      ka_warning(o.ka_warning),
      ka_warning_action(o.ka_warning_action),
      ka_error(o.ka_error),
      ka_error_action(o.ka_error_action) {
    build_argv();
}

PsTask::~PsTask() {
    if (restart_timer > 0) timer_handler->remove(restart_timer);
    drop_keep_alive();
    free_argv();
    // A list must not answer a look-up with a task that is gone.
    const std::vector<PsList*> holding = lists;
    for (PsList* list : holding) list->remove_ps(this);
}

void PsTask::set_pid(int p) {
    const int previous = pid;
    pid = p;
    for (PsList* list : lists) list->pid_changed(this, previous);
}

void PsTask::free_argv() {
    if (!argv) return;
    // Entry 0 is exec_path's text and is not owned.
    for (char** word = argv + 1; *word; ++word) free(*word);
    delete[] argv;
    argv = nullptr;
}

void PsTask::build_argv() {
    free_argv();
    std::vector<std::string> words;
    splitStr(args, " ", words);
    argv = new char*[words.size() + 2];
    argv[0] = nullptr;  // the path in force, filled in by get_argv()
    for (size_t i = 0; i < words.size(); ++i) argv[i + 1] = strdup(words[i].c_str());
    argv[words.size() + 1] = nullptr;
}

// The path may be composed after the arguments were set, and composing it
// may move its text: entry 0 is taken afresh each time.
char* const* PsTask::get_argv() const {
    argv[0] = const_cast<char*>(exec_path.c_str());
    return argv;
}

void PsTask::set_args(const char* text) {
    TaskSingle::set_args(text);
    build_argv();
}

void PsTask::set_user(const char* user) {
    if (!user || !*user) return;
    EV_TRACE(DL_TRACE, "PsTask::set_user");
    this->user = user;
    struct passwd* entry = getpwnam(user);
    user_known = entry != nullptr;
    if (!entry) {
        // Never root instead: such a program is not started.
        EV_TRACE(DL_WARNING, "PsTask::set_user, unknown user '%s'", user);
        return;
    }
    uid = entry->pw_uid;
    gid = entry->pw_gid;
    // Here, as the INI file is read, and not at each start: the name service
    // may be remote, and the loop must not wait for it.
    groups = Com_groupsOf(user, gid);
    EV_TRACE(DL_TRACE, "PsTask::set_user, user '%s', gid %d, uid %d", user, gid, uid);
}

long PsTask::uptime() const { return timer_handler ? timer_handler->now() : 0; }

keeperStatus PsTask::add_to_manager() {
    set_implement(IMPLEMENT_APP);
    if (keeper->add_process(this) != KEEPER_OK) return KEEPER_FAIL;
    return TaskOnSeq::add_to_manager();
}

keeperStatus PsTask::vet() {
    set_implement(IMPLEMENT_APP);
    return TaskOnSeq::vet();
}

bool PsTask::run_allowed() {
    if (last_exit_time == 0) return true;
    if (kill_request && !restart_request) {
        EV_TRACE(DL_NOTIFY, "No restart %s - Stopped manually.", name);
        return false;
    }
    if (!restart_policy) {
        EV_TRACE(DL_NOTIFY, "Cannot restart %s - No restart option.", name);
        return false;
    }
    if (retries == 0 && retries_interval == 0) return true;
    if (bad_kills.size() <= retries) return true;
    // The window is full: the restart is allowed only when the oldest counted
    // exit has left it.
    bad_kills[retries] = uptime();
    if (bad_kills[retries] - bad_kills.front() >= retries_interval) {
        bad_kills.pop_front();
        return true;
    }
    EV_TRACE(DL_ERROR, "Cannot restart %s - Limit exceeded.", name);
    return false;
}

SpawnPlan PsTask::spawn_plan() const {
    SpawnPlan plan;
    plan.file = exec_path;
    plan.argv = get_argv();
    plan.nice_value = nice_value;
    plan.change_ids = !user.empty();
    plan.ids_known = user_known;
    if (plan.change_ids && user_known) {
        plan.uid = uid;
        plan.gid = gid;
        plan.groups = groups;
    }
    return plan;
}

// The child cannot trace: it shares the daemon's memory, the trace file's
// buffer included. Its steps are traced here, in their order, once it has
// executed the program or given up.
void PsTask::trace_child_steps(const SpawnResult& child) const {
    if (child.failed == SpawnStep::ProcessGroup) {
        EV_TRACE(DL_ERROR, "Failed setting son PGID (%s). Exiting son.", strerror(child.error));
        return;
    }
    if (child.nice_error)
        EV_TRACE(DL_WARNING, "Couldn't set nice for %s (%s)", name, strerror(child.nice_error));
    if (child.failed == SpawnStep::Ids) {
        EV_TRACE(DL_WARNING, "Failed to set user/group ids of son [pid=%d] (%s). Exiting.",
                 child.pid, child.error ? strerror(child.error) : "unknown user");
        return;
    }
    if (!user.empty())
        EV_TRACE(DL_TRACE, "Son pid=%d, gid=%d, uid=%d after user/group ids change", child.pid, gid,
                 uid);
    EV_TRACE(DL_NOTIFY, "Run [%s]", command.c_str());
    if (child.failed == SpawnStep::Exec)
        EV_TRACE(DL_ERROR, "Couldn't execute %s (%s).", exec_path.c_str(), strerror(child.error));
}

void PsTask::life_event(LifeEvent event) {
    switch (event) {
        case LifeEvent::Spawned:
            kill_request = restart_request = run_request = false;
            break;
        case LifeEvent::StopSent:
            kill_request = true;
            break;
        case LifeEvent::RestartAsked:
            restart_request = true;
            break;
        case LifeEvent::ExplicitRun:
            // An operator who enables and runs a task that was stopped on
            // purpose wants it started: the stop mark must not refuse the
            // start. While the stopped program is still on its way out, the
            // start follows its exit.
            if (!kill_request || restart_request) break;
            if (pid != -1) {
                run_request = true;
                break;
            }
            kill_request = false;
            last_exit_time = 0;
            bad_kills.clear();
            break;
        case LifeEvent::Exited:
            own_child_reaped = true;
            last_exit_time = uptime();
            counters.ended(last_exit_time, !kill_request && !restart_request);
            if (restart_policy && (retries || retries_interval) && !kill_request &&
                !restart_request)
                bad_kills.push_back(last_exit_time);
            trace_exit();
            set_pid(-1);
            if (run_request) {
                run_request = false;
                life_event(LifeEvent::ExplicitRun);
            }
            break;
        case LifeEvent::StopHonoured:
            kill_request = false;
            break;
        case LifeEvent::StartAsked:
            bad_kills.clear();
            break;
    }
}

void PsTask::trace_exit() const {
    EV_TRACE(DL_TRACE,
             "Handling sigchld on task [%s], restart [%d], retries [%u],retries interval [%d], "
             "number of bad kills "
             "[%u], restart request [%d], kill request [%d]",
             name, restart_policy, retries, retries_interval,
             static_cast<unsigned>(bad_kills.size()), restart_request, kill_request);
}

keeperStatus PsTask::run() {
    EV_TRACE(DL_TRACE,
             "Trying to run task [%s], enabled [%d], pid [%d],active on bypass [%d], valid [%d]",
             name, enabled, pid, active_on_bypass, valid);
    if (!enabled || pid != -1) return KEEPER_OK;
    if (!mode_allows_run()) return KEEPER_OK;
    // A restart that was pending when the shutdown began is dropped.
    if (refused_by_shutdown()) return KEEPER_FAIL;
    if (!run_allowed() || !valid) {
        if (kill_request) {
            life_event(LifeEvent::StopHonoured);
            return KEEPER_FAIL;
        }
        EV_TRACE(DL_TRACE, "Task [%s], not allowed to run, activating action [%s] on failure", name,
                 failure_action ? failure_action->get_name() : "");
        run_failure_action(this);
        return KEEPER_FAIL;
    }
    clear_stale_copies();
    return spawn();
}

void PsTask::clear_stale_copies() {
    if (own_child_reaped) return;
    std::vector<int> copies = keeper ? keeper->get_ps_list().pids_of_cmdline(get_argv())
                                     : Com_getPidsOfCmdline(get_argv());
    kill_stale_copies(copies, "PsTask::run");
}

void PsTask::plan_output(SpawnPlan& plan, const NullOutput* null_output) {
    if (null_output) {
        plan.stdio[1] = plan.stdio[2] = null_output->fd();
        return;
    }
    TaskOutput* capture = output.prepared(timer_handler->get_engine(), name);
    if (!capture) return;
    plan.stdio[1] = capture->stdout_fd();
    plan.stdio[2] = capture->stderr_fd();
}

keeperStatus PsTask::spawn() {
    std::unique_ptr<NullOutput> null_output;
    if (output.config.mode == OutputConfig::Null) null_output.reset(new NullOutput);
    SpawnPlan plan = spawn_plan();
    plan_output(plan, null_output.get());
    // An early exit must not be reaped before its pid is known here.
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &previous);
    const SpawnResult child = Com_spawn(plan, previous);
    if (child.pid >= 0) {
        set_pid(child.pid);
        if (keeper) keeper->watch_child(pid);
        trace_child_steps(child);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (child.pid < 0) {
        EV_TRACE(DL_ERROR, "Couldn't create %s (%s)", name, strerror(child.error));
        return KEEPER_FAIL;
    }
    life_event(LifeEvent::Spawned);
    // Probes missed by the previous instance must not count against this one:
    // a program restarted by its keep-alive action would be acted on again at
    // its first probe.
    ka_missed = 0;
    if (external) status = 0;
    send_status_event(TASK_STATUS_UP);
    stop_policy.started = uptime();
    counters.started(stop_policy.started);
    EV_TRACE(DL_NOTIFY, "Started process %s (%d).", name, pid);
    arm_keep_alive();
    return KEEPER_OK;
}

keeperStatus PsTask::start() {
    EV_TRACE(DL_TRACE, "restart task %s", name);
    life_event(LifeEvent::StartAsked);
    return run();
}

void PsTask::prepare_explicit_run() { life_event(LifeEvent::ExplicitRun); }

keeperStatus PsTask::stop() {
    if (pid == -1) return KEEPER_OK;
    life_event(LifeEvent::StopSent);
    EV_TRACE(DL_TRACE, "PsTask::stop, sending quit request to process:%s, pid:%d", name, pid);
    timer_handler->add_kill(kill_timeout, pid, stop_policy.signal);
    timer_handler->add_kill(2 * kill_timeout, pid, SIGKILL);
    if (client) send_to_client(KEEPER_QUIT, 0, nullptr);
    return KEEPER_OK;
}

keeperStatus PsTask::restart() {
    EV_TRACE(DL_NOTIFY, "Restart process %s (%d) by request", name, pid);
    life_event(LifeEvent::RestartAsked);
    return stop();
}

keeperStatus PsTask::kill_task(int sig) {
    EV_TRACE(DL_TRACE, "PsTask::kill_task, signal [%d], process [%s], pid [%d]", sig, name, pid);
    if (pid == -1) return KEEPER_OK;
    life_event(LifeEvent::StopSent);
    EV_TRACE(DL_NOTIFY, "PsTask::kill, sending signal [%d] to process [%s], pid [%d]", sig, name,
             pid);
    kill(pid, sig);
    return KEEPER_OK;
}

void PsTask::handle_sigchld() {
    if (pid == -1) return;
    EV_TRACE(DL_NOTIFY, "Exited process %s (%d)", name, pid);
    output.program_exited();
    life_event(LifeEvent::Exited);
    client = nullptr;
    drop_keep_alive();
    send_status_event(TASK_STATUS_DOWN);
    const int pause = restart_pause();
    if (restart_policy && (!kill_request || restart_request))
        counters.restart_at = last_exit_time + pause;
    if (pause != 0)
        restart_timer =
            timer_handler->add(pause, &TimerHandler::run_task, static_cast<TaskOnSeq*>(this), -1);
    else
        run();
}

keeperStatus PsTask::handle_init_msg(ClientHandler* handler, int msg_pid, unsigned) {
    if (pid == -1) {
        EV_TRACE(DL_WARNING, "Got init confirmation from %s (%d) that is not chaild", name,
                 msg_pid);
        return KEEPER_FAIL;
    }
    EV_TRACE(DL_NOTIFY, "Got init confirmation from %s (%d)", name, msg_pid);
    status = 0;
    client = handler;
    keeper->update_next_level(level);
    return KEEPER_OK;
}

keeperStatus PsTask::handle_up_msg(ClientHandler*) {
    memset(events, 0, sizeof events);
    return KEEPER_OK;
}

void PsTask::handle_client_close() {
    EV_TRACE(DL_NOTIFY, "Connection closed by %s(%d)", name, pid);
    client = nullptr;
}

void PsTask::set_events(unsigned group, unsigned mask) {
    if (group < EVENT_GRP_LIMIT) events[group] = mask;
}

void PsTask::send_status_event(ConfigTaskStatus st) {
    ConfigTask record;
    memset(&record, 0, sizeof record);
    record.status = st;
    setWireText(record.task, name);
    config_taskH2NOrder(&record);
    keeper->send_event(EVENT_GRP_TASK, type, &record, sizeof record);
}

keeperStatus PsTask::send_to_client(unsigned msg_type, unsigned len, void* data) {
    if (!client) return KEEPER_FAIL;
    return client->send(msg_type, len, data);
}

keeperStatus PsTask::send_run_cb(unsigned id, const char* cb_args) {
    KeeperRunCbReply reply = {};
    reply.cbId = htonl(id);
    setWireText(reply.args, cb_args);
    return send_to_client(KEEPER_RUN_CB, sizeof reply, &reply);
}
