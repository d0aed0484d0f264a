#include "support/run_prog.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

// In the child: /dev/null for the standard streams, no inherited
// descriptors, the signal mask of a fresh program, then the program.
[[noreturn]] void execChild(const char* const argv[], const sigset_t& mask) {
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
    }
    closefrom(3);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
}

// Forks with SIGCHLD blocked and waits for that child; `detach` makes the
// child start the program in a grandchild and leave at once.
int forkAndWait(const char* const argv[], bool detach) {
    if (!argv || !argv[0]) return -1;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &old);
    sigset_t childMask = old;
    sigdelset(&childMask, SIGCHLD);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!detach) execChild(argv, childMask);
        const pid_t grandchild = fork();
        if (grandchild == 0) execChild(argv, childMask);
        _exit(grandchild < 0 ? 1 : 0);
    }
    int status = -1;
    if (pid > 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return pid > 0 ? status : -1;
}

}  // namespace

int runProgram(const char* const argv[]) { return forkAndWait(argv, false); }

int startProgram(const char* const argv[]) {
    const int status = forkAndWait(argv, true);
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

std::string commandLineText(const char* const argv[]) {
    std::string text;
    for (int i = 0; argv && argv[i]; ++i) {
        if (i) text += ' ';
        text += argv[i];
    }
    return text;
}
