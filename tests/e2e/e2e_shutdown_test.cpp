// How vardo ends: the staged stop on SIGTERM, the shutdown and reboot
// commands, which end in the (recorded) /sbin/shutdown command line, and a
// crash; plus the one command that runs a script.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <set>
#include <thread>

#include "support/test_util.h"
#include "tests/e2e/test_client.h"
#include "tests/e2e/vardo_fixture.h"

namespace e2e {
namespace {

class E2eShutdown : public VardoTest {
protected:
    // polite quits when asked (its kill timeout of 3 s leaves it time to read
    // the request before any SIGTERM); stubborn ignores the quit request and SIGTERM
    // (kill timeout 2 s: SIGTERM at 2 s, SIGKILL at 4 s); deaf ignores both
    // with a kill timeout of 10 s, so only the daemon's final SIGKILL, 5 s
    // after the stop began, ends it. Timers count whole seconds of uptime, so
    // each comes up to a second early. Further sections may follow.
    void writeThreeTasks(const std::string& more = "") {
        writeIni(general() + more +
                 psTask("polite", 1, "--record ${REC}/polite --init ${PORT}",
                        "restart = yes\nkill timeout = 3") +
                 psTask("stubborn", 1, "--record ${REC}/stubborn --ignore-term",
                        "restart = yes\nkill timeout = 2") +
                 psTask("deaf", 1, "--record ${REC}/deaf --ignore-term",
                        "restart = yes\nkill timeout = 10"));
    }

    void command(unsigned type, unsigned technique, unsigned timer) {
        TestClient client;
        ASSERT_TRUE(client.connect(port()));
        ASSERT_TRUE(client.command(type, technique, timer));
    }

    int pidOf(const std::string& name) { return records(name, "start").at(0).pid; }
};

TEST_F(E2eShutdown, SigtermStopsInStagesAndExitsZero) {
    // brief ends at once and is started again 3 s later: at the SIGTERM its
    // restart is pending, and the stop outlasts it.
    writeThreeTasks(
        psTask("brief", 1, "--record ${REC}/brief --exit", "restart = yes\nrestart delay = 3"));
    startVardo();
    ASSERT_TRUE(waitBound("polite", "polite"));
    ASSERT_TRUE(waitRecords("stubborn", "start", 1));
    ASSERT_TRUE(waitRecords("deaf", "start", 1));
    ASSERT_TRUE(waitPsPid("brief", [](int pid) { return pid == -1; }));

    const size_t briefStarts = records("brief", "start").size();
    const long long asked = nowMs();
    kill(vardoPid(), SIGTERM);
    ASSERT_TRUE(waitRecords("polite", "quit", 1));
    ASSERT_TRUE(waitRecords("stubborn", "term", 1));
    const long long term = records("stubborn", "term").at(0).ms;
    EXPECT_LT(records("polite", "quit").at(0).ms, term) << "quit request first";
    EXPECT_GE(term - asked, 900) << "SIGTERM after the kill timeout";
    EXPECT_TRUE(waitFor([&] { return processGone(pidOf("stubborn")); }, 4000));
    EXPECT_FALSE(processGone(pidOf("deaf")));

    const int status = waitVardoExit(8000);
    const long long took = nowMs() - asked;
    ASSERT_NE(status, -1) << "vardo still running";
    EXPECT_TRUE(exitedWith(status, 0)) << "wait status " << status;
    EXPECT_GE(took, 3900) << "the daemon waits 5 s before its final SIGKILL";
    // SIGKILL was sent before the exit; its delivery may trail it a little.
    EXPECT_TRUE(waitFor([&] { return processGone(pidOf("deaf")); }, 1000));
    EXPECT_TRUE(records("deaf", "term").empty()) << "its own kill timers never came due";
    for (const char* name : {"polite", "stubborn", "deaf"})
        EXPECT_EQ(records(name, "start").size(), 1u) << name << " restarted while stopping";
    EXPECT_EQ(records("brief", "start").size(), briefStarts) << "a pending restart went ahead";
    EXPECT_TRUE(commandsLog().empty()) << "a quit is no system shutdown";
}

TEST_F(E2eShutdown, SigtermWithoutProgramsExitsAtOnce) {
    writeIni(general() + psTask("once", 1, "--record ${REC}/once --exit"));
    startVardo();
    ASSERT_TRUE(waitPsPid("once", [](int pid) { return pid == -1; }));
    const long long asked = nowMs();
    const int status = stopVardo(3000);
    ASSERT_NE(status, -1) << "vardo still running";
    EXPECT_TRUE(exitedWith(status, 0)) << "wait status " << status;
    EXPECT_LT(nowMs() - asked, 2000);
}

TEST_F(E2eShutdown, SecondSigtermKillsDaemonDuringStop) {
    writeThreeTasks();
    startVardo();
    ASSERT_TRUE(waitRecords("deaf", "start", 1));
    kill(vardoPid(), SIGTERM);
    ASSERT_TRUE(waitRecords("stubborn", "term", 1)) << "the first stop is under way";
    kill(vardoPid(), SIGTERM);
    const int status = waitVardoExit(2000);
    ASSERT_NE(status, -1) << "vardo still running";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "wait status " << status;
}

TEST_F(E2eShutdown, RebootWithDelayStopsThenRunsShutdownCommand) {
    // The orderly stop after the delay lasts 3 s here instead of 5 s.
    shortenShutdown(30, 3);
    writeIni(general() + psTask("polite", 1, "--record ${REC}/polite --init ${PORT}",
                                "restart = yes\nkill timeout = 3"));
    startVardo();
    ASSERT_TRUE(waitBound("polite", "polite"));

    // Only SIGTERM makes the daemon quit; the command is ignored.
    command(COMMAND_QUIT, SHUTDOWN_STOP, 0);

    const long long asked = nowMs();
    command(COMMAND_REBOOT, SHUTDOWN_DELAY, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(records("polite", "quit").empty()) << "nothing happens during the delay";
    EXPECT_TRUE(commandsLog().empty());

    ASSERT_TRUE(waitRecords("polite", "quit", 1));
    EXPECT_GE(records("polite", "quit").at(0).ms - asked, 900);
    ASSERT_TRUE(waitFor([&] { return !commandsLog().empty(); }, 9000));
    // In whole seconds of uptime: 2 s delay, then 3 s for the orderly stop.
    EXPECT_GE(nowMs() - asked, 2900);
    EXPECT_EQ(commandsLog(), "/sbin/shutdown -r now\n");

    // The daemon runs on until the system takes it down.
    ASSERT_TRUE(vardoRunning());
    EXPECT_EQ(psPid("polite"), -1);
    EXPECT_EQ(records("polite", "start").size(), 1u);
}

TEST_F(E2eShutdown, ShutdownWithKillTechniqueKillsAtOnce) {
    writeIni(general() + psTask("deaf", 1, "--record ${REC}/deaf --ignore-term"));
    startVardo();
    ASSERT_TRUE(waitRecords("deaf", "start", 1));
    const long long asked = nowMs();
    command(COMMAND_SHUTDOWN, SHUTDOWN_KILL, 0);
    ASSERT_TRUE(waitFor([&] { return !commandsLog().empty(); }, 3000));
    EXPECT_LT(nowMs() - asked, 2000);
    EXPECT_EQ(commandsLog(), "/sbin/shutdown -h now\n");
    EXPECT_TRUE(waitFor([&] { return processGone(pidOf("deaf")); }, 1000));
    EXPECT_TRUE(records("deaf", "term").empty()) << "SIGKILL without SIGTERM first";
    EXPECT_TRUE(vardoRunning());
}

TEST_F(E2eShutdown, SnapshotCommandRunsScriptOtherCommandsNothing) {
    writeIni(general() + psTask("svc", 1, "--record ${REC}/svc"));
    startVardo();
    ASSERT_TRUE(waitRecords("svc", "start", 1));
    const unsigned others[] = {COMMAND_BYPASS,
                               COMMAND_ACTIVE,
                               COMMAND_LINK_UP,
                               COMMAND_LINK_DOWN,
                               COMMAND_REBOOT_DPICS,
                               COMMAND_RESTART_NTP,
                               77};
    for (unsigned other : others) command(other, SHUTDOWN_KILL, 0);
    command(COMMAND_CREATE_SNAPSHOT, SHUTDOWN_STOP, 0);
    // The stand-in records "$0 $*": the script is run without arguments.
    ASSERT_TRUE(waitFor([&] { return !commandsLog().empty(); }, 3000));
    settle();
    EXPECT_EQ(commandsLog(), "/opt/velto/bin/create_snapshot_logs.sh \n");
    EXPECT_EQ(psPid("svc"), records("svc").at(0).pid);
    EXPECT_TRUE(vardoRunning());
}

TEST_F(E2eShutdown, CrashWritesBacktraceAndDiesOfTheSignal) {
    writeIni(general());
    startVardo();
    const time_t before = time(nullptr);
    kill(vardoPid(), SIGSEGV);
    const int status = waitVardoExit(5000);
    const time_t after = time(nullptr);
    ASSERT_NE(status, -1) << "vardo still running";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "wait status " << status;

    // One file per minute: the name is the local time of the crash.
    std::set<std::string> expected;
    for (time_t t : {before, after}) {
        tm local{};
        localtime_r(&t, &local);
        expected.insert("bt_vardo_" + std::to_string(local.tm_year + 1900) + "." +
                        std::to_string(local.tm_mon + 1) + "." + std::to_string(local.tm_mday) +
                        "." + std::to_string(local.tm_hour) + "." + std::to_string(local.tm_min));
    }
    std::string found;
    for (const std::string& name : expected) {
        std::ifstream file("/usr/local/DYXlog/bt/" + name);
        if (file) found = name;
    }
    ASSERT_FALSE(found.empty()) << "no back-trace file in /usr/local/DYXlog/bt/";
    std::ifstream file("/usr/local/DYXlog/bt/" + found);
    std::string frame;
    EXPECT_TRUE(std::getline(file, frame) && !frame.empty()) << "the file lists stack frames";
    EXPECT_NE(readText(home() + "/vardo.out")
                  .find("Terminate: Raising signal " + std::to_string(SIGSEGV) + " !!!\n"),
              std::string::npos);
}

}  // namespace
}  // namespace e2e
