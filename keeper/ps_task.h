// A program that the daemon starts with fork and exec and then supervises:
// exit handling, restart policy, the staged stop and its init confirmation.
#ifndef KEEPER_PS_TASK_H
#define KEEPER_PS_TASK_H

#include <csignal>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "keeper/callback_ps.h"
#include "keeper/task_output.h"
#include "keeper/task_status.h"
#include "keeper/tasks.h"
#include "support/ini_compat.h"
#include "support/spawn.h"

class ClientHandler;
class IniFile;
class PsList;
class _TaskActionBase;

// The life cycle of a task's program. The state lies in the process id, the
// time of the last exit and three marks:
//
//   Idle        no program, and never exited (or re-armed by an explicit
//               enable-and-run): run() starts it without asking the restart
//               policy
//   Running     a program, no mark
//   Stopping    a program asked to go (stop, a signal, a keep-alive action):
//               kill_request; its exit does not bring it back
//   Restarting  a program asked to go and come back: kill_request and
//               restart_request; its exit runs it again as far as the
//               restart policy allows
//   Stopping, run after
//               a stop under way when an explicit enable-and-run came:
//               kill_request and run_request
//   Exited      no program, last_exit_time set: run() asks the stop mark,
//               the restart policy and the retry window
//
// The events and what they change, all in life_event():
//   Spawned       -> Running: every mark cleared
//   StopSent      -> Stopping (Restarting when a restart was asked)
//   RestartAsked  restart_request, before the stop is sent
//   ExplicitRun   Stopping -> Stopping, run after; Exited after a stop ->
//                 Idle (retry window emptied); otherwise nothing
//   Exited        -> Exited; an exit nobody asked for counts against the
//                 retry window; Stopping, run after -> Idle
//   StopHonoured  Exited after a stop: run() refused because of the stop,
//                 and the stop mark goes; a later start asks the policy
//   StartAsked    a start request: the retry window is emptied
// The retry window (bad_kills) slides in run_allowed(), where an old exit
// leaves it.
enum class LifeEvent {
    Spawned,
    StopSent,
    RestartAsked,
    ExplicitRun,
    Exited,
    StopHonoured,
    StartAsked
};

class PsTask : public TaskOnSeq {
public:
    PsTask(TaskHost* keeper, TimerHandler* timers);
    // A clone of a template task: its configuration, none of its run state.
    PsTask(const PsTask& other);
    ~PsTask() override;

    void set_args(const char* text) override;
    using TaskOnSeq::run;
    keeperStatus run() override;
    keeperStatus stop() override;
    keeperStatus add_to_manager() override;
    keeperStatus vet() override;

    virtual keeperStatus start();
    virtual keeperStatus kill_task(int sig);
    virtual keeperStatus restart();
    virtual keeperStatus handle_up_msg(ClientHandler* handler);
    virtual keeperStatus handle_init_msg(ClientHandler* handler, int pid, unsigned extra);
    virtual void handle_client_close();

    void handle_sigchld();
    bool run_allowed();
    void set_user(const char* user);
    void set_events(unsigned group, unsigned mask);
    unsigned get_events(unsigned group) const {
        return group < EVENT_GRP_LIMIT ? events[group] : 0;
    }
    void send_status_event(ConfigTaskStatus st);
    // Sends a message to the program's connection; 2 when it has none.
    keeperStatus send_to_client(unsigned type, unsigned len, void* data);
    keeperStatus send_run_cb(unsigned id, const char* cb_args);

    // Reads the keep-alive keys of the task's INI section.
    keeperStatus ka_read_config(const IniFile& ini, const char* section);
    keeperStatus check_alive();
    keeperStatus check_alive_ack();
    unsigned get_ka_period_config() const { return ka_enable ? ka_period : 0; }

    void set_watched(bool w) { watched = w; }
    void set_nice(int n) { nice_value = n; }
    void set_restart(bool r) { restart_policy = r; }
    void set_retries(unsigned r) { retries = r; }
    void set_retries_interval(int i) { retries_interval = i; }
    void set_kill_timeout(int t) {
        if (t != 0) kill_timeout = t;
    }
    void set_restart_delay(int d) { restart_delay = d; }
    // The signal a stop sends once the kill timeout has passed (SIGTERM when
    // empty); an unknown name leaves the task invalid.
    void set_stop_signal(const char* signal_name);
    int get_stop_signal() const { return stop_policy.signal; }
    // The longest pause between restarts of a program that keeps dying young
    // (0: every restart waits the restart delay).
    void set_restart_backoff(int seconds) { stop_policy.backoff_max = seconds; }
    keeperStatus validate() override;

    int get_pid() const { return pid; }
    // Takes a running program found by name as this task's (or -1 for none).
    void adopt_pid(int p) { set_pid(p); }
    ClientHandler* get_client() const { return client; }
    void set_client(ClientHandler* handler) { client = handler; }
    CallbackPool& get_callbacks() { return callbacks; }
    int get_kill_timeout() const { return kill_timeout; }
    int get_restart_delay() const { return restart_delay; }
    bool is_external() const { return external; }
    bool is_remote() const { return remote; }
    bool get_kill_request() const { return kill_request; }
    bool get_restart_request() const { return restart_request; }
    size_t bad_kill_count() const { return bad_kills.size(); }
    int get_last_exit_time() const { return last_exit_time; }
    const TaskCounters& get_counters() const { return counters; }
    TaskCounters& get_counters() { return counters; }
    char* const* get_argv() const;

protected:
    // The one writer of the pid: the lists that hold the task look it up by
    // pid, and learn every change here.
    void set_pid(int p);
    void prepare_explicit_run() override;
    // The one place where the life-cycle marks change (see above).
    void life_event(LifeEvent event);

private:
    friend struct PsTaskSeam;
    // A list records itself here as it takes the task, and goes as it drops it.
    friend class PsList;
    // The steps of run(): SIGKILL to copies of the command line left by an
    // earlier daemon (before the first exit of a program forked here only),
    // then fork and exec.
    void clear_stale_copies();
    keeperStatus spawn();
    void trace_exit() const;
    // Seconds to wait before restarting the program that just exited.
    int restart_pause();
    void free_argv();
    void build_argv();
    SpawnPlan spawn_plan() const;
    // The program's 1 and 2 in the plan; `null_output` is held open by
    // the caller until the program has started.
    void plan_output(SpawnPlan& plan, const NullOutput* null_output);
    void trace_child_steps(const SpawnResult& child) const;

protected:
    long uptime() const;
    // Arms the keep-alive probe when it is enabled and not armed yet.
    void arm_keep_alive();
    void drop_keep_alive();

    bool watched;
    int nice_value;
    bool restart_policy;
    unsigned retries;
    int retries_interval;
    bool external;
    char** argv = nullptr;
    CallbackPool callbacks;
    unsigned events[EVENT_GRP_LIMIT] = {};
    // The named user ("" for none) and whether it was found; uid, gid and
    // its supplementary groups are its ids then.
    std::string user;
    bool user_known;
    unsigned uid;
    unsigned gid;
    std::vector<gid_t> groups;
    bool remote;
    int kill_timeout;
    int restart_delay;
    struct StopPolicy {
        int signal = SIGTERM;
        std::string signal_name;  // as configured, for the trace
        int backoff_max = 0;
        int last_pause = 0;  // of the current series of young deaths
        long started = 0;    // uptime at the last start
    } stop_policy;
    // The state of a running program: a copy of the task starts without it.
    ClientHandler* client = nullptr;
    bool ka_enable;
    int ka_period;
    unsigned ka_missed = 0;
    unsigned ka_warning;
    _TaskActionBase* ka_warning_action;
    unsigned ka_error;
    _TaskActionBase* ka_error_action;
    int ka_timer = 0;
    // The pending start after an exit; a task deleted before it fires takes
    // it along.
    int restart_timer = 0;
    // What happened to the task since the daemon started; a copy starts anew.
    TaskCounters counters;

private:
    // Changed through set_pid() only; a copy of the task starts without it.
    int pid = -1;
    // The lists that hold the task (usually one): a copy is in none.
    std::vector<PsList*> lists;
    // The life-cycle marks; changed in life_event() only (the retry window
    // also slides in run_allowed()).
    std::deque<int> bad_kills;
    int last_exit_time = 0;
    bool restart_request = false;
    bool kill_request = false;
    // An explicit enable-and-run arrived while a stop was still under way.
    bool run_request = false;
    // A program of this task forked here has been reaped: from then on no
    // copy of an earlier daemon can be left, and starts skip the search.
    bool own_child_reaped = false;
};

#endif
