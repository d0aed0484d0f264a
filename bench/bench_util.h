// Small helpers shared by the benchmark programs.
#ifndef BENCH_BENCH_UTIL_H
#define BENCH_BENCH_UTIL_H

#include <arpa/inet.h>
#include <netinet/in.h>
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
