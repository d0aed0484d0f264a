#include "keeper/ps_list.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>

#include "keeper/ps_task.h"
#include "keeper/ps_task_seam.h"
#include "keeper/test_support.h"

namespace {

// The staged pids lie above the kernel's largest (2^22): no signal sent to
// them reaches a process.

// A task of the daemon that runs `sleep 100` when started.
class Sleeper : public PsTask {
public:
    Sleeper(KeeperFixture& f, const char* name) : PsTask(&f.keeper, &f.timers) {
        set_name(name);
        set_exec("/bin/sleep");
        set_args("100");
        set_level(1);
        set_enabled(true);
        set_implement(IMPLEMENT_APP);
        validate();
        f.keeper.add_process(this);
    }
    ~Sleeper() override {
        const int pid = get_pid();
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

}  // namespace

TEST(PsListPidIndex, AnExitedProgramsPidLeadsToTheTaskThatGetsItNext) {
    KeeperFixture f;
    Sleeper first(f, "first"), second(f, "second");
    ASSERT_EQ(KEEPER_OK, first.run());
    const int pid = first.get_pid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(&first, f.keeper.find_ps_by_pid(pid));
    EXPECT_EQ(nullptr, f.keeper.find_ps_by_pid(-1)) << "no program is not a pid";
    EXPECT_EQ(nullptr, f.keeper.find_ps_by_pid(0));

    // Not brought back: its exit is the end of it.
    first.set_enabled(false);
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    f.keeper.handleExitedChildPs(pid, status);
    EXPECT_EQ(-1, first.get_pid());
    EXPECT_EQ(nullptr, f.keeper.find_ps_by_pid(pid));

    // The kernel hands the pid to the other task's next program.
    PsTaskSeam::set_pid(second, pid);
    EXPECT_EQ(&second, f.keeper.find_ps_by_pid(pid));
    // The first task giving up a pid it no longer holds changes nothing.
    first.adopt_pid(-1);
    EXPECT_EQ(&second, f.keeper.find_ps_by_pid(pid));
    PsTaskSeam::set_pid(second, -1);
}

TEST(PsListPidIndex, ALaterClaimOfAPidIsNotUndoneByTheEarlierOne) {
    KeeperFixture f;
    Sleeper stale(f, "stale"), fresh(f, "fresh");
    PsTaskSeam::set_pid(stale, 5000001);
    PsTaskSeam::set_pid(fresh, 5000001);
    EXPECT_EQ(&fresh, f.keeper.find_ps_by_pid(5000001));
    PsTaskSeam::set_pid(stale, 5000002);
    EXPECT_EQ(&fresh, f.keeper.find_ps_by_pid(5000001));
    EXPECT_EQ(&stale, f.keeper.find_ps_by_pid(5000002));
    PsTaskSeam::set_pid(stale, -1);
    PsTaskSeam::set_pid(fresh, -1);
}

TEST(PsListPidIndex, ATaskDeletedOrRemovedIsNotFound) {
    KeeperFixture f;
    PsTask* gone = new PsTask(&f.keeper, &f.timers);
    f.keeper.add_process(gone);
    PsTaskSeam::set_pid(*gone, 5000001);
    ASSERT_EQ(gone, f.keeper.find_ps_by_pid(5000001));
    PsTaskSeam::set_pid(*gone, -1);
    PsTaskSeam::set_pid(*gone, 5000003);
    delete gone;
    EXPECT_EQ(nullptr, f.keeper.find_ps_by_pid(5000003));
    EXPECT_EQ(0u, f.keeper.get_ps_list().size());

    Sleeper removed(f, "removed");
    PsTaskSeam::set_pid(removed, 5000004);
    EXPECT_EQ(KEEPER_OK, f.keeper.get_ps_list().remove_ps(&removed));
    EXPECT_EQ(nullptr, f.keeper.find_ps_by_pid(5000004));
    // A pid taken after the removal is not the list's either.
    PsTaskSeam::set_pid(removed, 5000005);
    EXPECT_EQ(nullptr, f.keeper.find_ps_by_pid(5000005));
    PsTaskSeam::set_pid(removed, -1);
}

TEST(PsListPidIndex, ACopyAndASecondListKeepTheirOwnPids) {
    KeeperFixture f;
    Sleeper task(f, "task");
    PsTask copy(task);
    PsTaskSeam::set_pid(copy, 5000001);
    EXPECT_EQ(nullptr, f.keeper.find_ps_by_pid(5000001)) << "a copy is in no list";
    PsTaskSeam::set_pid(copy, -1);
    {
        PsList other;
        other.add_ps_to_list(&task);
        PsTaskSeam::set_pid(task, 5000006);
        EXPECT_EQ(&task, other.find_ps_by_pid(5000006));
        EXPECT_EQ(&task, f.keeper.find_ps_by_pid(5000006));
    }
    // The list that went is not told any more.
    PsTaskSeam::set_pid(task, 5000007);
    EXPECT_EQ(&task, f.keeper.find_ps_by_pid(5000007));
    PsTaskSeam::set_pid(task, -1);
}
