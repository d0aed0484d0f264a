#include "keeper/task_status.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>

#include "keeper/check_base.h"
#include "keeper/ps_task.h"
#include "reactor/ev_engine.h"

// ---------------------------------------------------------------------------
// Counters.

void TaskCounters::started(long now) {
    ++starts;
    if (exit_unexpected) ++restarts;
    exit_unexpected = false;
    last_start = now;
    restart_at = 0;
}

void TaskCounters::exit_status(int wait_status) { pending_status = wait_status; }

void TaskCounters::ended(long now, bool unexpected) {
    exited = true;
    exit_time = now;
    exit_unexpected = unexpected;
    exit_code = pending_status >= 0 && WIFEXITED(pending_status) ? WEXITSTATUS(pending_status) : -1;
    exit_signal = pending_status >= 0 && WIFSIGNALED(pending_status) ? WTERMSIG(pending_status) : 0;
    pending_status = -1;
}

namespace {

long long steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void CheckCounters::begin(long now) {
    last_run = now;
    began_ms = steady_ms();
}

void CheckCounters::finished(bool failed) {
    ++runs;
    if (failed) ++failures;
    last_duration_ms = static_cast<long>(steady_ms() - began_ms);
}

void DaemonCounters::reached(unsigned boot_level) {
    if (level_reached && boot_level <= level) return;
    level = boot_level;
    level_reached = true;
}

// ---------------------------------------------------------------------------
// Snapshot.

namespace {

const char* task_state(const PsTask& task, long now) {
    const TaskCounters& c = task.get_counters();
    if (!task.is_enabled()) return "disabled";
    if (task.is_remote()) return task.get_client() ? "running" : c.exited ? "exited" : "stopped";
    if (task.get_pid() > 0) return task.get_restart_request() ? "restarting" : "running";
    if (c.exited && now < c.restart_at) return "restarting";
    return c.exit_unexpected ? "exited" : "stopped";
}

// Uptime seconds to seconds since the epoch. The loop's clock counts whole
// seconds since boot, so a time is taken as the end of the second it fell in:
// never before what it stands for.
struct EpochOf {
    long uptime;  // now, as the tasks count
    double boot;  // the epoch's seconds at boot

    static EpochOf now(const EvClock& clock) {
        timespec wall, up;
        clock_gettime(CLOCK_REALTIME, &wall);
        clock_gettime(CLOCK_BOOTTIME, &up);
        return {clock.uptime(),
                double(wall.tv_sec - up.tv_sec) + (wall.tv_nsec - up.tv_nsec) / 1e9};
    }
    long operator()(long t) const { return t == 0 ? 0 : static_cast<long>(std::ceil(boot + t)); }
};

TaskStatusRow task_row(const PsTask& task, const EpochOf& epoch) {
    TaskStatusRow row{task.get_name(), task_state(task, epoch.uptime), task.get_pid(),
                      task.get_counters(), task.get_client() != nullptr};
    if (row.pid < 0) row.pid = 0;
    row.counters.last_start = epoch(row.counters.last_start);
    row.counters.exit_time = epoch(row.counters.exit_time);
    return row;
}

}  // namespace

StatusSnapshot collect_status(const StatusSources& from) {
    StatusSnapshot snap;
    const EpochOf epoch = EpochOf::now(from.clock);
    snap.pid = static_cast<int>(getpid());
    snap.daemon = from.daemon;
    if (from.boot_level >= 0) snap.daemon.reached(static_cast<unsigned>(from.boot_level));
    snap.now = from.clock.wallTime();
    for (const PsTask* task : from.tasks) snap.tasks.push_back(task_row(*task, epoch));
    for (const auto& level : from.check_levels)
        for (CheckBase* check : level.second->get_checks()) {
            CheckStatusRow row{check->get_name(), check->check_status() == 1,
                               check->get_counters()};
            row.counters.last_run = epoch(row.counters.last_run);
            snap.checks.push_back(row);
        }
    return snap;
}

// ---------------------------------------------------------------------------
// Rendering.

namespace {

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", ch);
            out += esc;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

// A number, or null when `known` is false.
std::string json_number(long long value, bool known = true) {
    return known ? std::to_string(value) : "null";
}

std::string json_task(const TaskStatusRow& t) {
    const TaskCounters& c = t.counters;
    return "{\"name\": " + json_string(t.name) + ", \"state\": " + json_string(t.state) +
           ", \"pid\": " + json_number(t.pid) + ", \"starts\": " + json_number(c.starts) +
           ", \"restarts\": " + json_number(c.restarts) +
           ", \"last_start\": " + json_number(c.last_start, c.last_start != 0) +
           ", \"last_exit_code\": " + json_number(c.exit_code, c.exited && c.exit_code >= 0) +
           ", \"last_exit_signal\": " + json_number(c.exit_signal, c.exited && c.exit_signal > 0) +
           ", \"last_exit_time\": " + json_number(c.exit_time, c.exited) +
           ", \"keepalive_missed\": " + json_number(static_cast<long long>(c.keepalive_missed)) +
           ", \"connected\": " + (t.connected ? "true" : "false") + "}";
}

std::string json_check(const CheckStatusRow& k) {
    const CheckCounters& c = k.counters;
    return "{\"name\": " + json_string(k.name) +
           ", \"failing\": " + (k.failing ? "true" : "false") +
           ", \"runs\": " + json_number(c.runs) + ", \"failures\": " + json_number(c.failures) +
           ", \"skipped\": " + json_number(c.skipped) +
           ", \"last_run\": " + json_number(c.last_run, c.last_run != 0) +
           ", \"last_duration_ms\": " + json_number(c.last_duration_ms, c.last_duration_ms >= 0) +
           "}";
}

template <typename Row, typename Fn>
std::string json_list(const std::vector<Row>& rows, Fn one) {
    std::string out = "[";
    for (size_t i = 0; i < rows.size(); ++i) out += (i ? ",\n  " : "\n  ") + one(rows[i]);
    return out + (rows.empty() ? "]" : "\n ]");
}

}  // namespace

std::string status_json(const StatusSnapshot& snap) {
    const DaemonCounters& d = snap.daemon;
    return "{\"daemon\": {\"pid\": " + json_number(snap.pid) +
           ", \"start_time\": " + json_number(d.start_time) +
           ", \"level\": " + json_number(d.level, d.level_reached) +
           ", \"clients\": " + json_number(d.clients) +
           ", \"events\": " + json_number(static_cast<long long>(d.events)) +
           "},\n \"tasks\": " + json_list(snap.tasks, json_task) +
           ",\n \"checks\": " + json_list(snap.checks, json_check) + "}";
}

std::string status_duration(long seconds) {
    if (seconds < 0) seconds = 0;
    const long units[] = {seconds / 86400, seconds / 3600 % 24, seconds / 60 % 60, seconds % 60};
    const char* names = "dhms";
    int first = 0;
    while (first < 3 && units[first] == 0) ++first;
    char text[32];
    if (first == 3)
        snprintf(text, sizeof text, "%lds", units[3]);
    else
        snprintf(text, sizeof text, "%ld%c%02ld%c", units[first], names[first], units[first + 1],
                 names[first + 1]);
    return text;
}

namespace {

using Cells = std::vector<std::string>;

std::string last_exit_text(const TaskCounters& c) {
    if (!c.exited) return "-";
    if (c.exit_signal > 0) return "signal " + std::to_string(c.exit_signal);
    if (c.exit_code >= 0) return "code " + std::to_string(c.exit_code);
    return "lost";
}

Cells task_cells(const TaskStatusRow& t, time_t now) {
    const TaskCounters& c = t.counters;
    const bool up = t.pid > 0 || (t.connected && c.last_start != 0);
    return {"task",
            t.name,
            t.state,
            t.pid > 0 ? std::to_string(t.pid) : "-",
            up ? status_duration(static_cast<long>(now) - c.last_start) : "-",
            std::to_string(c.starts),
            std::to_string(c.restarts),
            std::to_string(c.keepalive_missed),
            last_exit_text(c)};
}

Cells check_cells(const CheckStatusRow& k) {
    const CheckCounters& c = k.counters;
    return {"check",
            k.name,
            k.failing ? "failing" : "healthy",
            "-",
            "-",
            std::to_string(c.runs),
            std::to_string(c.failures),
            std::to_string(c.skipped),
            c.last_duration_ms >= 0 ? std::to_string(c.last_duration_ms) + "ms" : "-"};
}

std::string aligned(const std::vector<Cells>& rows) {
    std::vector<size_t> width(rows.front().size(), 0);
    for (const Cells& row : rows)
        for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    std::string out;
    for (const Cells& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i] + std::string(width[i] - row[i].size() + 2, ' ')
                                       : row[i];
        out += line + "\n";
    }
    return out;
}

}  // namespace

std::string status_table(const StatusSnapshot& snap) {
    std::vector<Cells> rows = {
        {"KIND", "NAME", "STATE", "PID", "UPTIME", "RUNS", "FAILED", "MISSED", "LAST"}};
    for (const TaskStatusRow& t : snap.tasks) rows.push_back(task_cells(t, snap.now));
    for (const CheckStatusRow& k : snap.checks) rows.push_back(check_cells(k));
    std::string text = aligned(rows);
    text.pop_back();  // the listing's reader ends it
    return text;
}

// ---------------------------------------------------------------------------
// Prometheus text format.

namespace {

std::string label_value(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\\' || ch == '"')
            out += '\\', out += ch;
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
    return out;
}

// The label set of each row: the name, and where names repeat the row's
// position, so that no two series are the same.
template <typename Row>
std::vector<std::string> label_sets(const char* label, const std::vector<Row>& rows) {
    std::map<std::string, int> seen;
    for (const Row& row : rows) ++seen[row.name];
    std::vector<std::string> sets;
    for (size_t i = 0; i < rows.size(); ++i) {
        std::string set = std::string("{") + label + "=\"" + label_value(rows[i].name) + "\"";
        if (seen[rows[i].name] > 1) set += ",index=\"" + std::to_string(i + 1) + "\"";
        sets.push_back(set + "}");
    }
    return sets;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string& out, const char* name, const std::string& labels, double value) {
    char number[40];
    snprintf(number, sizeof number, "%.15g", value);
    out.append(name).append(labels).append(" ").append(number).append("\n");
}

template <typename Row>
struct Series {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const Row&);
};

template <typename Row>
void families(std::string& out, const std::vector<Series<Row>>& series, const char* label,
              const std::vector<Row>& rows) {
    const std::vector<std::string> sets = label_sets(label, rows);
    for (const Series<Row>& s : series) {
        family(out, s.name, s.type, s.help);
        for (size_t i = 0; i < rows.size(); ++i) sample(out, s.name, sets[i], s.value(rows[i]));
    }
}

const std::vector<Series<TaskStatusRow>> kTaskSeries = {
    {"vardo_task_up", "gauge", "Whether the task's program runs (1) or not (0).",
     [](const TaskStatusRow& t) {
         return t.pid > 0 || std::string(t.state) == "running" ? 1.0 : 0.0;
     }},
    {"vardo_task_starts_total", "counter", "Starts of the task's program.",
     [](const TaskStatusRow& t) { return double(t.counters.starts); }},
    {"vardo_task_restarts_total", "counter", "Starts after an exit nobody asked for.",
     [](const TaskStatusRow& t) { return double(t.counters.restarts); }},
    {"vardo_task_last_start_time_seconds", "gauge", "Time of the last start since the epoch.",
     [](const TaskStatusRow& t) { return double(t.counters.last_start); }},
    {"vardo_task_last_exit_code", "gauge", "Exit code of the last exit, -1 when none.",
     [](const TaskStatusRow& t) { return double(t.counters.exited ? t.counters.exit_code : -1); }},
    {"vardo_task_last_exit_signal", "gauge", "Signal that ended the last run, 0 when none.",
     [](const TaskStatusRow& t) { return double(t.counters.exit_signal); }},
    {"vardo_task_keepalive_missed_total", "counter", "Keep-alive probes left unanswered.",
     [](const TaskStatusRow& t) { return double(t.counters.keepalive_missed); }},
};

const std::vector<Series<CheckStatusRow>> kCheckSeries = {
    {"vardo_check_failing", "gauge", "Whether the check is failing (1) or healthy (0).",
     [](const CheckStatusRow& k) { return k.failing ? 1.0 : 0.0; }},
    {"vardo_check_runs_total", "counter", "Runs of the check.",
     [](const CheckStatusRow& k) { return double(k.counters.runs); }},
    {"vardo_check_failures_total", "counter", "Failed runs of the check.",
     [](const CheckStatusRow& k) { return double(k.counters.failures); }},
    {"vardo_check_last_duration_seconds", "gauge", "How long the last run took.",
     [](const CheckStatusRow& k) {
         return k.counters.last_duration_ms < 0 ? 0.0 : k.counters.last_duration_ms / 1000.0;
     }},
};

}  // namespace

std::string status_metrics(const StatusSnapshot& snap) {
    std::string out;
    const DaemonCounters& d = snap.daemon;
    family(out, "vardo_start_time_seconds", "gauge", "Start time of the daemon since the epoch.");
    sample(out, "vardo_start_time_seconds", "", double(d.start_time));
    family(out, "vardo_boot_level", "gauge", "Highest boot level whose tasks were started.");
    sample(out, "vardo_boot_level", "", double(d.level));
    family(out, "vardo_clients", "gauge", "Client connections now.");
    sample(out, "vardo_clients", "", double(d.clients));
    family(out, "vardo_events_published_total", "counter", "Events the daemon sent out.");
    sample(out, "vardo_events_published_total", "", double(d.events));
    families(out, kTaskSeries, "task", snap.tasks);
    families(out, kCheckSeries, "check", snap.checks);
    return out;
}
