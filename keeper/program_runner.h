// Programs the daemon runs for itself: appliance scripts, host tools, check
// and action commands, boot tasks, stop procedures.
//
// The loop never waits for one. A run is started and the caller goes on;
// its exit comes back through the daemon's child-exit path (child_exited),
// and the caller's completion callback then runs on the loop with the
// outcome. Every run has a deadline: it leads its own process group, which
// gets SIGTERM at the deadline and SIGKILL kKillGrace seconds later, so no
// child that stayed in the group outlives it. A program that started a
// service in a session of its own leaves that service alone.
//
// Runs that name a queue never overlap: the next one starts when the
// previous one is gone (reaped), not merely past its deadline. A run marked
// `coalesce` replaces a run of the same program still waiting in its queue,
// so a burst of requests for one script runs it at most twice, the second
// time with the latest arguments.
#ifndef KEEPER_PROGRAM_RUNNER_H
#define KEEPER_PROGRAM_RUNNER_H

#include <sys/types.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "keeper/precise_timers.h"

class ChildWatch;
class EvEngine;

struct RunOutcome {
    enum Kind { Exited, Signaled, TimedOut, NotStarted };
    Kind kind = NotStarted;
    int code = 0;        // exit status (Exited) or signal (Signaled)
    std::string output;  // standard output, when it was asked for
    bool ok() const { return kind == Exited && code == 0; }
    // "exit 3", "signal 9", "killed at its deadline", "not started".
    std::string text() const;
};

class ProgramRunner {
public:
    using Done = std::function<void(const RunOutcome&)>;
    // Seconds between SIGTERM and SIGKILL to a group past its deadline.
    static const long kKillGrace = 2;

    struct Job {
        // argv[0] without "/" is looked up in PATH. Standard input is
        // /dev/null, standard output and error too unless given here or the
        // output is captured.
        std::vector<std::string> argv;
        int out_fd = -1;
        int err_fd = -1;
        long deadline = 60;  // seconds, at least 1
        std::string queue;   // "" runs at once, beside anything else
        bool coalesce = false;
        bool capture = false;  // standard output into RunOutcome::output
        size_t max_output = 1 << 20;
        // The deadline counts from start(), time spent waiting in the queue
        // included: for a run whose caller answers a client by then.
        bool deadline_includes_wait = false;
        Done done;  // may be empty; runs on the loop, at most once
    };

    // `children`, when given, is told of every program started.
    explicit ProgramRunner(EvEngine* engine, ChildWatch* children = nullptr);
    ~ProgramRunner();
    ProgramRunner(const ProgramRunner&) = delete;
    ProgramRunner& operator=(const ProgramRunner&) = delete;

    // A command line of the operator's INI file, run by "/bin/sh -c".
    static Job shell(const std::string& line, long deadline);
    // Separate arguments, no shell: for everything built from a request.
    static Job program(std::vector<std::string> argv, long deadline);

    // Starts the job, or queues it behind its queue's running job. Answers
    // the run's id (> 0), or -1 when no process could be made: then `done`
    // is not called. A queued job that later fails so is reported through
    // `done` as NotStarted; a program that cannot be executed exits 127.
    int start(Job job);
    // The loop's child-exit path: true when pid was one of the runner's.
    bool child_exited(pid_t pid, int status);

    // Queued or running (a run past its deadline runs until it is reaped).
    bool active(int id) const;
    // The run's callback will not be called; the run itself goes on.
    void forget(int id);
    // SIGKILL to the run's group at once (a queued run is dropped); its
    // callback is not called.
    void kill(int id);
    // Shutdown: every running group gets `sig`, queued runs are dropped, no
    // callback is called any more.
    void stop_all(int sig);
    size_t running_count() const;
    // The process (and group) of a running run; -1 when it does not run.
    pid_t pid_of(int id) const;

    // What the runner's timers do; tests call them in place of the clock.
    void deadline_passed(pid_t pid);
    void kill_group(pid_t pgid);
    void wait_deadline_passed(int id);

private:
    struct Run {
        int id = 0;
        Job job;
        pid_t pid = -1;
        int deadline_timer = -1;
        int output_fd = -1;
        bool timed_out = false;
        long long queued_ms = 0;  // when it was queued, 0: never
        int wait_timer = -1;
    };

    bool launch(Run& run);
    // Milliseconds of its deadline still to come when it starts now.
    long long time_left(Run& run);
    void finish(Run& run, const RunOutcome& outcome);
    void start_next(const std::string& queue);
    bool queue_busy(const std::string& queue) const;
    bool queue_running(const std::string& queue) const;
    void enqueue(Run run);
    const Run* find_running(int id) const;
    Run* find_running(int id);
    // Takes a waiting run out of its queue; false when none has that id.
    bool take_queued(int id, Run& taken);
    std::string read_output(Run& run);
    void arm_group_kill(pid_t pgid);

    PreciseTimers alarms;
    ChildWatch* children;
    int last_id = 0;
    int null_fd = -1;
    std::map<pid_t, Run> runs;                      // by pid
    std::map<std::string, std::deque<Run>> queued;  // by queue
};

#endif
