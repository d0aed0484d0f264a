// vardo beside runit, in the same run: the supervisor's memory (PSS from
// /proc/PID/smaps_rollup) with 1 and with 50 programs, and the operator's
// tool as a whole process (fork, exec, wait) against runit's.
//
// footprint_bench [vardo [vardoctl [another vardoctl...]]]
// Every program supervised is "sleep" (through a link in the scratch home,
// so that no other sleep on the machine shares its command line). runit's
// memory is that of runsvdir and of every runsv. The tool runs "vardoctl -l"
// against the daemon with one program and "sv status" on the one service of
// runit, alternately, kRuns times each; further vardoctl builds given on the
// command line (a fully static one, say) take their turn too. Run inside
// tests/e2e/ns_run.sh, vardoctl also writes its administration log as it
// does on the appliance; elsewhere it finds no log folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_util.h"

namespace {

using bench::now_us;
using bench::percentile;

const int kRuns = 300;
// Past start-up: the daemon releases what only its start-up used a moment
// (up to 2 s) after its boot sequence.
const useconds_t kSettleUs = 3000000;
const char kRunsvdir[] = "/usr/bin/runsvdir";
const char kSv[] = "/usr/bin/sv";
const char kSleep[] = "/bin/sleep";

bool read_text(const std::string& path, std::string& text) {
    FILE* in = fopen(path.c_str(), "r");
    if (in == nullptr) return false;
    text.clear();
    char block[4096];
    for (size_t n; (n = fread(block, 1, sizeof block, in)) > 0;) text.append(block, n);
    fclose(in);
    return true;
}

// The processes whose parent is `parent`.
std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (dirent* entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        std::string stat;
        if (pid <= 0 || !read_text("/proc/" + std::to_string(pid) + "/stat", stat)) continue;
        size_t close = stat.rfind(')');
        int ppid = 0;
        if (close != std::string::npos && sscanf(stat.c_str() + close + 2, "%*c %d", &ppid) == 1 &&
            ppid == parent)
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

std::string comm_of(pid_t pid) {
    std::string comm;
    read_text("/proc/" + std::to_string(pid) + "/comm", comm);
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    return comm;
}

// Waits until `ready` holds, at most `ms`.
template <typename Ready>
bool wait_until(Ready ready, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (ready()) return true;
        usleep(20000);
    }
    return ready();
}

// Kilobytes of the "Pss:" line of smaps_rollup.
long pss_kb(pid_t pid) {
    std::string text;
    if (!read_text("/proc/" + std::to_string(pid) + "/smaps_rollup", text)) return -1;
    size_t at = text.find("\nPss:");
    return at == std::string::npos ? -1 : atol(text.c_str() + at + 5);
}

// PSS of each mapped file (anonymous memory as "[anon]"), in kilobytes.
std::map<std::string, long> pss_by_mapping(pid_t pid) {
    std::map<std::string, long> sizes;
    std::string text;
    if (!read_text("/proc/" + std::to_string(pid) + "/smaps", text)) return sizes;
    std::string current = "[anon]";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        char name[4096] = "";
        unsigned long from, to;
        if (sscanf(line.c_str(), "%lx-%lx %*s %*s %*s %*s %4095s", &from, &to, name) >= 2) {
            const char* base = strrchr(name, '/');
            current = name[0] == '\0' ? "[anon]" : base ? base + 1 : name;
        } else if (line.compare(0, 4, "Pss:") == 0) {
            sizes[current] += atol(line.c_str() + 4);
        }
    }
    return sizes;
}

// Wall time of one run of `argv` with its output thrown away; -1 when it
// did not exit with status 0.
double run_us(const std::vector<const char*>& argv) {
    double t0 = now_us();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double took = now_us() - t0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took : -1;
}

// The program file's pages leave the page cache, so that the next start
// reads them from the disk as a boot does. Pages a linker or strip has just
// written sit in the cache in large blocks, which the kernel maps whole on
// a fault: the resident size would then depend on how the file was made.
void read_from_disk_next_time(const char* program) {
    int fd = open(program, O_RDONLY);
    if (fd < 0) return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

// vardo with `n` programs; its pid once every program runs, or -1.
pid_t start_vardo_with(const char* vardo, const bench::ScratchHome& home, int port, int n) {
    std::string tasks;
    for (int i = 0; i < n; ++i)
        tasks += bench::ps_task_section("t" + std::to_string(i), home / "sleep",
                                        std::to_string(100000 + i));
    if (!home.write_ini(port, tasks)) return -1;
    read_from_disk_next_time(vardo);
    pid_t pid = bench::start_vardo(vardo, home.path());
    auto all_running = [&] {
        std::vector<pid_t> kids = children_of(pid);
        int sleeping = 0;
        for (pid_t kid : kids) sleeping += comm_of(kid) == "sleep";
        return sleeping == n;
    };
    if (!wait_until(all_running, 20000)) {
        bench::stop_child(pid, 5000);
        return -1;
    }
    return pid;
}

// runit: runsvdir over `n` services, each running the same sleep.
struct Runit {
    pid_t runsvdir = -1;
    std::string dir;
    std::vector<pid_t> runsv;

    bool start(const bench::ScratchHome& home, int n) {
        dir = home / ("runit" + std::to_string(n));
        mkdir(dir.c_str(), 0755);
        for (int i = 0; i < n; ++i) {
            std::string service = dir + "/s" + std::to_string(i);
            mkdir(service.c_str(), 0755);
            std::string run = service + "/run";
            FILE* script = fopen(run.c_str(), "w");
            if (script == nullptr) return false;
            fprintf(script, "#!/bin/sh\nexec %s %d\n", (home / "sleep").c_str(), 200000 + i);
            fclose(script);
            chmod(run.c_str(), 0755);
        }
        runsvdir = fork();
        if (runsvdir == 0) {
            execl(kRunsvdir, kRunsvdir, dir.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto all_running = [&] {
            runsv = children_of(runsvdir);
            if (static_cast<int>(runsv.size()) != n) return false;
            for (pid_t p : runsv) {
                std::vector<pid_t> kids = children_of(p);
                if (kids.size() != 1 || comm_of(kids[0]) != "sleep") return false;
            }
            return true;
        };
        return wait_until(all_running, 20000);
    }

    long pss_kb() const {
        long total = ::pss_kb(runsvdir);
        for (pid_t p : runsv) total += ::pss_kb(p);
        return total;
    }

    // runsvdir passes a HUP on to every runsv as TERM, and they stop their
    // services.
    void stop() {
        if (runsvdir <= 0) return;
        kill(runsvdir, SIGHUP);
        waitpid(runsvdir, nullptr, 0);
        runsvdir = -1;
        // The runsv processes and their services are this process's orphans
        // now.
        auto reaped_all = [] {
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            return children_of(getpid()).empty();
        };
        if (wait_until(reaped_all, 5000)) return;
        for (pid_t p : children_of(getpid())) kill(p, SIGKILL);
        while (waitpid(-1, nullptr, 0) > 0) {
        }
    }
};

void print_breakdown(pid_t pid) {
    std::map<std::string, long> sizes = pss_by_mapping(pid);
    printf("  vardo PSS by mapping:");
    for (const auto& entry : sizes)
        if (entry.second > 0) printf(" %s %ld KB,", entry.first.c_str(), entry.second);
    printf("\n");
}

struct Timing {
    std::string label;
    std::vector<const char*> argv;
    std::vector<double> us;
};

}  // namespace

int main(int argc, char** argv) {
    const char* vardo = argc > 1 ? argv[1] : BENCH_VARDO_PATH;
    std::vector<std::string> tools;
    for (int i = 2; i < argc; ++i) tools.push_back(argv[i]);
    if (tools.empty()) tools.push_back(BENCH_VARDOCTL_PATH);
    if (access(kRunsvdir, X_OK) != 0 || access(kSv, X_OK) != 0) {
        fprintf(stderr, "footprint_bench: needs runit (runsvdir, runsv, sv in /usr/bin)\n");
        return 1;
    }
    // Whatever runsvdir leaves behind becomes ours to reap and end.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    bench::ScratchHome home("footprint_bench");
    if (!home.ok() || symlink(kSleep, (home / "sleep").c_str()) != 0) return 1;
    mkdir((home / "log").c_str(), 0755);  // the trace files of vardo and vardoctl
    const char* ns = getenv("VARDO_E2E_NS");
    const bool admin_log = ns != nullptr && strcmp(ns, "1") == 0;
    if (admin_log) {
        mkdir("/opt/velto", 0755);
        mkdir("/opt/velto/log", 0755);
    }
    setenv("VELTO_HOME", home.path().c_str(), 1);

    printf("vardo: %s; runit: runsvdir + one runsv per service; programs: sleep\n", vardo);
    // One program: memory, then the tools against both supervisors.
    const int port = bench::free_port();
    pid_t daemon = start_vardo_with(vardo, home, port, 1);
    Runit runit;
    if (daemon < 0 || !runit.start(home, 1)) {
        fprintf(stderr, "footprint_bench: the supervisors did not start their program\n");
        return 1;
    }
    usleep(kSettleUs);
    const long vardo1 = pss_kb(daemon), runit1 = runit.pss_kb();
    printf("1 program:   vardo PSS %5ld KB, runit PSS %5ld KB (runsvdir %ld + runsv %ld)\n", vardo1,
           runit1, pss_kb(runit.runsvdir), pss_kb(runit.runsv[0]));
    print_breakdown(daemon);

    const std::string service = runit.dir + "/s0";
    std::vector<Timing> timings;
    for (const std::string& tool : tools)
        timings.push_back({tool + " -l", {tool.c_str(), "-l", nullptr}, {}});
    timings.push_back({"sv status", {kSv, "status", service.c_str(), nullptr}, {}});
    // runsv answers sv once its supervise folder is set up.
    wait_until([&] { return run_us(timings.back().argv) >= 0; }, 5000);
    for (int i = 0; i < kRuns; ++i)
        for (Timing& t : timings) {
            double us = run_us(t.argv);
            if (us < 0) {
                fprintf(stderr, "footprint_bench: %s failed\n", t.label.c_str());
                return 1;
            }
            t.us.push_back(us);
        }
    const double sv = percentile(timings.back().us, 0.5);
    printf("whole process, median of %d runs each, alternating%s:\n", kRuns,
           admin_log ? "" : " (no administration log folder: run in tests/e2e/ns_run.sh)");
    for (const Timing& t : timings)
        printf("  %-60s median %7.1f us p90 %7.1f us  %.2fx sv status\n", t.label.c_str(),
               percentile(t.us, 0.5), percentile(t.us, 0.9), percentile(t.us, 0.5) / sv);
    // What the listings brought back, with no release since.
    printf("1 program, after the listings: vardo PSS %5ld KB\n", pss_kb(daemon));
    bench::stop_child(daemon, 5000);
    runit.stop();

    // Fifty programs.
    daemon = start_vardo_with(vardo, home, bench::free_port(), 50);
    Runit runit50;
    if (daemon < 0 || !runit50.start(home, 50)) {
        fprintf(stderr, "footprint_bench: the supervisors did not start 50 programs\n");
        return 1;
    }
    usleep(kSettleUs);
    const long vardo50 = pss_kb(daemon), runit50kb = runit50.pss_kb();
    printf("50 programs: vardo PSS %5ld KB, runit PSS %5ld KB (%.2f of runit's)\n", vardo50,
           runit50kb, static_cast<double>(vardo50) / runit50kb);
    print_breakdown(daemon);
    bench::stop_child(daemon, 5000);
    runit50.stop();

    printf(
        "targets: vardoctl -l <= 1.2x sv status; PSS with 1 program <= 500 KB (%ld), "
        "with 50 <= 0.15 of runit's (%.2f)\n",
        vardo1, static_cast<double>(vardo50) / runit50kb);
    return 0;
}
