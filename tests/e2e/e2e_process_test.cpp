// What vardo does around one supervised program: the actions run on failure,
// a stale copy found at start, identity and priority of the child, and the
// task-status events that subscribed programs receive.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "protocol/wire_text.h"
#include "support/test_util.h"
#include "tests/e2e/test_client.h"
#include "tests/e2e/vardo_fixture.h"

namespace e2e {
namespace {

class E2eProcess : public VardoTest {
protected:
    // The line of /proc/<pid>/status that starts with key, without the key.
    static std::string statusField(int pid, const std::string& key) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
        return "";
    }

    // Field n of /proc/<pid>/stat (after the command: state is field 3,
    // the process group 5, nice 19).
    static int statField(int pid, int n) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        for (int i = 3; i <= n && fields >> field; ++i) {
        }
        return std::stoi(field);
    }

    // The supplementary groups of a process, in ascending order.
    static std::vector<int> groupsOf(int pid) {
        std::istringstream line(statusField(pid, "Groups"));
        std::vector<int> groups;
        for (int group; line >> group;) groups.push_back(group);
        std::sort(groups.begin(), groups.end());
        return groups;
    }

    // Speaks for the program of a task: the init message with its pid binds
    // the client's connection to that task.
    void bindAs(TestClient& client, const std::string& task, int pid) {
        ASSERT_TRUE(client.connect(port()));
        ASSERT_TRUE(client.init(1, pid, task.c_str()));
        const std::string confirmed =
            "Got init confirmation from " + task + " (" + std::to_string(pid) + ")";
        ASSERT_TRUE(waitFor([&] { return traceLog().find(confirmed) != std::string::npos; }, 3000));
    }

    // Reads the next KEEPER_NOTIFY_EVENT into event; false when none came.
    static bool readEvent(TestClient& client, GeneralMsg& event, int timeoutMs) {
        Message msg;
        if (!client.readType(KEEPER_NOTIFY_EVENT, msg, timeoutMs)) return false;
        const keeper_client_header hdr{KEEPER_NOTIFY_EVENT, msg.id,
                                       static_cast<uint32_t>(msg.payload.size())};
        return event.fromWire(hdr, reinterpret_cast<const uint8_t*>(msg.payload.data())) ==
               KEEPER_OK;
    }

    // The keep-alive period the daemon answers to a KEEPER_GET_CONFIG with
    // command 28, or -1 when it answers with a failure status.
    static int kaPeriod(TestClient& client) {
        GeneralMsg ask(KEEPER_GET_CONFIG);
        ask.payload.config.cmd = CONFIG_KA_PERIOD;
        Message msg;
        if (!client.send(ask) || !client.readType(KEEPER_GET_CONFIG, msg, 3000)) return -3;
        const keeper_client_header hdr{KEEPER_GET_CONFIG, msg.id,
                                       static_cast<uint32_t>(msg.payload.size())};
        GeneralMsg reply(KEEPER_GET_CONFIG);
        if (reply.fromWire(hdr, reinterpret_cast<const uint8_t*>(msg.payload.data())) != KEEPER_OK)
            return -2;
        if (reply.payload.config.status != KEEPER_OK) return -1;
        return static_cast<int>(reply.payload.config.data.data.word[0]);
    }
};

TEST_F(E2eProcess, BootActionMarksBadBootAndReboots) {
    writeIni(general() +
             psTask("once", 1, "--record ${REC}/once --exit", "action on failure = Boot"));
    startVardo();
    // Nothing else runs, so the reboot needs no orderly stop.
    ASSERT_TRUE(waitFor([&] { return !commandsLog().empty(); }, 3000));
    EXPECT_EQ(commandsLog(), "/sbin/shutdown -r now\n");
    struct stat marker {};
    EXPECT_EQ(stat("/usr/local/DYX/conf/vardoBadBOoot.boot", &marker), 0);
    EXPECT_TRUE(vardoRunning());
}

TEST_F(E2eProcess, StopActionKeepsTaskFromStartingAgain) {
    writeIni(general() + psTask("flaky", 1, "--record ${REC}/flaky --exit",
                                "restart = yes\nretries = 1\nretries interval = 60\n"
                                "action on failure = Stop"));
    startVardo();
    ASSERT_TRUE(waitRecords("flaky", "start", 2));
    ASSERT_TRUE(waitPsPid("flaky", [](int pid) { return pid == -1; }));
    // The limit is reached and the action disabled the task: a start
    // request, which would otherwise start it again, does nothing.
    actionOnPs(0, "flaky");
    settle();
    EXPECT_EQ(records("flaky", "start").size(), 2u);
    EXPECT_EQ(psPid("flaky"), -1);
}

TEST_F(E2eProcess, StaleCopiesOfTheCommandLineAreKilledBeforeStart) {
    // Two copies of the task's command line left by an earlier daemon, and a
    // program of the same executable with other arguments (an interpreter
    // running another script).
    const std::string child = childPath();
    auto spawn = [&child](const std::vector<std::string>& args) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv{const_cast<char*>(child.c_str())};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    };
    // The lowest pid is the first match by executable alone.
    const pid_t other = spawn({"--record", recordPath("other")});
    const pid_t stale1 = spawn({"--ignore-term"});
    const pid_t stale2 = spawn({"--ignore-term"});
    ASSERT_GT(stale1, 0);
    ASSERT_GT(stale2, 0);
    ASSERT_GT(other, 0);
    ASSERT_TRUE(waitRecords("other", "start", 1));
    // Their command lines show once they have exec'd.
    const std::string cmdline = "/proc/" + std::to_string(stale2) + "/cmdline";
    ASSERT_TRUE(waitFor(
        [&] { return readText(cmdline).find("--ignore-term") != std::string::npos; }, 3000));
    writeIni(general() + psTask("fresh", 1, "--ignore-term") +
             psTask("sibling", 1, "--record ${REC}/sibling"));
    startVardo();
    ASSERT_TRUE(waitRecords("sibling", "start", 1));
    EXPECT_TRUE(waitFor([&] { return processGone(stale1) && processGone(stale2); }, 2000));
    EXPECT_FALSE(processGone(other)) << "another command line of the same executable";
    const int fresh = psPid("fresh");
    EXPECT_GT(fresh, 0);
    EXPECT_FALSE(processGone(fresh));
    EXPECT_EQ(psPid("sibling"), records("sibling").at(0).pid);
    for (const pid_t pid : {stale1, stale2, other}) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

TEST_F(E2eProcess, ProgramRunsAsConfiguredUserWithNicePriority) {
    // The unprivileged users must reach the program and its record folder,
    // wherever the build folder lies.
    chmod(home().c_str(), 0755);
    chmod((home() + "/rec").c_str(), 0777);
    ASSERT_EQ(mkdir((home() + "/bin").c_str(), 0755), 0);
    std::filesystem::copy_file(childPath(), home() + "/bin/e2e_child");
    // A user whose main group is root's, with a group of its own besides
    // (/etc is private to the test's namespace).
    std::ofstream("/etc/passwd", std::ios::app) << "vardoop:x:4321:0::/:/bin/false\n";
    std::ofstream("/etc/group", std::ios::app) << "vardoext:x:4444:vardoop\n";
    writeIni(general() +
             psTask("low", 1, "--record ${REC}/low",
                    "location = ${HOME}/bin\nuser = nobody\nnice priority = 5") +
             psTask("op", 1, "--record ${REC}/op", "location = ${HOME}/bin\nuser = vardoop") +
             psTask("plain", 1, "--record ${REC}/plain", "user = no-such-user") +
             psTask("root", 1, "--record ${REC}/root"));
    startVardo();
    ASSERT_TRUE(waitRecords("low", "start", 1));
    ASSERT_TRUE(waitRecords("op", "start", 1));
    ASSERT_TRUE(waitRecords("root", "start", 1));
    const int low = records("low").at(0).pid;
    EXPECT_EQ(statusField(low, "Uid"), "\t65534\t65534\t65534\t65534");
    EXPECT_EQ(statusField(low, "Gid"), "\t65534\t65534\t65534\t65534");
    EXPECT_EQ(groupsOf(low), std::vector<int>{65534}) << "none of root's groups";
    // nice() adds to the niceness the daemon was started with.
    EXPECT_EQ(statField(low, 19), std::min(19, getpriority(PRIO_PROCESS, 0) + 5));
    const int op = records("op").at(0).pid;
    EXPECT_EQ(statusField(op, "Uid"), "\t4321\t4321\t4321\t4321");
    EXPECT_EQ(statusField(op, "Gid"), "\t0\t0\t0\t0");
    EXPECT_EQ(groupsOf(op), (std::vector<int>{0, 4444}));
    // Every program leads its own process group, whoever it runs as.
    for (const char* name : {"low", "op", "root"}) {
        const int pid = records(name).at(0).pid;
        EXPECT_EQ(statField(pid, 5), pid) << name;
    }
    // A user that does not exist never means root: the program is not run.
    EXPECT_TRUE(waitFor(
        [&] { return traceLog().find("(unknown user). Exiting.") != std::string::npos; }, 3000));
    settle();
    EXPECT_TRUE(records("plain").empty());
}

TEST_F(E2eProcess, TaskStatusEventsReachSubscribedProgram) {
    writeIni(general() + psTask("watcher", 1, "--record ${REC}/watcher") +
             psTask("worker", 1, "--record ${REC}/worker", "restart = yes"));
    startVardo();
    ASSERT_TRUE(waitRecords("watcher", "start", 1));
    ASSERT_TRUE(waitRecords("worker", "start", 1));

    // Speak for the watcher program.
    TestClient client;
    ASSERT_NO_FATAL_FAILURE(bindAs(client, "watcher", records("watcher").at(0).pid));
    ASSERT_TRUE(client.registerEvent(0, EVENT_GRP_TASK, 0xFFFFFFFFu));
    actionOnPs(2, "worker");

    // Down, then up again, each as a 104-byte task record.
    for (unsigned status : {2u, 1u}) {
        GeneralMsg event(KEEPER_NOTIFY_EVENT);
        ASSERT_TRUE(readEvent(client, event, 4000)) << "status " << status;
        EXPECT_EQ(event.eventGrp, static_cast<uint32_t>(EVENT_GRP_TASK));
        EXPECT_EQ(event.eventId, 256u) << "the type of a program not in the known table";
        ASSERT_EQ(event.eventDataLen(), sizeof(ConfigTask));
        ConfigTask task;
        memcpy(&task, event.eventData(), sizeof task);
        config_taskN2HOrder(&task);
        EXPECT_EQ(task.status, status);
        EXPECT_EQ(wireText(task.task), "worker");
    }
    ASSERT_TRUE(waitRecords("worker", "start", 2));
}

TEST_F(E2eProcess, ClientEventsReachProgramsBySubscription) {
    writeIni(general() + psTask("watcher", 1, "--record ${REC}/watcher"));
    startVardo();
    ASSERT_TRUE(waitRecords("watcher", "start", 1));
    TestClient watcher;
    ASSERT_NO_FATAL_FAILURE(bindAs(watcher, "watcher", records("watcher").at(0).pid));
    ASSERT_TRUE(watcher.registerEvent(0, 3, 0x4));
    ASSERT_TRUE(watcher.registerEvent(0, 3, 0x10));

    TestClient sender;
    ASSERT_TRUE(sender.connect(port()));
    GeneralMsg other(KEEPER_NOTIFY_EVENT);
    ASSERT_EQ(other.setEvent(3, 0x1, nullptr, 0), KEEPER_OK);
    ASSERT_TRUE(sender.send(other)) << "id 0x1 is not in the mask 0x14";
    const std::string data(512, 'd');
    GeneralMsg wanted(KEEPER_NOTIFY_EVENT);
    ASSERT_EQ(wanted.setEvent(3, 0x10, data.data(), 512), KEEPER_OK);
    ASSERT_TRUE(sender.send(wanted));

    GeneralMsg event(KEEPER_NOTIFY_EVENT);
    ASSERT_TRUE(readEvent(watcher, event, 3000));
    EXPECT_EQ(event.eventGrp, 3u);
    EXPECT_EQ(event.eventId, 0x10u);
    ASSERT_EQ(event.eventDataLen(), 512u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(event.eventData()), 512), data);

    // Unsubscribed, the same event no longer arrives.
    ASSERT_TRUE(watcher.registerEvent(1, 3, 0xFFFFFFFFu));
    GeneralMsg again(KEEPER_NOTIFY_EVENT);
    ASSERT_EQ(again.setEvent(3, 0x10, data.data(), 512), KEEPER_OK);
    ASSERT_TRUE(sender.send(again));
    GeneralMsg none(KEEPER_NOTIFY_EVENT);
    EXPECT_FALSE(readEvent(watcher, none, 500));
}

TEST_F(E2eProcess, KeepAlivePeriodAnsweredToBoundProgramOnly) {
    writeIni(general() + psTask("ka", 1, "--record ${REC}/ka", "kaEnable = yes\nkaPeriod = 30") +
             psTask("noka", 1, "--record ${REC}/noka") +
             psTask("gone", 1, "--record ${REC}/gone --exit", "kaEnable = yes\nkaPeriod = 20"));
    startVardo();
    ASSERT_TRUE(waitRecords("ka", "start", 1));
    ASSERT_TRUE(waitRecords("noka", "start", 1));
    ASSERT_TRUE(waitPsPid("gone", [](int pid) { return pid == -1; }));

    // An init for a task that runs no program of this daemon is refused and
    // binds nothing.
    TestClient foreign;
    ASSERT_TRUE(foreign.connect(port()));
    ASSERT_TRUE(foreign.init(1, 4242, "gone"));
    ASSERT_TRUE(waitFor(
        [&] {
            return traceLog().find("Got init confirmation from gone (4242) that is not chaild") !=
                   std::string::npos;
        },
        3000));
    EXPECT_EQ(kaPeriod(foreign), -1) << "a refused init";

    TestClient manager;
    ASSERT_TRUE(manager.connect(port()));
    EXPECT_EQ(kaPeriod(manager), -1) << "a connection without a task";
    TestClient ka;
    ASSERT_NO_FATAL_FAILURE(bindAs(ka, "ka", records("ka").at(0).pid));
    EXPECT_EQ(kaPeriod(ka), 30);
    TestClient noka;
    ASSERT_NO_FATAL_FAILURE(bindAs(noka, "noka", records("noka").at(0).pid));
    EXPECT_EQ(kaPeriod(noka), 0) << "keep-alive disabled";
}

}  // namespace
}  // namespace e2e
