// vardo with many supervised programs, beside a minimal fork/exec supervisor
// measured in the same run (the floor): start-up until the last child runs,
// restart latency (SIGKILL to the new child's first instruction) with its
// median and p90, and the supervisor's CPU time per restart. Then vardo with
// one child and with the largest count in turns, a few rounds in one run:
// the two medians pooled over the rounds, whose ratio a drift of a shared
// machine between two distant phases does not make.
//
// scale_bench [vardo] [counts...]   (default counts 200 1000 2000)
// The supervised program is this binary in its child role: it reports its
// slot, pid and start time into a FIFO and waits to be killed.
#include <fcntl.h>
#include <linux/close_range.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_util.h"

namespace {

using bench::free_port;
using bench::now_us;
using bench::percentile;

const int kKills = 60;
// Alternating rounds; each side's kills are shared among them.
const int kRounds = 4;

int child_role(const char* fifo, const char* slot) {
    double start = now_us();
    int fd = open(fifo, O_WRONLY);
    if (fd < 0) return 1;
    dprintf(fd, "%s %d %.3f\n", slot, getpid(), start);
    close(fd);
    pause();
    return 0;
}

struct Report {
    int slot, pid;
    double start;
};

bool read_report(FILE* in, Report* r) {
    return fscanf(in, "%d %d %lf", &r->slot, &r->pid, &r->start) == 3;
}

// CPU time of a single-threaded process, in microseconds: the scheduler's
// nanosecond account, not the 10 ms ticks of /proc/PID/stat.
double cpu_us(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return ns / 1e3;
}

// The floor: forks and execs every child, and again each one that exits.
[[noreturn]] void minimal_supervisor(const std::string& prog, const std::string& fifo, int n) {
    std::vector<pid_t> slots(n);
    auto spawn = [&](int i) {
        pid_t pid = fork();
        if (pid == 0) {
            std::string slot = std::to_string(i);
            execl(prog.c_str(), prog.c_str(), "--child", fifo.c_str(), slot.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        slots[i] = pid;
    };
    for (int i = 0; i < n; ++i) spawn(i);
    for (;;) {
        pid_t gone = wait(nullptr);
        if (gone < 0) continue;
        for (int i = 0; i < n; ++i)
            if (slots[i] == gone) spawn(i);
    }
}

// A child started as vardo starts one: on the parent's memory and
// descriptor table until it executes its program, keeping only 0 to 2, so
// that no start copies a table of thousands of pidfds.
struct SharedStart {
    const char* argv[5];
    static int run(void* self) {
        close_range(3, ~0U, CLOSE_RANGE_UNSHARE);
        const char* const* argv = static_cast<SharedStart*>(self)->argv;
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    pid_t start() {
        static char stack[64 * 1024];
        return clone(run, stack + sizeof stack, CLONE_VM | CLONE_VFORK | CLONE_FILES | SIGCHLD,
                     this);
    }
};

// The floor reaping as vardo does: a pidfd per child in one epoll set, and
// each exit reaped through its own pidfd, so that no wait walks the
// children, and children started as vardo starts them. What grows with the
// children here is the kernel's.
[[noreturn]] void pidfd_supervisor(const std::string& prog, const std::string& fifo, int n) {
    int watch = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> pidfds(n, -1);
    std::vector<std::string> slots;
    for (int i = 0; i < n; ++i) slots.push_back(std::to_string(i));
    auto spawn = [&](int i) {
        SharedStart child{{prog.c_str(), "--child", fifo.c_str(), slots[i].c_str(), nullptr}};
        pidfds[i] = static_cast<int>(syscall(SYS_pidfd_open, child.start(), 0));
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(watch, EPOLL_CTL_ADD, pidfds[i], &ev);
    };
    for (int i = 0; i < n; ++i) spawn(i);
    for (epoll_event ready[64];;) {
        int count = epoll_wait(watch, ready, 64, -1);
        for (int k = 0; k < count; ++k) {
            const int i = static_cast<int>(ready[k].data.u32);
            siginfo_t info{};
            waitid(P_PIDFD, static_cast<id_t>(pidfds[i]), &info, WEXITED);
            close(pidfds[i]);
            spawn(i);
        }
    }
}

// Starts one of the floors in a process group of its own, which goes with
// it on SIGTERM.
pid_t start_floor(const std::string& prog, const std::string& fifo, int n,
                  void (*supervisor)(const std::string&, const std::string&, int)) {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        signal(SIGTERM, [](int) {
            kill(0, SIGKILL);
            _exit(0);
        });
        supervisor(prog, fifo, n);
        _exit(0);
    }
    return pid;
}

struct Result {
    double startup_ms = 0;
    std::vector<double> restart_us;
    double cpu_per_restart_us = 0;
    bool ok = false;
};

// Starts the supervisor with `launch`, waits for n children, kills `kills` of
// them one at a time and measures each restart.
template <typename Launch>
Result measure(int n, int kills, const std::string& fifo, Launch launch) {
    Result r;
    FILE* starts = fdopen(open(fifo.c_str(), O_RDWR), "r");
    std::vector<int> pids(n, -1);
    double t0 = now_us();
    pid_t sup = launch();
    Report rep;
    for (int seen = 0; seen < n; ++seen) {
        if (!read_report(starts, &rep)) return r;
        pids[rep.slot] = rep.pid;
    }
    r.startup_ms = (now_us() - t0) / 1000;
    usleep(200000);  // let the start-up settle before counting CPU
    double cpu0 = cpu_us(sup);
    for (int k = 0; k < kills; ++k) {
        int slot = static_cast<int>((k * 7919L) % n);
        double t = now_us();
        kill(pids[slot], SIGKILL);
        if (!read_report(starts, &rep)) return r;
        pids[rep.slot] = rep.pid;
        r.restart_us.push_back(rep.start - t);
    }
    r.cpu_per_restart_us = (cpu_us(sup) - cpu0) / kills;
    kill(sup, SIGTERM);
    // The daemon stops its programs itself; anything left goes now.
    for (int i = 0; i < 100 && waitpid(sup, nullptr, WNOHANG) == 0; ++i) usleep(100000);
    kill(sup, SIGKILL);
    waitpid(sup, nullptr, 0);
    for (int pid : pids) kill(pid, SIGKILL);
    fclose(starts);
    r.ok = true;
    return r;
}

void print(const char* who, int n, const Result& r) {
    printf(
        "%-6s %5d children: start-up %8.1f ms, restart median %7.1f us p90 %7.1f us, "
        "CPU/restart %6.1f us\n",
        who, n, r.startup_ms, percentile(r.restart_us, 0.5), percentile(r.restart_us, 0.9),
        r.cpu_per_restart_us);
}

struct Setup {
    const char* vardo;
    const bench::ScratchHome& home;
    std::string prog, fifo;
};

bool write_tasks(const Setup& s, int n) {
    std::string tasks;
    for (int i = 0; i < n; ++i)
        tasks += bench::ps_task_section("t" + std::to_string(i), s.prog,
                                        "--child " + s.fifo + " " + std::to_string(i));
    return s.home.write_ini(free_port(), tasks);
}

Result measure_vardo(const Setup& s, int n, int kills) {
    if (!write_tasks(s, n)) return Result();
    return measure(n, kills, s.fifo, [&] { return bench::start_vardo(s.vardo, s.home.path()); });
}

// vardo and the floor at n children; `first_median` is vardo's median at
// the first count, 0 before it is known.
bool measure_count(const Setup& s, int n, int first_count, double& first_median) {
    Result daemon = measure_vardo(s, n, kKills);
    Result floor = measure(n, kKills, s.fifo,
                           [&] { return start_floor(s.prog, s.fifo, n, minimal_supervisor); });
    if (!daemon.ok || !floor.ok) {
        fprintf(stderr, "scale_bench: measurement failed at %d children\n", n);
        return false;
    }
    print("vardo", n, daemon);
    print("floor", n, floor);
    printf("       ratios: start-up %.2f (target <= 2), restart median %.2f of the floor\n",
           daemon.startup_ms / floor.startup_ms,
           percentile(daemon.restart_us, 0.5) / percentile(floor.restart_us, 0.5));
    const double median = percentile(daemon.restart_us, 0.5);
    if (first_median == 0) first_median = median;
    printf("       vardo restart median %.2f of its figure at %d children\n", median / first_median,
           first_count);
    fflush(stdout);
    return true;
}

// One side of the alternating rounds: every round's restarts, and the mean
// of the rounds' CPU per restart.
struct Pooled {
    std::vector<double> restart_us;
    double cpu_per_restart_us = 0;
};

bool pool_round(const Result& r, Pooled& side) {
    if (!r.ok) return false;
    side.restart_us.insert(side.restart_us.end(), r.restart_us.begin(), r.restart_us.end());
    side.cpu_per_restart_us += r.cpu_per_restart_us / kRounds;
    return true;
}

Result measure_pidfd_floor(const Setup& s, int n) {
    return measure(n, kKills / kRounds, s.fifo,
                   [&] { return start_floor(s.prog, s.fifo, n, pidfd_supervisor); });
}

void print_pooled(const char* who, int largest, const Pooled& one, const Pooled& many) {
    const double median_one = percentile(one.restart_us, 0.5);
    const double median_many = percentile(many.restart_us, 0.5);
    printf(
        "  %-12s restart median %7.1f us at 1, %7.1f us at %d, ratio %.2f; "
        "CPU/restart %6.1f us at 1, %6.1f us at %d\n",
        who, median_one, median_many, largest, median_many / median_one, one.cpu_per_restart_us,
        many.cpu_per_restart_us, largest);
}

// vardo and the pidfd floor, each with one child then with `largest`,
// kRounds times over.
bool alternating_rounds(const Setup& s, int largest) {
    Pooled one, many, floor_one, floor_many;
    const int kills = kKills / kRounds;
    for (int round = 0; round < kRounds; ++round) {
        if (!pool_round(measure_vardo(s, 1, kills), one) ||
            !pool_round(measure_vardo(s, largest, kills), many) ||
            !pool_round(measure_pidfd_floor(s, 1), floor_one) ||
            !pool_round(measure_pidfd_floor(s, largest), floor_many)) {
            fprintf(stderr, "scale_bench: alternating round %d failed\n", round + 1);
            return false;
        }
    }
    printf(
        "alternating rounds: %d x (1 child, %d children), %d kills each per round "
        "(target: vardo's ratio <= 1.1)\n",
        kRounds, largest, kills);
    print_pooled("vardo", largest, one, many);
    print_pooled("pidfd floor", largest, floor_one, floor_many);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--child") == 0) return child_role(argv[2], argv[3]);
    const char* vardo = argc > 1 ? argv[1] : BENCH_VARDO_PATH;
    std::vector<int> counts;
    for (int i = 2; i < argc; ++i) counts.push_back(atoi(argv[i]));
    if (counts.empty()) counts = {1, 200, 1000, 2000};
    rlimit files = {8192, 8192};
    setrlimit(RLIMIT_NOFILE, &files);

    bench::ScratchHome home("scale_bench");
    Setup setup{vardo, home, "", ""};
    if (!home.ok() || !bench::make_victim(home, setup.prog, setup.fifo)) return 1;

    printf("vardo: %s; floor: a minimal fork/exec supervisor, same run\n", vardo);
    double first_median = 0;
    for (int n : counts)
        if (!measure_count(setup, n, counts.front(), first_median)) return 1;
    const int largest = *std::max_element(counts.begin(), counts.end());
    if (largest > 1 && !alternating_rounds(setup, largest)) return 1;
    return 0;
}
