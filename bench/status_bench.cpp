// What the status counters and the metrics file cost a restart: restart
// latency (SIGKILL to the new child's first instruction, restart delay 0) of
// vardo without and with a "metrics file", and of another build of the
// daemon (the one before the counters) when given, all in one run. Rounds
// alternate between the configurations, so that the machine's drift falls
// on each alike.
//
// status_bench [vardo] [vardo built before the counters]
// The supervised program is this binary in its child role (bench_util.h).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "bench/bench_util.h"

namespace {

using bench::percentile;

const int kRounds = 6;
const int kKillsPerRound = 100;
// A few hundred restarts a second: the metrics file changes all the time and
// is written once a second, in the middle of them.
const useconds_t kGapUs = 2000;
const double kBudgetUs = 60e6;
const double kReportTimeoutUs = 5e6;

struct Config {
    const char* label;
    const char* vardo;
    bool metrics;
    std::vector<double> latencies;
};

// One round of one configuration: a fresh daemon, kKillsPerRound restarts.
bool run_round(Config& config, const bench::ScratchHome& home, const std::string& victim,
               const std::string& fifo, bench::VictimReports& starts) {
    std::string general;
    if (config.metrics) general = "metrics file = " + (home / "vardo.prom") + "\n";
    if (!home.write_ini(bench::free_port(),
                        general + bench::ps_task_section("victim", victim, "--child " + fifo)))
        return false;
    pid_t daemon = bench::start_vardo(config.vardo, home.path());
    int pid;
    double start;
    bool ok = starts.next(&pid, &start, kReportTimeoutUs);
    if (ok) {
        std::vector<double> got =
            bench::restart_latencies(starts, pid, kKillsPerRound, kGapUs, kBudgetUs);
        ok = got.size() == kKillsPerRound;
        config.latencies.insert(config.latencies.end(), got.begin(), got.end());
    }
    bench::stop_child(daemon, 5000);
    // The last program goes with the daemon; its report must not reach the next round.
    kill(pid, SIGKILL);
    return ok;
}

double mean(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0) / values.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--child") == 0) return bench::victim_role(argv[2]);
    std::vector<Config> configs = {
        {"metrics file off", argc > 1 ? argv[1] : BENCH_VARDO_PATH, false, {}},
        {"metrics file on", argc > 1 ? argv[1] : BENCH_VARDO_PATH, true, {}}};
    if (argc > 2) configs.push_back({"before the counters", argv[2], false, {}});
    bench::ScratchHome home("status_bench");
    std::string victim, fifo;
    if (!home.ok() || !bench::make_victim(home, victim, fifo)) return 1;
    bench::VictimReports starts(fifo);
    if (!starts.ok()) return 1;
    for (int round = 0; round < kRounds; ++round)
        for (Config& config : configs)
            if (!run_round(config, home, victim, fifo, starts)) {
                fprintf(stderr, "status_bench: %s: measurement failed\n", config.label);
                return 1;
            }
    const Config& base = argc > 2 ? configs.back() : configs.front();
    for (const Config& c : configs)
        printf(
            "%-20s %4zu restarts: median %7.1f us, p90 %7.1f us, mean %7.1f us; median %.3fx "
            "of %s\n",
            c.label, c.latencies.size(), percentile(c.latencies, 0.5), percentile(c.latencies, 0.9),
            mean(c.latencies), percentile(c.latencies, 0.5) / percentile(base.latencies, 0.5),
            base.label);
    return 0;
}
