// Reloading the INI file with SIGHUP or vardoctl -u, seen from outside: only the tasks,
// checks and flags whose sections changed are touched, a file start-up would
// refuse changes nothing, and so does a reload that comes too early.
#include <csignal>
#include <cstring>
#include <set>

#include "protocol/keeper_records.h"
#include "support/test_util.h"
#include "tests/e2e/client_fixture.h"
#include "tests/e2e/test_client.h"

namespace e2e {
namespace {

class E2eReload : public ClientTest {
protected:
    // A task whose program connects and confirms, so that a quit request
    // reaches it and is recorded.
    static std::string task(const std::string& name, const std::string& record) {
        return psTask(name, 1, "--record ${REC}/" + record + " --init ${PORT}");
    }
    // A check that appends its argument to ${REC}/checks at each run.
    std::string check(const std::string& name) const {
        writeScript("probe.sh", "echo \"$1\" >> ${REC}/checks");
        return "[checks/" + name + "]\nname = probe.sh\nlocation = ${HOME}\nimplement = App\n" +
               "args = " + name + "\nlevel = 1\ninterval = 1\nmust = no\n\n";
    }
    static std::string flag(const std::string& name) {
        return "[flags/" + name + "]\nname = " + name + "\nenabled = yes\n\n";
    }
    static std::string watch() { return psTask("watch", 1, "--record ${REC}/watch"); }
    // The task events the watcher got within the time, as "<name> up|down".
    std::multiset<std::string> taskEvents(int timeoutMs) {
        std::multiset<std::string> seen;
        Message raw;
        while (watcher.readType(KEEPER_NOTIFY_EVENT, raw, timeoutMs)) {
            ConfigTask record;
            if (raw.payload.size() != 12 + sizeof record) continue;
            memcpy(&record, raw.payload.data() + 12, sizeof record);
            config_taskN2HOrder(&record);
            seen.insert(std::string(record.task) +
                        (record.status == TASK_STATUS_UP ? " up" : " down"));
        }
        return seen;
    }
    // The named task's object in the daemon's status as JSON.
    std::string taskStatus(const std::string& name) const {
        TestClient client;
        GeneralMsg ask(KEEPER_PRINT_STATUS);
        ask.payload.status.form = STATUS_FORM_JSON;
        Message reply;
        if (!client.connect(port()) || !client.send(ask) ||
            !client.readType(KEEPER_PRINT_ACK, reply, 3000))
            return "";
        const std::string text = listingText(reply);
        const size_t at = text.find("{\"name\": \"" + name + "\"");
        return at == std::string::npos ? "" : text.substr(at, text.find('}', at) - at);
    }
    size_t checkRuns(const std::string& name) const {
        const std::string text = readText(home() + "/rec/checks");
        size_t runs = 0;
        for (size_t at = 0; (at = text.find(name + "\n", at)) != std::string::npos; ++at) ++runs;
        return runs;
    }
    std::string flags() const {
        TestClient client;
        Message reply;
        if (!client.connect(port()) || !client.printFlags(reply)) return "";
        return listingText(reply);
    }
    // Sends SIGHUP and waits for the trace of its outcome ("applied",
    // "refused" or "nothing to change"), the n-th of them.
    bool hangUp(const std::string& outcome, size_t n = 1) {
        if (kill(vardoPid(), SIGHUP) != 0) return false;
        const std::string line = "SIGHUP: " + outcome;
        return waitFor(
            [&] {
                const std::string trace = traceLog();
                size_t seen = 0;
                for (size_t at = 0; (at = trace.find(line, at)) != std::string::npos; ++at) ++seen;
                return seen >= n;
            },
            5000);
    }
    // The three tasks running, the boot sequence over, and a program's
    // connection that the test takes over subscribed to the task events.
    void startThree() {
        writeIni(general() + watch() + task("keep", "keep") + task("gone", "gone") +
                 task("edit", "edit") + check("old") + flag("first"));
        startVardo();
        ASSERT_TRUE(waitRecords("watch", "start", 1));
        ASSERT_TRUE(watcher.connect(port()));
        ASSERT_TRUE(watcher.init(1, records("watch").at(0).pid, "watch"));
        ASSERT_TRUE(watcher.registerEvent(0, EVENT_GRP_TASK, 0xFFFFFFFFu));
        ASSERT_TRUE(waitFor(
            [&] {
                return traceLog().find("success registration from task [watch]") !=
                       std::string::npos;
            },
            3000));
        ASSERT_TRUE(waitBound("keep", "keep"));
        ASSERT_TRUE(waitBound("gone", "gone"));
        ASSERT_TRUE(waitBound("edit", "edit"));
        ASSERT_TRUE(waitFor([&] { return checkRuns("old") >= 1; }, 5000));
    }

    TestClient watcher;
};

TEST_F(E2eReload, OnlyWhatChangedIsStoppedStartedOrDropped) {
    startThree();
    const int keepPid = psPid("keep"), gonePid = psPid("gone"), editPid = psPid("edit");
    writeIni(general() + watch() + task("keep", "keep") + task("edit", "edit2") +
             task("fresh", "fresh") + check("new") + flag("first") + flag("second"));
    ASSERT_TRUE(hangUp("applied"));

    ASSERT_TRUE(waitBound("fresh", "fresh"));
    ASSERT_TRUE(waitBound("edit", "edit2"));
    EXPECT_EQ(records("edit2", "start").at(0).pid, psPid("edit"));
    EXPECT_NE(psPid("edit"), editPid);
    EXPECT_TRUE(waitFor([&] { return processGone(editPid); }, 3000));
    EXPECT_EQ(records("edit", "quit").size(), 1u);
    // Its counters carried on, and the new start is no restart.
    const std::string edit = taskStatus("edit");
    EXPECT_NE(edit.find("\"starts\": 2,"), std::string::npos) << edit;
    EXPECT_NE(edit.find("\"restarts\": 0,"), std::string::npos) << edit;

    EXPECT_TRUE(waitFor([&] { return processGone(gonePid); }, 3000));
    EXPECT_EQ(records("gone", "quit").size(), 1u);
    EXPECT_TRUE(waitFor([&] { return psPid("gone") == -2; }, 3000)) << psListing();

    EXPECT_EQ(psPid("keep"), keepPid);
    EXPECT_TRUE(records("keep", "quit").empty());
    EXPECT_EQ(records("keep", "start").size(), 1u);

    ASSERT_TRUE(waitFor([&] { return checkRuns("new") >= 1; }, 5000));
    const size_t oldRuns = checkRuns("old");
    settle();
    EXPECT_EQ(checkRuns("old"), oldRuns) << "a removed check stops running";
    EXPECT_NE(flags().find("second On"), std::string::npos) << flags();
    // The events of the tasks stopped and started, and none other.
    EXPECT_EQ(taskEvents(500),
              (std::multiset<std::string>{"edit down", "edit up", "fresh up", "gone down"}));

    // The same file again: nothing to change, nothing touched.
    EXPECT_EQ(vardoctl("-u").status, int(KEEPER_NO_CHANGE));
    EXPECT_EQ(psPid("keep"), keepPid);
    EXPECT_EQ(records("edit2", "start").size(), 1u);
}

TEST_F(E2eReload, FileStartUpWouldRefuseChangesNothing) {
    startThree();
    const int keepPid = psPid("keep");
    const std::string good = readConf();
    writeIni(good + "[tasks/broken\ntype = ps\n");
    ASSERT_TRUE(hangUp("refused"));
    EXPECT_NE(traceLog().find("not valid INI text"), std::string::npos);
    writeIni(good + "[tasks/bad]\ntype = ps\nname = e2e_child\nlocation = /nowhere\nlevel = 1\n");
    EXPECT_EQ(vardoctl("-u").status, int(KEEPER_FAIL));
    EXPECT_NE(traceLog().find("an enabled must task is not valid"), std::string::npos);
    settle();
    EXPECT_EQ(psPid("keep"), keepPid);
    EXPECT_EQ(psPid("bad"), -2);
    EXPECT_TRUE(records("keep", "quit").empty());
}

TEST_F(E2eReload, WriteBacksAreNoChangeAndStayAcrossAnEdit) {
    startThree();
    const int keepPid = psPid("keep");
    TestClient client;
    ASSERT_TRUE(client.connect(port()) && client.setTask(0, 0, "keep"));
    ASSERT_TRUE(waitFor([&] { return confBool("vardo.ini", "tasks/keep:enabled") == 0; }, 3000));
    ASSERT_TRUE(hangUp("nothing to change"));

    writeIni(readConf() + task("fresh", "fresh"));
    EXPECT_EQ(vardoctl("-u").status, int(KEEPER_OK));
    ASSERT_TRUE(waitBound("fresh", "fresh"));
    EXPECT_EQ(psPid("keep"), keepPid);
    EXPECT_EQ(confBool("vardo.ini", "tasks/keep:enabled"), 0);
}

TEST_F(E2eReload, TaskThatIsDownGoesAtOnceWithItsPendingRestart) {
    const std::string flaky =
        psTask("flaky", 1, "--record ${REC}/flaky --exit", "restart = yes\nrestart delay = 2\n");
    writeIni(general() + flaky + task("keep", "keep"));
    startVardo();
    ASSERT_TRUE(waitBound("keep", "keep"));
    ASSERT_TRUE(waitFor(
        [&] { return traceLog().find("Exited process flaky") != std::string::npos; }, 3000));
    writeIni(general() + task("keep", "keep"));
    ASSERT_TRUE(hangUp("applied"));
    EXPECT_EQ(psPid("flaky"), -2);
    // Past the restart delay: the restart went with the task.
    EXPECT_FALSE(waitRecords("flaky", "start", 2, 3000));
    EXPECT_TRUE(vardoRunning());
}

TEST_F(E2eReload, ChangedPortKeepsTheOldOneAndSaysARestartIsNeeded) {
    startThree();
    std::string text = readConf();
    const std::string oldPort = "keeper port = " + std::to_string(port());
    text.replace(text.find(oldPort), oldPort.size(), "keeper port = " + std::to_string(port() + 1));
    writeIni(text);
    ASSERT_TRUE(hangUp("applied"));
    EXPECT_NE(traceLog().find("general key [keeper port] changed: a restart is needed"),
              std::string::npos);
    EXPECT_TRUE(portAccepts(port()));
    EXPECT_FALSE(portAccepts(port() + 1));
}

TEST_F(E2eReload, SighupDuringTheBootSequenceIsRefused) {
    // Level 1 never confirms: the boot sequence waits there.
    writeIni(general() + psTask("silent", 1, "--record ${REC}/silent") +
             psTask("later", 2, "--record ${REC}/later --init ${PORT}"));
    startVardo();
    ASSERT_TRUE(waitRecords("silent", "start", 1));
    writeIni(general() + psTask("silent", 1, "--record ${REC}/silent") +
             psTask("extra", 1, "--record ${REC}/extra"));
    ASSERT_TRUE(hangUp("refused"));
    EXPECT_NE(traceLog().find("the boot sequence is still under way"), std::string::npos);
    EXPECT_EQ(vardoctl("-u").status, int(KEEPER_FAIL));
    EXPECT_TRUE(vardoRunning());
    settle();
    EXPECT_EQ(psPid("extra"), -2);
}

}  // namespace
}  // namespace e2e
