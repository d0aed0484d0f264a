#include "keeper/program_runner.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "keeper/child_watch.h"
#include "support/ev_debug.h"
#include "support/run_prog.h"
#include "support/spawn.h"

namespace {

RunOutcome outcome_of(int status) {
    RunOutcome outcome;
    if (WIFEXITED(status)) {
        outcome.kind = RunOutcome::Exited;
        outcome.code = WEXITSTATUS(status);
    } else {
        outcome.kind = RunOutcome::Signaled;
        outcome.code = WTERMSIG(status);
    }
    return outcome;
}

}  // namespace

std::string RunOutcome::text() const {
    switch (kind) {
        case Exited:
            return "exit " + std::to_string(code);
        case Signaled:
            return "signal " + std::to_string(code);
        case TimedOut:
            return "killed at its deadline";
        default:
            return "not started";
    }
}

ProgramRunner::ProgramRunner(EvEngine* e, ChildWatch* c)
    : alarms(e), children(c), null_fd(open("/dev/null", O_RDWR | O_CLOEXEC)) {}

ProgramRunner::~ProgramRunner() {
    for (auto& entry : runs)
        if (entry.second.output_fd >= 0) close(entry.second.output_fd);
    if (null_fd >= 0) close(null_fd);
}

ProgramRunner::Job ProgramRunner::shell(const std::string& line, long deadline) {
    return program({"/bin/sh", "-c", line}, deadline);
}

ProgramRunner::Job ProgramRunner::program(std::vector<std::string> argv, long deadline) {
    Job job;
    job.argv = std::move(argv);
    job.deadline = deadline;
    return job;
}

int ProgramRunner::start(Job job) {
    if (job.argv.empty()) return -1;
    if (job.deadline < 1) job.deadline = 1;
    Run run;
    run.id = ++last_id;
    run.job = std::move(job);
    if (queue_busy(run.job.queue)) {
        enqueue(std::move(run));
        return last_id;
    }
    const int id = run.id;
    return launch(run) ? id : -1;
}

bool ProgramRunner::queue_busy(const std::string& queue) const {
    if (queue.empty()) return false;
    if (queue_running(queue)) return true;
    auto waiting = queued.find(queue);
    return waiting != queued.end() && !waiting->second.empty();
}

// A coalescing run takes the place of a waiting run of the same program, so
// that the latest arguments win and a burst costs one more run at most.
void ProgramRunner::enqueue(Run run) {
    std::deque<Run>& waiting = queued[run.job.queue];
    if (run.job.coalesce) {
        for (Run& older : waiting) {
            if (!older.job.coalesce || older.job.argv[0] != run.job.argv[0]) continue;
            EV_TRACE(DL_TRACE, "ProgramRunner::start, [%s] replaces queued [%s]",
                     commandLineText(run.job.argv).c_str(),
                     commandLineText(older.job.argv).c_str());
            older = std::move(run);
            return;
        }
    }
    EV_TRACE(DL_TRACE, "ProgramRunner::start, [%s] waits behind queue %s",
             commandLineText(run.job.argv).c_str(), run.job.queue.c_str());
    run.queued_ms = PreciseTimers::now_ms();
    const int id = run.id;
    if (run.job.deadline_includes_wait)
        run.wait_timer =
            alarms.add(run.job.deadline * 1000, [this, id] { wait_deadline_passed(id); });
    waiting.push_back(std::move(run));
}

long long ProgramRunner::time_left(Run& run) {
    alarms.cancel(run.wait_timer);
    run.wait_timer = -1;
    const long long whole = run.job.deadline * 1000LL;
    if (!run.job.deadline_includes_wait || run.queued_ms == 0) return whole;
    return std::max(1LL, whole - (PreciseTimers::now_ms() - run.queued_ms));
}

bool ProgramRunner::launch(Run& run) {
    std::vector<char*> argv;
    for (std::string& word : run.job.argv) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    SpawnPlan plan;
    plan.file = argv[0];
    plan.argv = argv.data();
    plan.stdio[0] = plan.stdio[1] = plan.stdio[2] = null_fd;
    if (run.job.out_fd >= 0) plan.stdio[1] = run.job.out_fd;
    if (run.job.err_fd >= 0) plan.stdio[2] = run.job.err_fd;
    // The loop does not wait until the program has been executed either.
    plan.wait_for_exec = false;
    if (run.job.capture) {
        run.output_fd = memfd_create("vardo-run", MFD_CLOEXEC);
        if (run.output_fd >= 0) plan.stdio[1] = run.output_fd;
    }
    // The daemon's own mask: the program must see signals as a fresh one.
    sigset_t mask;
    sigemptyset(&mask);
    const SpawnResult child = Com_spawn(plan, mask);
    if (child.pid < 0) {
        EV_TRACE(DL_ERROR, "ProgramRunner::start, cannot run [%s] (%s)",
                 commandLineText(run.job.argv).c_str(), strerror(child.error));
        if (run.output_fd >= 0) close(run.output_fd);
        return false;
    }
    run.pid = child.pid;
    const pid_t pid = child.pid;
    if (children) children->watch(pid);
    run.deadline_timer = alarms.add(time_left(run), [this, pid] { deadline_passed(pid); });
    EV_TRACE(DL_TRACE, "ProgramRunner::start, [%s] pid %d, deadline %ld s",
             commandLineText(run.job.argv).c_str(), child.pid, run.job.deadline);
    runs.emplace(child.pid, std::move(run));
    return true;
}

bool ProgramRunner::child_exited(pid_t pid, int status) {
    auto found = runs.find(pid);
    if (found == runs.end()) return false;
    Run run = std::move(found->second);
    runs.erase(found);
    alarms.cancel(run.deadline_timer);
    RunOutcome outcome = outcome_of(status);
    EV_TRACE(DL_TRACE, "ProgramRunner::child_exited, [%s] pid %d: %s",
             commandLineText(run.job.argv).c_str(), pid, outcome.text().c_str());
    if (!run.timed_out) {
        outcome.output = read_output(run);
        finish(run, outcome);
    }
    if (run.output_fd >= 0) close(run.output_fd);
    start_next(run.job.queue);
    return true;
}

std::string ProgramRunner::read_output(Run& run) {
    std::string out;
    if (run.output_fd < 0) return out;
    char chunk[4096];
    off_t at = 0;
    while (out.size() < run.job.max_output) {
        const ssize_t got = pread(run.output_fd, chunk, sizeof chunk, at);
        if (got <= 0) break;
        out.append(chunk, std::min(static_cast<size_t>(got), run.job.max_output - out.size()));
        at += got;
    }
    return out;
}

// The callback may start further runs: it is taken out of the run first.
void ProgramRunner::finish(Run& run, const RunOutcome& outcome) {
    Done done = std::move(run.job.done);
    run.job.done = nullptr;
    if (done) done(outcome);
}

void ProgramRunner::start_next(const std::string& queue) {
    if (queue.empty()) return;
    auto waiting = queued.find(queue);
    while (waiting != queued.end() && !waiting->second.empty() && !queue_running(queue)) {
        Run next = std::move(waiting->second.front());
        waiting->second.pop_front();
        if (!launch(next)) {
            RunOutcome failed;
            finish(next, failed);
        }
        waiting = queued.find(queue);
    }
}

bool ProgramRunner::queue_running(const std::string& queue) const {
    for (const auto& entry : runs)
        if (entry.second.job.queue == queue) return true;
    return false;
}

void ProgramRunner::deadline_passed(pid_t pid) {
    auto found = runs.find(pid);
    if (found == runs.end()) return;
    Run& run = found->second;
    alarms.cancel(run.deadline_timer);
    run.deadline_timer = -1;
    run.timed_out = true;
    EV_TRACE(DL_WARNING, "ProgramRunner, [%s] pid %d passed its deadline of %ld s, stopped",
             commandLineText(run.job.argv).c_str(), pid, run.job.deadline);
    ::kill(-pid, SIGTERM);
    arm_group_kill(pid);
    RunOutcome outcome;
    outcome.kind = RunOutcome::TimedOut;
    finish(run, outcome);
}

void ProgramRunner::wait_deadline_passed(int id) {
    Run run;
    if (!take_queued(id, run)) return;
    EV_TRACE(DL_WARNING, "ProgramRunner, [%s] passed its deadline of %ld s in queue %s",
             commandLineText(run.job.argv).c_str(), run.job.deadline, run.job.queue.c_str());
    RunOutcome outcome;
    outcome.kind = RunOutcome::TimedOut;
    finish(run, outcome);
}

bool ProgramRunner::take_queued(int id, Run& taken) {
    for (auto& queue : queued)
        for (auto at = queue.second.begin(); at != queue.second.end(); ++at) {
            if (at->id != id) continue;
            alarms.cancel(at->wait_timer);
            taken = std::move(*at);
            queue.second.erase(at);
            return true;
        }
    return false;
}

void ProgramRunner::arm_group_kill(pid_t pgid) {
    alarms.add(kKillGrace * 1000, [this, pgid] { kill_group(pgid); });
}

// Whatever of the group is left after the grace gets SIGKILL, the leader
// included when it ignored SIGTERM.
void ProgramRunner::kill_group(pid_t pgid) { ::kill(-pgid, SIGKILL); }

const ProgramRunner::Run* ProgramRunner::find_running(int id) const {
    for (const auto& entry : runs)
        if (entry.second.id == id) return &entry.second;
    return nullptr;
}

ProgramRunner::Run* ProgramRunner::find_running(int id) {
    return const_cast<Run*>(static_cast<const ProgramRunner*>(this)->find_running(id));
}

bool ProgramRunner::active(int id) const {
    if (id <= 0) return false;
    if (find_running(id)) return true;
    for (const auto& queue : queued)
        for (const Run& run : queue.second)
            if (run.id == id) return true;
    return false;
}

void ProgramRunner::forget(int id) {
    if (Run* run = find_running(id)) run->job.done = nullptr;
    for (auto& queue : queued)
        for (Run& run : queue.second)
            if (run.id == id) run.job.done = nullptr;
}

void ProgramRunner::kill(int id) {
    if (Run* run = find_running(id)) {
        run->job.done = nullptr;
        ::kill(-run->pid, SIGKILL);
        return;
    }
    Run dropped;
    take_queued(id, dropped);
}

void ProgramRunner::stop_all(int sig) {
    for (auto& queue : queued)
        for (Run& run : queue.second) alarms.cancel(run.wait_timer);
    queued.clear();
    for (auto& entry : runs) {
        entry.second.job.done = nullptr;
        ::kill(-entry.first, sig);
    }
}

size_t ProgramRunner::running_count() const { return runs.size(); }

pid_t ProgramRunner::pid_of(int id) const {
    const Run* run = find_running(id);
    return run ? run->pid : -1;
}
