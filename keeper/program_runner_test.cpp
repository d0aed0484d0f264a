#include "keeper/program_runner.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include "reactor/ev_engine.h"

namespace {

struct Runner : ::testing::Test {
    EvEngine engine;
    ProgramRunner runner{&engine};
    std::vector<RunOutcome> outcomes;

    ProgramRunner::Job job(std::vector<std::string> argv, std::string queue = "",
                           bool coalesce = false) {
        ProgramRunner::Job j = ProgramRunner::program(std::move(argv), 60);
        j.queue = std::move(queue);
        j.coalesce = coalesce;
        j.done = [this](const RunOutcome& outcome) { outcomes.push_back(outcome); };
        return j;
    }
    // The daemon's child-exit path, waiting where the loop would be woken.
    void reap_all() {
        int status;
        pid_t pid;
        while (runner.running_count() > 0 && (pid = waitpid(-1, &status, 0)) > 0)
            EXPECT_TRUE(runner.child_exited(pid, status));
    }
    ~Runner() override { engine.releaseAll(); }
};

TEST_F(Runner, ReportsExitSignalOutputAndAFailedStart) {
    ProgramRunner::Job echo = job({"/bin/sh", "-c", "echo hello; exit 3"});
    echo.capture = true;
    ASSERT_GT(runner.start(std::move(echo)), 0);
    reap_all();
    ASSERT_GT(runner.start(job({"/bin/sh", "-c", "kill -9 $$"})), 0);
    reap_all();
    ASSERT_GT(runner.start(job({"/nonexistent/program"})), 0);
    reap_all();
    ASSERT_EQ(3u, outcomes.size());
    EXPECT_EQ("exit 3", outcomes[0].text());
    EXPECT_EQ("hello\n", outcomes[0].output);
    EXPECT_EQ("signal 9", outcomes[1].text());
    EXPECT_EQ("exit 127", outcomes[2].text()) << "as the shell says it";
    EXPECT_FALSE(runner.child_exited(1, 0)) << "a pid that is not the runner's";
}

// A burst for one script: the running one goes on, one more run waits and
// takes the latest arguments; another queue is not held by it.
TEST_F(Runner, QueueSerialisesAndCoalesces) {
    const int first = runner.start(job({"/bin/echo", "start"}, "rc", true));
    runner.start(job({"/bin/echo", "stop"}, "rc", true));
    runner.start(job({"/bin/echo", "restart"}, "rc", true));
    const int other = runner.start(job({"/bin/true"}, "other"));
    EXPECT_GT(runner.pid_of(first), 0);
    EXPECT_GT(runner.pid_of(other), 0);
    EXPECT_EQ(2u, runner.running_count());
    reap_all();
    EXPECT_EQ(3u, outcomes.size()) << "start, other, and one coalesced run";
    EXPECT_FALSE(runner.active(first));
}

// Past its deadline the run is reported at once; its group gets SIGTERM,
// and SIGKILL after the grace, which also takes a leader that ignores
// SIGTERM and a child it left in the group.
TEST_F(Runner, DeadlineStopsTheWholeGroup) {
    const int id =
        runner.start(job({"/bin/sh", "-c", "trap '' TERM; sleep 100 & sleep 100; wait"}));
    const pid_t group = runner.pid_of(id);
    ASSERT_GT(group, 0);
    usleep(100 * 1000);  // the trap is set
    runner.deadline_passed(group);
    ASSERT_EQ(1u, outcomes.size());
    EXPECT_EQ(RunOutcome::TimedOut, outcomes[0].kind);
    EXPECT_TRUE(runner.active(id)) << "gone only once reaped";
    runner.kill_group(group);
    reap_all();
    EXPECT_EQ(1u, outcomes.size()) << "reported once";
    // The orphaned sleeps are reaped by whoever adopted them.
    for (int i = 0; i < 200 && kill(-group, 0) == 0; ++i) usleep(10 * 1000);
    EXPECT_EQ(-1, kill(-group, 0));
    EXPECT_EQ(ESRCH, errno);
}

TEST_F(Runner, ForgottenAndKilledRunsReportNothing) {
    const int forgotten = runner.start(job({"/bin/true"}));
    runner.forget(forgotten);
    const int killed = runner.start(job({"/bin/sleep", "100"}));
    runner.kill(killed);
    reap_all();
    EXPECT_TRUE(outcomes.empty());
    EXPECT_EQ(-1, runner.start(job({})));
}

}  // namespace
