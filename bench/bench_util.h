// Small helpers shared by the benchmark programs.
#ifndef BENCH_BENCH_UTIL_H
#define BENCH_BENCH_UTIL_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "support/file_utils.h"

namespace bench {

inline double now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// The value below which a fraction p of the samples lie (0 for none).
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * (values.size() - 1))];
}

// A loopback port that was free a moment ago, for a scratch daemon.
inline int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

// The path of the running program, for benchmarks that run themselves in a
// child role; empty when unknown.
inline std::string self_path() {
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    return len > 0 ? std::string(self, static_cast<size_t>(len)) : std::string();
}

// A scratch home for the daemon under test: a fresh folder in /tmp with its
// "conf" folder, removed with everything in it when the object goes.
class ScratchHome {
public:
    explicit ScratchHome(const char* name) {
        std::string pattern = std::string("/tmp/") + name + ".XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) return;
        dir = pattern;
        mkdir((dir + "/conf").c_str(), 0755);
    }
    ~ScratchHome() {
        if (!dir.empty()) delDir(dir.c_str());
    }
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;

    bool ok() const { return !dir.empty(); }
    const std::string& path() const { return dir; }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }

    // conf/vardo.ini: the daemon's port, then `sections` as they are.
    bool write_ini(int port, const std::string& sections) const {
        FILE* ini = fopen((dir + "/conf/vardo.ini").c_str(), "w");
        if (ini == nullptr) return false;
        fprintf(ini, "[general]\nkeeper port = %d\n%s", port, sections.c_str());
        return fclose(ini) == 0;
    }

private:
    std::string dir;
};

// The supervised program of the restart benchmarks: this binary linked as
// "victim" in the home (a name of its own: the daemon kills a running
// program of the task's name that it did not start itself), and the FIFO
// "starts" it reports into. False when either cannot be made.
inline bool make_victim(const ScratchHome& home, std::string& victim, std::string& fifo) {
    const std::string self = self_path();
    victim = home / "victim";
    fifo = home / "starts";
    return !self.empty() && symlink(self.c_str(), victim.c_str()) == 0 &&
           mkfifo(fifo.c_str(), 0600) == 0;
}

// The supervised program's child role: reports its pid and start time into
// the FIFO, then waits to be killed.
inline int victim_role(const char* fifo) {
    double start = now_us();
    int fd = open(fifo, O_WRONLY);
    if (fd < 0) return 1;
    dprintf(fd, "%d %.3f\n", getpid(), start);
    close(fd);
    pause();
    return 0;
}

// The reports of victim_role, read from the FIFO without waiting past a
// deadline. The FIFO is open for reading and writing, so it never reports an
// end between two children; no child inherits it.
class VictimReports {
public:
    explicit VictimReports(const std::string& fifo) : fd(open(fifo.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~VictimReports() {
        if (fd >= 0) close(fd);
    }
    VictimReports(const VictimReports&) = delete;
    VictimReports& operator=(const VictimReports&) = delete;

    bool ok() const { return fd >= 0; }

    // The next report, waiting at most `timeout_us`; false when none came.
    bool next(int* pid, double* start, double timeout_us) {
        double give_up = now_us() + timeout_us;
        size_t end;
        while ((end = pending.find('\n')) == std::string::npos) {
            pollfd in = {fd, POLLIN, 0};
            int left_ms = static_cast<int>((give_up - now_us()) / 1000);
            char buf[256];
            ssize_t n = left_ms > 0 && poll(&in, 1, left_ms) == 1 ? read(fd, buf, sizeof buf) : 0;
            if (n <= 0) return false;
            pending.append(buf, static_cast<size_t>(n));
        }
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        return sscanf(line.c_str(), "%d %lf", pid, start) == 2;
    }

private:
    int fd;
    std::string pending;
};

// Up to `kills` SIGKILLs to the reported program, `gap_us` apart: each
// restart's latency, from the signal to the new instance's first
// instruction. `pid` follows the instances. None is sent once `budget_us`
// has passed, and none waits past it.
inline std::vector<double> restart_latencies(VictimReports& reports, int& pid, int kills,
                                             useconds_t gap_us, double budget_us) {
    std::vector<double> latencies;
    double give_up = now_us() + budget_us;
    for (int i = 0; i < kills && now_us() < give_up; ++i) {
        if (gap_us) usleep(gap_us);
        double t0 = now_us(), start;
        kill(pid, SIGKILL);
        if (!reports.next(&pid, &start, give_up - now_us())) break;
        latencies.push_back(start - t0);
    }
    return latencies;
}

// An INI section for a program of level 1 that is restarted at once when it
// exits.
inline std::string ps_task_section(const std::string& task, const std::string& program,
                                   const std::string& args) {
    return "[tasks/" + task + "]\ntype = ps\nname = " + program + "\nargs = " + args +
           "\nlevel = 1\nmust = no\nrestart = yes\nrestart delay = 0\n";
}

// Starts the daemon on `home`; its pid.
inline pid_t start_vardo(const char* vardo, const std::string& home) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("VELTO_HOME", home.c_str(), 1);
        execl(vardo, "vardo", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// SIGTERM, `grace_ms` for the process to stop its programs and exit, then
// SIGKILL; the process is reaped.
inline void stop_child(pid_t pid, int grace_ms) {
    kill(pid, SIGTERM);
    for (int waited = 0; waited < grace_ms; waited += 10) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) return;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace bench

#endif
