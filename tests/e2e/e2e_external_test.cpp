// Programs that do not speak the keeper protocol, stopped by a procedure of
// their own or by signals, and programs on a peer whose connection stands
// for the process.
#include <fstream>
#include <sstream>
#include <string>

#include "support/test_util.h"
#include "tests/e2e/test_client.h"
#include "tests/e2e/vardo_fixture.h"

namespace e2e {
namespace {

class E2eExternal : public VardoTest {
protected:
    // An external program: the test program without a connection to vardo.
    static std::string extTask(const std::string& name, const std::string& args,
                               const std::string& extra = "") {
        return psTask(name, 1, "--record ${REC}/" + name + args, "external = yes\n" + extra);
    }

    bool traced(const std::string& text, int timeoutMs = 3000) const {
        return waitFor([&] { return traceLog().find(text) != std::string::npos; }, timeoutMs);
    }
};

TEST_F(E2eExternal, ConfirmedAtStartAndStoppedByItsTerminateProcedure) {
    // The procedure stops the program by the pid it recorded.
    writeScript("stop.sh",
                "echo \"$@\" >> ${REC}/stopcmd\n"
                "kill -9 $(awk '$1 == \"start\" { pid = $2 } END { print pid }' $1)");
    writeIni(general() +
             extTask("ext", "",
                     "terminate procedure = stop.sh\nterminate location = ${HOME}\n"
                     "terminate args = ${REC}/ext") +
             psTask("after", 2, "--record ${REC}/after"));
    startVardo();
    ASSERT_TRUE(waitRecords("ext", "start", 1));
    // No init message from an external program: its level is complete at once.
    ASSERT_TRUE(waitRecords("after", "start", 1));
    const int pid = records("ext").at(0).pid;
    ASSERT_TRUE(waitPsPid("ext", [&](int listed) { return listed == pid; }));

    actionOnPs(1, "ext");
    ASSERT_TRUE(waitFor([&] { return processGone(pid); }, 3000));
    EXPECT_TRUE(
        traced("PsExtTask::terminate, cmd [" + home() + "/stop.sh " + recordPath("ext") + "]"));
    ASSERT_TRUE(waitPsPid("ext", [](int listed) { return listed == -1; }));
    EXPECT_EQ(records("ext", "start").size(), 1u) << "a stopped program stays down";
}

TEST_F(E2eExternal, WithoutProcedureStoppedBySigterm) {
    writeIni(general() + extTask("ext", "", "kill timeout = 5"));
    startVardo();
    ASSERT_TRUE(waitRecords("ext", "start", 1));
    const int pid = records("ext").at(0).pid;
    actionOnPs(1, "ext");
    ASSERT_TRUE(waitFor([&] { return processGone(pid); }, 3000));
    EXPECT_TRUE(traced("PsExtTask::terminate, sending termination signal:15 to process:ext, pid:" +
                       std::to_string(pid)));
    ASSERT_TRUE(waitPsPid("ext", [](int listed) { return listed == -1; }));
    EXPECT_EQ(traceLog().find("TimerHandler::kill_ps"), std::string::npos)
        << "gone before the kill timeout";
}

TEST_F(E2eExternal, KilledAfterKillTimeoutWhenItIgnoresSigterm) {
    writeIni(general() + extTask("ext", " --ignore-term"));
    startVardo();
    ASSERT_TRUE(waitRecords("ext", "start", 1));
    const int pid = records("ext").at(0).pid;
    actionOnPs(1, "ext");
    ASSERT_TRUE(waitRecords("ext", "term", 1));
    ASSERT_TRUE(waitFor([&] { return processGone(pid); }, 4000));
    EXPECT_TRUE(traced("TimerHandler::kill_ps, sending 9 signal to pid:" + std::to_string(pid)));
}

TEST_F(E2eExternal, OverlongTerminateCommandRefusesTheTask) {
    writeIni(general() +
             extTask("ext", "",
                     "must = no\nterminate procedure = stop.sh\nterminate location = /" +
                         std::string(95, 'l')) +
             psTask("other", 1, "--record ${REC}/other"));
    startVardo();
    ASSERT_TRUE(waitRecords("other", "start", 1));
    EXPECT_TRUE(traced("validate: Task ext refused, its terminate command is too long"));
    actionOnPs(0, "ext");
    ASSERT_TRUE(waitFor(
        [&] { return traceLog().find("Task [ext], not allowed to run") != std::string::npos; },
        3000));
    EXPECT_TRUE(records("ext").empty());
}

TEST_F(E2eExternal, RemotePeerDisconnectWithoutRestartRunsFailureAction) {
    writeScript("onfail.sh", "echo fail >> ${REC}/actions");
    writeIni(
        general() + "[actions/onfail]\nimplement = App\nname = onfail.sh\nlocation = ${HOME}\n\n" +
        "[tasks/peer]\ntype = remote\nlevel = 1\nrestart = no\naction on failure = onfail.sh\n\n" +
        psTask("after", 2, "--record ${REC}/after"));
    startVardo();
    ASSERT_NE(psPid("peer"), -2);
    EXPECT_TRUE(records("after").empty()) << "level 1 waits for its peer";

    TestClient peer;
    ASSERT_TRUE(peer.connect(port()));
    ASSERT_TRUE(peer.init(1, 4242, "peer"));
    ASSERT_TRUE(traced("Got init confirmation from peer"));
    EXPECT_TRUE(traced("PsRemoteTask::set_target_params, task [peer], start time "));
    EXPECT_NE(traceLog().find(", ip 127.0.0.1, boot time "), std::string::npos);
    ASSERT_TRUE(waitRecords("after", "start", 1));
    EXPECT_EQ(psPid("peer"), -1) << "nothing is forked for a remote task";

    peer.close();
    ASSERT_TRUE(traced("Connection closed by peer("));
    ASSERT_TRUE(waitFor([&] { return readText(recordPath("actions")) == "fail\n"; }, 3000))
        << readText(recordPath("actions"));
}

TEST_F(E2eExternal, RemotePeerAnnouncedBySecondaryUpWaitsForItsReturn) {
    writeScript("onfail.sh", "echo fail >> ${REC}/actions");
    writeIni(
        general() + "[actions/onfail]\nimplement = App\nname = onfail.sh\nlocation = ${HOME}\n\n" +
        "[tasks/peer]\ntype = remote\nlevel = 1\nrestart = yes\naction on failure = onfail.sh\n\n" +
        psTask("after", 2, "--record ${REC}/after"));
    startVardo();
    TestClient peer;
    ASSERT_TRUE(peer.connect(port()));
    ASSERT_TRUE(peer.secondaryUp("peer"));
    ASSERT_TRUE(traced("Remote task peer is started"));
    // The boot sequence goes on as after an init message.
    ASSERT_TRUE(waitRecords("after", "start", 1));
    peer.close();
    ASSERT_TRUE(traced("Connection closed by peer("));
    // With restart set the daemon waits for the peer to come back.
    TestClient back;
    ASSERT_TRUE(back.connect(port()));
    ASSERT_TRUE(back.init(1, 4242, "peer"));
    ASSERT_TRUE(traced("Got init confirmation from peer"));
    EXPECT_EQ(readText(recordPath("actions")), "");
}

}  // namespace
}  // namespace e2e
