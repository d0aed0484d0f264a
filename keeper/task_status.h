// What happened to the tasks and checks since the daemon started: the
// counters they keep, a snapshot of them at one moment, and that snapshot as
// a table, as JSON and in the Prometheus text format.
//
// The counters take the loop's clock (uptime seconds) that the tasks read
// anyway, so keeping them costs a restart no system call; the snapshot turns
// those times into seconds since the epoch when it is taken.
#ifndef KEEPER_TASK_STATUS_H
#define KEEPER_TASK_STATUS_H

#include <ctime>
#include <map>
#include <string>
#include <vector>

class CheckLevel;
class EvClock;
class PsTask;

// One task's history. Times are uptime seconds, 0 for never.
struct TaskCounters {
    unsigned starts = 0;
    // Starts after an exit that nobody asked for (a crash loop shows, an
    // operator's restart does not).
    unsigned restarts = 0;
    long last_start = 0;
    bool exited = false;
    int exit_code = -1;   // -1: the last exit was no normal exit
    int exit_signal = 0;  // 0: no signal ended it
    long exit_time = 0;
    bool exit_unexpected = false;
    // Until then an exit is followed by a start (a restart delay runs).
    long restart_at = 0;
    unsigned long keepalive_missed = 0;

    void started(long now);
    // The wait status of the exit about to be reported; an exit reported
    // without one (a lost connection) has neither code nor signal.
    void exit_status(int wait_status);
    void ended(long now, bool unexpected);

private:
    int pending_status = -1;
};

// One check's runs. Times are uptime seconds, 0 for never.
struct CheckCounters {
    unsigned runs = 0;
    unsigned failures = 0;
    unsigned skipped = 0;
    long last_run = 0;
    long last_duration_ms = -1;  // -1: no run has ended

    // A run begins now; its result comes with finished().
    void begin(long now);
    void finished(bool failed);

private:
    long long began_ms = 0;
};

// The daemon as a whole.
struct DaemonCounters {
    time_t start_time = 0;  // seconds since the epoch
    unsigned level = 0;     // highest boot level whose tasks were run
    bool level_reached = false;
    unsigned clients = 0;  // connections now
    unsigned long events = 0;

    void reached(unsigned boot_level);
};

// A snapshot with every time in seconds since the epoch (0 for none).
struct TaskStatusRow {
    std::string name;
    const char* state;  // running, stopped, restarting, exited, disabled
    int pid;            // 0 when none
    TaskCounters counters;
    bool connected;
};

struct CheckStatusRow {
    std::string name;
    bool failing;
    CheckCounters counters;
};

struct StatusSnapshot {
    int pid = 0;
    DaemonCounters daemon;
    time_t now = 0;
    std::vector<TaskStatusRow> tasks;
    std::vector<CheckStatusRow> checks;
};

// What a snapshot is taken from; the daemon fills it in.
struct StatusSources {
    const EvClock& clock;
    DaemonCounters daemon;
    long boot_level;  // -1: no level reached yet
    const std::vector<PsTask*>& tasks;
    const std::map<unsigned, CheckLevel*>& check_levels;
};

StatusSnapshot collect_status(const StatusSources& from);

std::string status_json(const StatusSnapshot& snap);
std::string status_table(const StatusSnapshot& snap);
// Prometheus text exposition format, version 0.0.4.
std::string status_metrics(const StatusSnapshot& snap);
// "3d04h", "12m05s", "7s".
std::string status_duration(long seconds);

#endif
