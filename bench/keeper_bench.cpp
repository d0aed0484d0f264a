// Restart latency of a program supervised by vardo (SIGKILL to the new
// child's first instruction, restart delay 0) beside the floor of a bare
// fork+exec of the same program, and the round trip of KEEPER_PRINT_PS.
//
// Run as root or any user: keeper_bench [path to vardo]. With
// BENCH_SILENT_NTP=n, and only inside the end-to-end namespaces
// (tests/e2e/ns_run.sh, whose /etc is private), the daemon also probes n time
// servers every second that never answer: compare the round trip with a run
// without. The supervised
// program is this binary itself, under another name, in its child role: it
// reports its pid and start time into a FIFO and waits to be killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/keeper_requests.h"

namespace {

using bench::free_port;
using bench::now_us;
using bench::percentile;

const int kKills = 50;
const int kRoundTrips = 200;
// Far more than a run takes: only a daemon that stopped answering meets it.
const double kBudgetUs = 60e6;
const double kReportTimeoutUs = 5e6;

// Time servers 127.0.0.30 on that take requests and never answer, listed in
// the private /etc/ntp.conf; the sockets stay open for the whole run.
std::string silent_ntp_servers(int n) {
    std::string servers;
    for (int i = 0; i < n; ++i) {
        std::string address = "127.0.0." + std::to_string(30 + i);
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(123);
        inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
        if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "";
        servers += "server " + address + "\n";
    }
    mkdir("/etc/rc.d", 0755);
    std::ofstream("/etc/rc.d/rc.conf") << "#! /bin/sh\n";
    std::ofstream("/etc/ntp.conf") << servers;
    return "[checks/ntp]\nname = NTP_RemCheck\nlevel = 1\ninterval = 1\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--child") == 0) return bench::victim_role(argv[2]);
    const char* vardo = argc > 1 ? argv[1] : BENCH_VARDO_PATH;
    bench::ScratchHome home("keeper_bench");
    std::string victim, fifo;
    if (!home.ok() || !bench::make_victim(home, victim, fifo)) return 1;
    int port = free_port();
    std::string checks;
    if (const char* silent = getenv("BENCH_SILENT_NTP")) {
        const char* private_etc = getenv("VARDO_E2E_NS");
        if (!private_etc || strcmp(private_etc, "1") != 0 ||
            (checks = silent_ntp_servers(atoi(silent))).empty()) {
            fprintf(stderr, "keeper_bench: BENCH_SILENT_NTP needs tests/e2e/ns_run.sh\n");
            return 1;
        }
    }
    if (!home.write_ini(port, bench::ps_task_section("victim", victim, "--child " + fifo) + checks))
        return 1;
    bench::VictimReports starts(fifo);
    if (!starts.ok()) return 1;

    pid_t daemon = bench::start_vardo(vardo, home.path());
    int pid;
    double start;
    if (!starts.next(&pid, &start, kReportTimeoutUs)) return 1;

    std::vector<double> restart = bench::restart_latencies(starts, pid, kKills, 0, kBudgetUs);
    // With or without probes, the requests span three seconds: several
    // probe rounds, each waiting for its silent servers.
    std::vector<double> ps = bench::print_ps_round_trips(port, kRoundTrips, 15000, kBudgetUs);
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);

    std::vector<double> floor;
    for (int i = 0; i < kKills; ++i) {
        double t0 = now_us();
        pid_t child = fork();
        if (child == 0) {
            execl(victim.c_str(), victim.c_str(), "--child", fifo.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        if (!starts.next(&pid, &start, kReportTimeoutUs)) break;
        floor.push_back(start - t0);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }

    if (restart.empty() || floor.empty() || ps.empty()) {
        fprintf(stderr, "keeper_bench: measurement failed\n");
        return 1;
    }
    double med = percentile(restart, 0.5), floor_med = percentile(floor, 0.5);
    printf("restart latency (SIGKILL to new child), %zu kills: median %.1f us, p90 %.1f us\n",
           restart.size(), med, percentile(restart, 0.9));
    printf("fork+exec floor, %zu runs: median %.1f us, p90 %.1f us\n", floor.size(), floor_med,
           percentile(floor, 0.9));
    printf("ratio of median restart latency to floor: %.2f (target <= 3)\n", med / floor_med);
    printf("KEEPER_PRINT_PS round trip, %zu requests: median %.1f us, p90 %.1f us\n", ps.size(),
           percentile(ps, 0.5), percentile(ps, 0.9));
    return 0;
}
