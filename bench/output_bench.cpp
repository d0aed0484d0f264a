// Capturing programs' output: vardo against s6-log, and supervision while
// programs write fast, in one run.
//
// Throughput: one producer writes `MB` megabytes of 100-byte lines as fast
// as it can, (a) into s6-log (time stamps, 1 MiB files), (b) as a task of
// vardo with "output = log" and a 1 MiB limit. Each time runs from the
// producer's first instruction to the last line in the log (s6-log's exit
// for (a); the final line seen in the file for (b)).
//
// Supervision: KEEPER_PRINT_PS round trips and restart latencies of another
// program (SIGKILL to the new instance's first instruction), with vardo idle
// and while ten programs each write 10 MB/s into their logs.
//
// output_bench [path to vardo] [MB, default 100]. Needs s6-log on PATH.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/keeper_requests.h"

namespace {

using bench::now_us;
using bench::percentile;

const size_t kLine = 100;
const int kFlooders = 10;
const long kFloodRate = 10 * 1000 * 1000;  // bytes a second each
const int kTickMs = 10;
const int kRequests = 300;
const useconds_t kRequestGap = 15000;
const int kKills = 30;
const useconds_t kKillGap = 100000;
const double kPhaseBudgetUs = 15e6;
const useconds_t kSettleUs = 2000000;
const char kEnd[] = "END-OF-OUTPUT";

// `count` lines of kLine bytes, numbered from `first`.
std::string lines(long first, long count) {
    std::string line(kLine - 1, '.');
    line += '\n';
    std::string text;
    char number[24];
    for (long i = 0; i < count; ++i) {
        snprintf(number, sizeof number, "%010ld", (first + i) % 10000000000L);
        line.replace(0, 10, number, 10);
        text += line;
    }
    return text;
}

bool write_all(const std::string& text) {
    return writeAll(1, text.data(), static_cast<ssize_t>(text.size()));
}

// Producer role: reports its start into the FIFO, writes `bytes`, then the
// end mark.
int produce(const char* fifo, long bytes) {
    const double start = now_us();
    int fd = open(fifo, O_WRONLY);
    if (fd < 0) return 1;
    dprintf(fd, "%d %.3f\n", getpid(), start);
    close(fd);
    const long per_write = 64 * 1024 / kLine;
    for (long n = 0; n * static_cast<long>(kLine) < bytes; n += per_write)
        if (!write_all(lines(n, per_write))) return 1;
    return write_all(std::string(kEnd) + "\n") ? 0 : 1;
}

// Flooder role: kFloodRate bytes a second, in a write every kTickMs.
int flood() {
    const long per_tick = kFloodRate / (1000 / kTickMs) / static_cast<long>(kLine);
    const std::string burst = lines(0, per_tick);
    for (double next = now_us();; next += kTickMs * 1000.0) {
        if (!write_all(burst)) return 1;
        const double wait = next + kTickMs * 1000.0 - now_us();
        if (wait > 0) usleep(static_cast<useconds_t>(wait));
    }
}

std::string tail_of(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return "";
    char buf[256];
    const off_t size = lseek(fd, 0, SEEK_END);
    const ssize_t n = pread(fd, buf, sizeof buf, size > 256 ? size - 256 : 0);
    close(fd);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// s6-log fed by the producer; seconds from the producer's start to the end.
double s6_seconds(const bench::ScratchHome& home, const std::string& self, long bytes) {
    const std::string fifo = home / "s6.start", dir = home / "s6";
    if (mkfifo(fifo.c_str(), 0600) != 0) return -1;
    bench::VictimReports reports(fifo);
    int ends[2];
    if (!reports.ok() || pipe(ends) != 0) return -1;
    const pid_t producer = fork();
    if (producer == 0) {
        dup2(ends[1], 1);
        close(ends[0]);
        close(ends[1]);
        execl(self.c_str(), "producer", "--produce", fifo.c_str(), std::to_string(bytes).c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    const pid_t logger = fork();
    if (logger == 0) {
        dup2(ends[0], 0);
        close(ends[0]);
        close(ends[1]);
        execlp("s6-log", "s6-log", "t", "s1048576", "n2", dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[0]);
    close(ends[1]);
    int pid;
    double start = 0;
    const bool started = reports.next(&pid, &start, 10e6);
    int status = 0;
    waitpid(producer, nullptr, 0);
    waitpid(logger, &status, 0);
    const double end = now_us();
    return started && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? (end - start) / 1e6 : -1;
}

std::string task(const std::string& name, const std::string& program, const std::string& args,
                 const std::string& keys) {
    return "[tasks/" + name + "]\ntype = ps\nname = " + program + "\nargs = " + args +
           "\nlevel = 1\nmust = no\nkaEnable = no\n" + keys;
}

// vardo capturing the producer; seconds from its start to the end mark in
// the log.
double vardo_seconds(const char* vardo, const std::string& self, long bytes) {
    bench::ScratchHome home("output_bench");
    const std::string fifo = home / "start", program = home / "producer";
    if (!home.ok() || mkfifo(fifo.c_str(), 0600) != 0 ||
        symlink(self.c_str(), program.c_str()) != 0)
        return -1;
    bench::VictimReports reports(fifo);
    const std::string args = "--produce " + fifo + " " + std::to_string(bytes);
    if (!home.write_ini(bench::free_port(),
                        task("producer", program, args, "output = log\noutput size = 1M\n")))
        return -1;
    const pid_t daemon = bench::start_vardo(vardo, home.path());
    int pid;
    double start = 0, end = 0;
    if (reports.next(&pid, &start, 10e6)) {
        const std::string log = home / "log/producer.out";
        for (double give_up = now_us() + 120e6; now_us() < give_up; usleep(2000)) {
            if (tail_of(log).find(kEnd) == std::string::npos) continue;
            end = now_us();
            break;
        }
    }
    bench::stop_child(daemon, 5000);
    return end > 0 ? (end - start) / 1e6 : -1;
}

struct Supervision {
    std::vector<double> listing;
    std::vector<double> restart;
};

// Listing and restart figures with `flooders` programs writing fast.
bool supervise(const char* vardo, const std::string& self, int flooders, Supervision& out) {
    bench::ScratchHome home("output_bench");
    std::string victim, fifo;
    if (!home.ok() || !bench::make_victim(home, victim, fifo)) return false;
    const std::string flooder = home / "flooder";
    if (symlink(self.c_str(), flooder.c_str()) != 0) return false;
    std::string sections = bench::ps_task_section("victim", victim, "--child " + fifo);
    for (int i = 0; i < flooders; ++i)
        sections += task("flood" + std::to_string(i), flooder, "--flood",
                         "output = log\noutput size = 1M\n");
    const int port = bench::free_port();
    bench::VictimReports reports(fifo);
    if (!reports.ok() || !home.write_ini(port, sections)) return false;
    const pid_t daemon = bench::start_vardo(vardo, home.path());
    int pid = -1;
    double start;
    if (reports.next(&pid, &start, 10e6)) {
        usleep(kSettleUs);
        out.listing = bench::print_ps_round_trips(port, kRequests, kRequestGap, kPhaseBudgetUs);
        out.restart = bench::restart_latencies(reports, pid, kKills, kKillGap, kPhaseBudgetUs);
    }
    bench::stop_child(daemon, 5000);
    while (pid > 0 && kill(pid, SIGKILL) == 0 && reports.next(&pid, &start, 200000)) {
    }
    return !out.listing.empty() && !out.restart.empty();
}

void print_latency(const char* what, const std::vector<double>& idle,
                   const std::vector<double>& busy) {
    printf("%-8s %10.1f %10.1f %10.1f %10.1f %8.2f %8.2f\n", what, percentile(idle, 0.5),
           percentile(idle, 0.99), percentile(busy, 0.5), percentile(busy, 0.99),
           percentile(busy, 0.5) / percentile(idle, 0.5),
           percentile(busy, 0.99) / percentile(idle, 0.99));
}

int run(const char* vardo, long megabytes) {
    const std::string self = bench::self_path();
    const long bytes = megabytes * 1000 * 1000;
    bench::ScratchHome s6home("output_bench");
    const double s6 = s6home.ok() ? s6_seconds(s6home, self, bytes) : -1;
    const double ours = vardo_seconds(vardo, self, bytes);
    if (s6 <= 0 || ours <= 0) {
        fprintf(stderr, "output_bench: throughput not measured (s6-log %.2f s, vardo %.2f s)\n", s6,
                ours);
        return 1;
    }
    printf("throughput, %ld MB of %zu-byte lines:\n", megabytes, kLine);
    printf("  s6-log %7.1f MB/s   vardo %7.1f MB/s   vardo/s6-log %.2f (target >= 0.8)\n",
           megabytes / s6, megabytes / ours, s6 / ours);
    fflush(stdout);
    Supervision idle, busy;
    if (!supervise(vardo, self, 0, idle) || !supervise(vardo, self, kFlooders, busy)) {
        fprintf(stderr, "output_bench: supervision not measured\n");
        return 1;
    }
    printf("supervision, idle and with %d programs writing %ld MB/s each (us):\n", kFlooders,
           kFloodRate / 1000000);
    printf("%-8s %10s %10s %10s %10s %8s %8s\n", "", "idle med", "idle p99", "busy med", "busy p99",
           "med x", "p99 x");
    print_latency("listing", idle.listing, busy.listing);
    print_latency("restart", idle.restart, busy.restart);
    printf("(target: busy <= 1.2 x idle)\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--produce") == 0) return produce(argv[2], atol(argv[3]));
    if (argc == 2 && strcmp(argv[1], "--flood") == 0) return flood();
    if (argc == 3 && strcmp(argv[1], "--child") == 0) return bench::victim_role(argv[2]);
    const char* vardo = argc > 1 ? argv[1] : BENCH_VARDO_PATH;
    const long megabytes = argc > 2 ? atol(argv[2]) : 100;
    return run(vardo, megabytes > 0 ? megabytes : 100);
}
