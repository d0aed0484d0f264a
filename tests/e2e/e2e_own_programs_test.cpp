// The programs vardo runs for itself (check programs, actions) never hold its
// loop: listings and restarts go on while they run, a run past its deadline
// is stopped with its whole group, every child is reaped, and a burst of
// exits larger than the wake-up pair loses none of them.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/vardo_fixture.h"

namespace e2e {
namespace {

class E2eOwnPrograms : public VardoTest {
protected:
    // The children of the daemon that have exited and were not reaped.
    int zombies() const {
        int count = 0;
        DIR* proc = opendir("/proc");
        while (dirent* entry = proc ? readdir(proc) : nullptr) {
            std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
            std::string line;
            if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
            std::istringstream fields(line.substr(line.rfind(')') + 2));
            std::string state;
            int ppid = 0;
            fields >> state >> ppid;
            if (ppid == vardoPid() && state == "Z") ++count;
        }
        if (proc) closedir(proc);
        return count;
    }

    // The slowest of n listings on fresh connections, in milliseconds.
    long long slowestListing(int n) const {
        long long slowest = 0;
        for (int i = 0; i < n; ++i) {
            const long long start = nowMs();
            EXPECT_NE("", psListing());
            slowest = std::max(slowest, nowMs() - start);
            usleep(50 * 1000);
        }
        return slowest;
    }

    // A boot step that ends at once: checks are armed when the boot
    // sequence is over.
    static std::string boot() {
        return "[tasks/boot]\ntype = bootTask\nname = true\nlocation = /bin\nimplement = App\n"
               "level = 1\n\n";
    }

    // A program check running script `name` every `interval` seconds,
    // stopped after `runTimeout`, whose failure action records "fail".
    static std::string check(const std::string& name, int interval, int runTimeout) {
        return "[actions/onfail]\nimplement = App\nname = onfail.sh\nlocation = ${HOME}\n\n"
               "[checks/" +
               name + "]\nname = " + name + "\nlocation = ${HOME}\nimplement = App\n" +
               "level = 1\ninterval = " + std::to_string(interval) +
               "\nrun timeout = " + std::to_string(runTimeout) +
               "\naction on failure = onfail.sh\n\n";
    }
};

// A check program that outlasts its run timeout, every time: the loop goes
// on, the run is killed and counts as a failure, the failure action runs
// once for the episode, and a tick while the run still goes starts nothing.
TEST_F(E2eOwnPrograms, SlowCheckHoldsNeitherListingsNorRestarts) {
    writeScript("slow.sh", "echo run >> ${REC}/slow_runs\nexec sleep 3");
    writeScript("onfail.sh", "echo fail >> ${REC}/actions");
    writeIni(general() + psTask("svc", 1, "--record ${REC}/svc", "restart = yes\nmust = no") +
             check("slow.sh", 1, 2));
    startVardo();
    ASSERT_TRUE(waitFor([&] { return std::ifstream(home() + "/rec/slow_runs").good(); }, 5000));
    EXPECT_LT(slowestListing(10), 100) << "listings wait for no check";

    ASSERT_TRUE(waitRecords("svc", "start", 1));
    const int old = records("svc", "start").back().pid;
    const long long killed = nowMs();
    kill(old, SIGKILL);
    ASSERT_TRUE(waitRecords("svc", "start", 2));
    EXPECT_LT(records("svc", "start").back().ms - killed, 100) << "restart delay 0";

    ASSERT_TRUE(waitFor(
        [&] { return traceLog().find("killed at its deadline") != std::string::npos; }, 5000));
    ASSERT_TRUE(waitFor([&] { return std::ifstream(home() + "/rec/actions").good(); }, 3000));
    settle();
    std::ifstream runs(home() + "/rec/slow_runs"), actions(home() + "/rec/actions");
    std::string all((std::istreambuf_iterator<char>(actions)), {});
    EXPECT_EQ("fail\n", all) << "one failing episode, one failure action";
    EXPECT_NE(std::string::npos, traceLog().find("is still running, this run is skipped"));
    EXPECT_EQ(0, zombies());
}

// A run past its deadline takes its group along: a leader that ignores
// SIGTERM and the child it left in the group are both gone after the grace.
TEST_F(E2eOwnPrograms, RunPastItsDeadlineLeavesNothingOfItsGroup) {
    writeScript("stuck.sh",
                "trap '' TERM\nsleep 1000 &\necho $! >> ${REC}/child\necho $$ >> ${REC}/leader\n"
                "while :; do sleep 1; done");
    writeScript("onfail.sh", "true");
    writeIni(general() + boot() + check("stuck.sh", 1, 1));
    startVardo();
    ASSERT_TRUE(waitFor([&] { return std::ifstream(home() + "/rec/leader").good(); }, 5000));
    int leader = 0, child = 0;
    std::ifstream(home() + "/rec/leader") >> leader;
    std::ifstream(home() + "/rec/child") >> child;
    ASSERT_GT(leader, 0);
    ASSERT_GT(child, 0);
    // Deadline 1 s, then SIGKILL 2 s after SIGTERM.
    EXPECT_TRUE(waitFor([&] { return processGone(leader) && processGone(child); }, 5000));
    EXPECT_EQ(0, zombies());
}

// Three hundred programs killed at once: one SIGCHLD may stand for many
// exits and the wake-up pair may be full; every exit is still seen.
TEST_F(E2eOwnPrograms, ThreeHundredExitsAtOnceAreAllRestarted) {
    const int count = 300;
    std::string ini = general();
    for (int i = 0; i < count; ++i)
        ini += "[tasks/s" + std::to_string(i) +
               "]\ntype = ps\nname = sleep\nlocation = /bin\nargs = 100" + std::to_string(i) +
               "\nlevel = 1\nrestart = yes\nkill timeout = 1\nkaEnable = no\nmust = no\n\n";
    writeIni(ini);
    startVardo();
    std::vector<int> pids(count);
    for (int i = 0; i < count; ++i) {
        const std::string name = "s" + std::to_string(i);
        ASSERT_TRUE(waitPsPid(
            name, [](int pid) { return pid > 0; }, 10000))
            << name;
        pids[i] = psPid(name);
    }
    for (int pid : pids) kill(pid, SIGKILL);
    for (int i = 0; i < count; ++i) {
        const int old = pids[i];
        EXPECT_TRUE(waitPsPid(
            "s" + std::to_string(i), [old](int pid) { return pid > 0 && pid != old; }, 10000))
            << "s" << i << " was not started again";
    }
    EXPECT_TRUE(waitFor([&] { return zombies() == 0; }, 2000));
}

// SIGTERM while a check program runs for a long time: the staged stop starts
// at once and the program goes with the daemon.
TEST_F(E2eOwnPrograms, SigtermDuringALongRunStopsAtOnce) {
    writeScript("long.sh", "echo $$ > ${REC}/long\nexec sleep 100");
    writeScript("onfail.sh", "true");
    writeIni(general() + boot() + check("long.sh", 1, 100));
    startVardo();
    ASSERT_TRUE(waitFor([&] { return std::ifstream(home() + "/rec/long").good(); }, 5000));
    int pid = 0;
    std::ifstream(home() + "/rec/long") >> pid;
    const long long start = nowMs();
    const int status = stopVardo();
    EXPECT_TRUE(exitedWith(status, 0));
    EXPECT_LT(nowMs() - start, 1000) << "nothing of its own to wait for";
    EXPECT_TRUE(waitFor([&] { return processGone(pid); }, 2000));
}

}  // namespace
}  // namespace e2e
