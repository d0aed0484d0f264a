#include "support/run_prog.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/proc_utils.h"

namespace {

// In the child: /dev/null for the standard streams (standard output to
// `output` when that is given), no inherited descriptors, the signal mask of
// a fresh program, then the program.
[[noreturn]] void execChild(const char* const argv[], const sigset_t& mask, int output = -1) {
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(output >= 0 ? output : null, 1);
        dup2(null, 2);
    }
    Com_closeFrom(3);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
}

// Holds SIGCHLD back while it lives, so that the daemon's handler cannot reap
// the child its owner waits for; the child gets the mask as it was.
class ChildSignalsHeld {
public:
    ChildSignalsHeld() {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGCHLD);
        sigprocmask(SIG_BLOCK, &block, &old);
        child = old;
        sigdelset(&child, SIGCHLD);
    }
    ~ChildSignalsHeld() { sigprocmask(SIG_SETMASK, &old, nullptr); }
    ChildSignalsHeld(const ChildSignalsHeld&) = delete;
    ChildSignalsHeld& operator=(const ChildSignalsHeld&) = delete;
    const sigset_t& childMask() const { return child; }

private:
    sigset_t old;
    sigset_t child;
};

// Forks with SIGCHLD blocked and waits for that child; `detach` makes the
// child start the program in a grandchild and leave at once.
int forkAndWait(const char* const argv[], bool detach) {
    if (!argv || !argv[0]) return -1;
    const ChildSignalsHeld held;
    const pid_t pid = fork();
    if (pid == 0) {
        if (!detach) execChild(argv, held.childMask());
        const pid_t grandchild = fork();
        if (grandchild == 0) execChild(argv, held.childMask());
        _exit(grandchild < 0 ? 1 : 0);
    }
    int status = -1;
    if (pid > 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return pid > 0 ? status : -1;
}

long long monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reaps pid if it ends before the deadline; true when it was reaped.
bool reapBy(pid_t pid, long long deadline, int& status) {
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) return done == pid;
        if (monotonicMs() >= deadline) return false;
        usleep(5000);
    }
}

}  // namespace

int captureProgram(const char* const argv[], int timeoutMs, std::string& out, size_t maxBytes) {
    out.clear();
    if (!argv || !argv[0]) return -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const ChildSignalsHeld held;
    const pid_t pid = fork();
    if (pid == 0) execChild(argv, held.childMask(), fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    const long long deadline = monotonicMs() + timeoutMs;
    bool ended = false;
    for (;;) {
        const long long left = deadline - monotonicMs();
        if (left <= 0) break;
        pollfd pfd{fds[0], POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char chunk[4096];
        const ssize_t got = read(fds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ended = true;
            break;
        }
        if (out.size() < maxBytes)
            out.append(chunk, std::min(static_cast<size_t>(got), maxBytes - out.size()));
    }
    close(fds[0]);
    int status = -1;
    const bool reaped = ended && reapBy(pid, deadline, status);
    if (!reaped) {
        kill(pid, SIGKILL);
        // A program in an uninterruptible wait dies only when the wait
        // ends; then the owner of the SIGCHLD handler reaps it.
        reapBy(pid, monotonicMs() + 200, status);
    }
    return reaped ? status : -2;
}

int runProgram(const char* const argv[]) { return forkAndWait(argv, false); }

int startProgram(const char* const argv[]) {
    const int status = forkAndWait(argv, true);
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

std::string commandLineText(const char* const argv[]) { return commandLineText(argvWords(argv)); }

std::string commandLineText(const std::vector<std::string>& words) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i) text += ' ';
        text += words[i];
    }
    return text;
}

std::vector<std::string> argvWords(const char* const argv[]) {
    std::vector<std::string> words;
    for (int i = 0; argv && argv[i]; ++i) words.push_back(argv[i]);
    return words;
}
