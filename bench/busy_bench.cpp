// The daemon's loop while it runs programs of its own, against the same
// daemon idle, in one run.
//
// Idle: vardo supervises one program (restart = yes, restart delay 0) and
// runs nothing else. Busy: the same, plus ten checks every second, each a
// script that sleeps 1 s and exits 0 (run timeout 2), and four further
// checks that fail and succeed in turn, each result starting one of the
// check's two actions, a script that sleeps 1 s: every check's pair keeps
// one 1-s program running. In each scenario, after a few seconds for the
// checks to settle: KEEPER_PRINT_PS round trips over TCP, 15 ms apart over
// about five seconds, then restarts of the supervised program (SIGKILL to
// the new instance's first instruction), each with median and p99. The
// scripts log every run, so the table also says how many of the daemon's
// programs were started per second while it was measured.
//
// busy_bench [path to vardo]. The supervised program is this binary in its
// child role, as in keeper_bench. Each phase gives up after kPhaseBudgetUs,
// so a daemon that waits for its programs on its loop ends the run too, with
// fewer samples.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/keeper_requests.h"

namespace {

using bench::now_us;
using bench::percentile;

const int kRequests = 300;
const useconds_t kRequestGap = 15000;
const int kKills = 30;
const useconds_t kKillGap = 100000;
const double kPhaseBudgetUs = 15e6;
const useconds_t kSettleUs = 3000000;
const double kFirstStartUs = 10e6;
const int kChecks = 10;
const int kWorkers = 4;

// An executable script in the home; its path.
std::string write_script(const bench::ScratchHome& home, const std::string& name,
                         const std::string& body) {
    std::string path = home / name;
    FILE* out = fopen(path.c_str(), "w");
    if (out == nullptr) return "";
    fputs(body.c_str(), out);
    return fclose(out) == 0 && chmod(path.c_str(), 0755) == 0 ? path : "";
}

std::string check_section(const std::string& name, const std::string& program,
                          const std::string& keys) {
    return "[checks/" + name + "]\nimplement = App\nname = " + program +
           "\nlevel = 1\ninterval = 1\n" + keys;
}

// An action named after the last component of its program's path.
std::string action_section(const std::string& program) {
    return "[actions/" + program.substr(program.rfind('/') + 1) +
           "]\nimplement = App\nname = " + program + "\n";
}

// A check whose results alternate, with one action for each: the check's
// run every second starts one of them, and each runs 1 s of every 2.
std::string worker_sections(const bench::ScratchHome& home, const std::string& nap,
                            const std::string& flip, int i) {
    std::string id = std::to_string(i);
    std::string on_failure = home / ("work" + id + "a"), on_success = home / ("work" + id + "b");
    if (symlink(nap.c_str(), on_failure.c_str()) != 0 ||
        symlink(nap.c_str(), on_success.c_str()) != 0)
        return "";
    return action_section(on_failure) + action_section(on_success) +
           check_section("flip" + id, flip,
                         "args = " + home / ("flip" + id + ".state") +
                             "\nmust = no\naction on failure = work" + id +
                             "a\naction on success = work" + id + "b\n");
}

// The busy scenario's checks and actions; "" when a script could not be
// made. Every run appends a line to "runs": "n" for a 1-s one.
std::string busy_sections(const bench::ScratchHome& home) {
    std::string runs = home / "runs";
    std::string nap =
        write_script(home, "nap", "#!/bin/sh\necho n >> " + runs + "\nexec sleep 1\n");
    std::string flip =
        write_script(home, "flip",
                     "#!/bin/sh\necho f >> " + runs +
                         "\nif [ -e \"$1\" ]; then rm -f \"$1\"; exit 1; fi\n: > \"$1\"\n");
    if (nap.empty() || flip.empty()) return "";
    std::string sections;
    for (int i = 0; i < kChecks; ++i)
        sections += check_section("nap" + std::to_string(i), nap, "run timeout = 2\n");
    for (int i = 0; i < kWorkers; ++i) {
        std::string worker = worker_sections(home, nap, flip, i);
        if (worker.empty()) return "";
        sections += worker;
    }
    return sections;
}

struct RunCount {
    long naps = 0;
    long all = 0;
};

RunCount count_runs(const std::string& log) {
    RunCount count;
    FILE* in = fopen(log.c_str(), "r");
    if (in == nullptr) return count;
    for (int c; (c = fgetc(in)) != EOF;) {
        if (c == 'n') ++count.naps;
        if (c == '\n') ++count.all;
    }
    fclose(in);
    return count;
}

struct Figures {
    std::vector<double> listing;
    std::vector<double> restart;
    double naps_per_s = 0;
    double runs_per_s = 0;
};

void measure(int port, bench::VictimReports& reports, int& pid, const std::string& log,
             Figures& out) {
    RunCount before = count_runs(log);
    double t0 = now_us();
    out.listing = bench::print_ps_round_trips(port, kRequests, kRequestGap, kPhaseBudgetUs);
    out.restart = bench::restart_latencies(reports, pid, kKills, kKillGap, kPhaseBudgetUs);
    RunCount after = count_runs(log);
    double seconds = (now_us() - t0) / 1e6;
    out.naps_per_s = (after.naps - before.naps) / seconds;
    out.runs_per_s = (after.all - before.all) / seconds;
}

// Stops the daemon, then whatever instance of the supervised program it
// left: one that did not stop its programs in time leaves the last one.
void stop_all(pid_t daemon, bench::VictimReports& reports, int pid) {
    bench::stop_child(daemon, 5000);
    double start;
    do {
        if (pid > 0) kill(pid, SIGKILL);
    } while (reports.next(&pid, &start, 200000));
}

bool run_scenario(const char* vardo, bool busy, Figures& out) {
    bench::ScratchHome home("busy_bench");
    std::string victim, fifo;
    if (!home.ok() || !bench::make_victim(home, victim, fifo)) return false;
    std::string extra = busy ? busy_sections(home) : "";
    int port = bench::free_port();
    if ((busy && extra.empty()) ||
        !home.write_ini(port, bench::ps_task_section("victim", victim, "--child " + fifo) + extra))
        return false;
    bench::VictimReports reports(fifo);
    if (!reports.ok()) return false;
    pid_t daemon = bench::start_vardo(vardo, home.path());
    int pid = -1;
    double start;
    if (reports.next(&pid, &start, kFirstStartUs)) {
        usleep(kSettleUs);
        measure(port, reports, pid, home / "runs", out);
    }
    stop_all(daemon, reports, pid);
    return pid > 0;
}

bool complete(const Figures& f) { return !f.listing.empty() && !f.restart.empty(); }

// "median p99" of the samples, "- -" when there are none.
std::string cells(const std::vector<double>& v) {
    char text[64] = "         -          -";
    if (!v.empty())
        snprintf(text, sizeof text, "%10.1f %10.1f", percentile(v, 0.5), percentile(v, 0.99));
    return text;
}

void print_row(const char* scenario, const Figures& f) {
    printf("%-9s %s %5zu %s %4zu %9.1f %9.1f\n", scenario, cells(f.listing).c_str(),
           f.listing.size(), cells(f.restart).c_str(), f.restart.size(), f.naps_per_s,
           f.runs_per_s);
}

// "median p99" of busy over idle, "- -" when either has no samples.
std::string ratios(const std::vector<double>& busy, const std::vector<double>& idle) {
    char text[64] = "         -          -";
    if (!busy.empty() && !idle.empty())
        snprintf(text, sizeof text, "%10.2f %10.2f", percentile(busy, 0.5) / percentile(idle, 0.5),
                 percentile(busy, 0.99) / percentile(idle, 0.99));
    return text;
}

void print_table(const Figures& idle, const Figures& busy) {
    printf("%-9s %10s %10s %5s %10s %10s %4s %9s %9s\n", "scenario", "list med", "list p99", "n",
           "restart med", "p99", "n", "1-s run/s", "all run/s");
    print_row("idle", idle);
    print_row("busy", busy);
    printf("%-9s %s %5s %s   (target <= 1.2)\n", "busy/idle",
           ratios(busy.listing, idle.listing).c_str(), "",
           ratios(busy.restart, idle.restart).c_str());
    printf(
        "times in us; listing: KEEPER_PRINT_PS round trip; restart: SIGKILL to new instance;\n"
        "n: answers or restarts seen, each phase given %.0f s\n",
        kPhaseBudgetUs / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--child") == 0) return bench::victim_role(argv[2]);
    const char* vardo = argc > 1 ? argv[1] : BENCH_VARDO_PATH;
    printf("vardo: %s\n", vardo);
    fflush(stdout);
    Figures idle, busy;
    if (!run_scenario(vardo, false, idle) || !run_scenario(vardo, true, busy)) {
        fprintf(stderr, "busy_bench: the scenario could not be set up\n");
        return 1;
    }
    print_table(idle, busy);
    return complete(idle) && complete(busy) ? 0 : 1;
}
