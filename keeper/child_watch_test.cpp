#include "keeper/child_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "reactor/ev_engine.h"
#include "support/proc_utils.h"

namespace {

std::string describe(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

int no_pidfd(pid_t) {
    errno = EMFILE;
    return -1;
}

int pidfd_for_even(pid_t pid) { return pid % 2 ? no_pidfd(pid) : ChildWatch::open_pidfd(pid); }

// Every exit the watch reports, by pid.
struct Exits {
    void record(pid_t pid, int status) { seen[pid].push_back(describe(status)); }
    std::map<pid_t, std::vector<std::string>> seen;
};

// A child that waits until `gate` reads end of file, then ends as `outcome`
// says: "exit N" or "signal N".
pid_t start_child(int gate, const std::string& outcome) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(gate, 0);
    Com_closeFrom(1);
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
    const int n = std::stoi(outcome.substr(outcome.find(' ') + 1));
    if (outcome[0] == 's') kill(getpid(), n);
    _exit(n);
}

// Returns once the child has exited, leaving it to be reaped.
void await_exit(pid_t pid) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
}

int signal_fd = -1;

// The daemon's loop in small: SIGCHLD writes a byte, the loop answers it
// with sigchld_arrived, and the pidfds are watched on the same engine.
class Loop : public EvHandler {
public:
    explicit Loop(ChildWatch::PidfdOpener opener)
        : watch([this](pid_t pid, int status) { reaped(pid, status); }, opener) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        signal_fd = fds[1];
        struct sigaction on_child {};
        on_child.sa_handler = [](int) {
            const char byte = 0;
            if (write(signal_fd, &byte, 1) < 0) {
            }
        };
        on_child.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigaction(SIGCHLD, &on_child, &before);
        engine.registerSocket(fds[0], this, false, EV_RAW_READ);
        watch.init(&engine);
        // A reaping that never ends fails the test instead of holding it.
        engine.addTimer(20, this, &Loop::give_up, nullptr, -1);
    }
    ~Loop() override {
        sigaction(SIGCHLD, &before, nullptr);
        close(signal_fd);
        signal_fd = -1;
    }

    int handleInput(EvAdapter* sock) override {
        char bytes[64];
        while (read(sock->getHandle(), bytes, sizeof bytes) > 0) {
        }
        watch.sigchld_arrived();
        return 0;
    }
    int give_up(void*) {
        engine.requestStop();
        return 0;
    }
    // Turns until `count` exits were reported.
    void run_until(size_t count) {
        expected = count;
        engine.run();
    }

    EvEngine engine;
    ChildWatch watch;
    Exits exits;

private:
    void reaped(pid_t pid, int status) {
        exits.record(pid, status);
        if (++reported == expected) engine.requestStop();
    }

    struct sigaction before {};
    size_t expected = 0;
    size_t reported = 0;
};

// How children get their pidfds, named for the test's name: a function's
// address would differ from run to run.
struct PidfdMode {
    const char* name;
    ChildWatch::PidfdOpener open;
};
void PrintTo(const PidfdMode& mode, std::ostream* out) { *out << mode.name; }

class ManyExits : public testing::TestWithParam<PidfdMode> {};

TEST_P(ManyExits, EachChildReapedOnceWithItsStatus) {
    Loop loop(GetParam().open);
    int gate[2];
    ASSERT_EQ(0, pipe2(gate, O_CLOEXEC));
    std::map<pid_t, std::string> expected;
    for (int i = 0; i < 120; ++i) {
        const std::string outcome =
            i % 3 == 0 ? "signal " + std::to_string(SIGKILL) : "exit " + std::to_string(i % 100);
        const pid_t pid = start_child(gate[0], outcome);
        ASSERT_GT(pid, 0);
        loop.watch.watch(pid);
        expected[pid] = outcome;
    }
    // One is killed before the others are let go all at once.
    kill(expected.begin()->first, SIGKILL);
    expected.begin()->second = "signal " + std::to_string(SIGKILL);
    close(gate[1]);
    close(gate[0]);
    loop.run_until(expected.size());
    // Late signals find nothing more to report.
    loop.watch.sigchld_arrived();
    for (const auto& child : expected) {
        SCOPED_TRACE(child.first);
        EXPECT_EQ(std::vector<std::string>{child.second}, loop.exits.seen[child.first]);
        EXPECT_EQ(-1, waitpid(child.first, nullptr, WNOHANG)) << "left unreaped";
    }
    EXPECT_EQ(expected.size(), loop.exits.seen.size());
}

INSTANTIATE_TEST_SUITE_P(Modes, ManyExits,
                         testing::Values(PidfdMode{"Pidfds", &ChildWatch::open_pidfd},
                                         PidfdMode{"FullWait", &no_pidfd},
                                         PidfdMode{"Mixed", &pidfd_for_even}),
                         [](const testing::TestParamInfo<PidfdMode>& info) {
                             return std::string(info.param.name);
                         });

// Two children that have exited and are not reaped yet: one the watch
// knows (exit 4) and one it does not, as one the daemon inherited (exit 3).
std::pair<pid_t, pid_t> two_exits(ChildWatch& watch) {
    int gate[2];
    EXPECT_EQ(0, pipe2(gate, O_CLOEXEC));
    const pid_t stray = start_child(gate[0], "exit 3");
    const pid_t own = start_child(gate[0], "exit 4");
    watch.watch(own);
    close(gate[1]);
    close(gate[0]);
    await_exit(stray);
    await_exit(own);
    return {stray, own};
}

// The full wait runs for a SIGCHLD that names a child the watch does not
// know (one the daemon inherited), and not for one that names a watched
// child, whether reaped through its pidfd already or not.
TEST(ChildWatch, FullWaitOnlyForAnUnexplainedSignal) {
    // PID 1 adopts orphans and always waits for all children.
    if (getpid() == 1) GTEST_SKIP();
    EvEngine engine;
    Exits exits;
    ChildWatch watch([&exits](pid_t pid, int status) { exits.record(pid, status); });
    ASSERT_EQ(0, watch.init(&engine));
    const auto [stray, own] = two_exits(watch);
    watch.sigchld_arrived();
    EXPECT_EQ(std::vector<std::string>{"exit 4"}, exits.seen[own]);
    // Its signal comes after the pidfd told: known all the same.
    watch.signalled(own);
    watch.sigchld_arrived();
    EXPECT_EQ(0u, exits.seen.count(stray)) << "walked all children for an explained signal";
    watch.signalled(stray);
    watch.sigchld_arrived();
    EXPECT_EQ(std::vector<std::string>{"exit 3"}, exits.seen[stray]);
}

// A pidfd that missed its child's exit (here one of the test itself, which
// never reports one): the pid the signal names is reaped all the same, and
// the signal is explained without a walk through every child.
TEST(ChildWatch, TheSignalledChildIsReapedWhenItsPidfdMissedTheExit) {
    if (getpid() == 1) GTEST_SKIP();
    EvEngine engine;
    Exits exits;
    ChildWatch watch([&exits](pid_t pid, int status) { exits.record(pid, status); },
                     [](pid_t) { return ChildWatch::open_pidfd(getpid()); });
    ASSERT_EQ(0, watch.init(&engine));
    const auto [stray, own] = two_exits(watch);
    watch.signalled(own);
    watch.sigchld_arrived();
    EXPECT_EQ(std::vector<std::string>{"exit 4"}, exits.seen[own]);
    EXPECT_EQ(0u, exits.seen.count(stray)) << "walked all children for a named child";
    watch.signalled(stray);
    watch.sigchld_arrived();
    EXPECT_EQ(std::vector<std::string>{"exit 3"}, exits.seen[stray]);
}

// A daemon that adopts orphans (here a child subreaper, as PID 1 would)
// reaps a double-forked descendant that no pidfd speaks for, even when a
// watched exit explains the signal. Run in a process of its own, which
// alone becomes the subreaper.
TEST(ChildWatch, AdoptedOrphansAreReaped) {
    const pid_t runner = fork();
    ASSERT_GE(runner, 0);
    if (runner == 0) {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        EvEngine engine;
        Exits exits;
        ChildWatch watch([&exits](pid_t pid, int status) { exits.record(pid, status); });
        watch.init(&engine);
        int gate[2], report[2];
        if (pipe2(gate, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) _exit(2);
        // The middle child leaves its own child behind and exits at once.
        const pid_t middle = fork();
        if (middle == 0) {
            const pid_t left = start_child(gate[0], "exit 5");
            _exit(write(report[1], &left, sizeof left) == sizeof left ? 0 : 1);
        }
        watch.watch(middle);
        pid_t orphan = -1;
        if (read(report[0], &orphan, sizeof orphan) != sizeof orphan) _exit(3);
        await_exit(middle);
        close(gate[1]);
        close(gate[0]);
        await_exit(orphan);
        watch.sigchld_arrived();
        const bool both = exits.seen[middle] == std::vector<std::string>{"exit 0"} &&
                          exits.seen[orphan] == std::vector<std::string>{"exit 5"};
        _exit(both ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(runner, waitpid(runner, &status, 0));
    EXPECT_EQ("exit 0", describe(status));
}

}  // namespace
