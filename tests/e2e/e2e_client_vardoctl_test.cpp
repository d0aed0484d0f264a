// vardoctl against the real daemon: every option, its output and its exit
// status, and the failures an operator meets (no daemon, a silent peer, bad
// options, an overlong module name).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "protocol/keeper_msg.h"
#include "tests/e2e/client_fixture.h"
#include "tests/e2e/test_client.h"

namespace e2e {
namespace {

class E2eVardoctl : public ClientTest {
protected:
    void startWithProgram(const std::string& flags = "") {
        writeIni(generalWithIp() + flags +
                 kcTask("prog", 1, "--record ${REC}/prog --callback hello --callback bye",
                        "restart = yes\n"));
        startVardo();
        ASSERT_TRUE(waitReady("prog", "prog"));
    }
    bool waitCallbacksListed() const {
        return waitFor([&] { return vardoctl("-L prog").out.find("bye") != std::string::npos; },
                       5000, 100);
    }
};

TEST_F(E2eVardoctl, ListingsOfProcessesFlagsAndCallbacks) {
    startWithProgram(
        "[flags/first]\nname = first\nenabled = yes\n\n[flags/second]\nname = second\nenabled = "
        "no\n\n");
    const int pid = psPid("prog");
    ToolRun run = vardoctl("-l");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, " 1. prog " + std::to_string(pid) + "\n\n");

    run = vardoctl("-F");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "first On\nsecond Off\n\n");

    ASSERT_TRUE(waitCallbacksListed());
    run = vardoctl("-L prog");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "publish test callback\nunsubscribe test callback\nhello test callback\nbye test "
              "callback\n\n");
    // By index as well as by name.
    EXPECT_EQ(vardoctl("-L 1").out, run.out);
    // The "-SW" prefix is skipped.
    EXPECT_EQ(vardoctl("-SW -F").out, "first On\nsecond Off\n\n");
}

TEST_F(E2eVardoctl, EmptyListingsPrintNone) {
    writeIni(generalWithIp() + psTask("plain", 1, "--record ${REC}/plain"));
    startVardo();
    ToolRun run = vardoctl("-F");
    EXPECT_EQ(run.out, "None\n");
    EXPECT_EQ(run.status, 0);
    run = vardoctl("-L plain");
    EXPECT_EQ(run.out, "None\n");
    EXPECT_EQ(run.status, 0);
}

TEST_F(E2eVardoctl, CallbackRunsWithItsArgumentsAndFlagIsWrittenBack) {
    startWithProgram();
    ASSERT_TRUE(waitCallbacksListed());
    EXPECT_EQ(vardoctl("-c prog hello a b   c").status, 0);
    ASSERT_TRUE(waitCount("prog", "cb:hello:a_b_c", 1));
    EXPECT_EQ(vardoctl("-c prog bye").status, 0);
    ASSERT_TRUE(waitCount("prog", "cb:bye:", 1));
    // A callback nobody registered reaches no program.
    EXPECT_EQ(vardoctl("-c prog nothing x").status, 0);

    EXPECT_EQ(vardoctl("-f newflag 7").status, 0);
    EXPECT_TRUE(waitFor([&] { return vardoctl("-F").out == "newflag On\n\n"; }, 3000, 100));
    EXPECT_NE(readConf().find("newflag"), std::string::npos);
    EXPECT_EQ(vardoctl("-f newflag 0").status, 0);
    EXPECT_TRUE(waitFor([&] { return vardoctl("-F").out == "newflag Off\n\n"; }, 3000, 100));
}

TEST_F(E2eVardoctl, ModuleAndCheckActions) {
    startWithProgram();
    const int first = psPid("prog");
    EXPECT_EQ(vardoctl("-R prog").status, 0);
    ASSERT_TRUE(waitPsPid("prog", [&](int pid) { return pid > 0 && pid != first; }));
    EXPECT_EQ(vardoctl("-k 1").status, 0);
    ASSERT_TRUE(waitPsPid("prog", [](int pid) { return pid == -1; }));
    EXPECT_EQ(vardoctl("-s prog").status, 0);
    ASSERT_TRUE(waitPsPid("prog", [](int pid) { return pid > 0; }));

    // Checks the daemon does not know are refused there; the tool cannot know.
    EXPECT_EQ(vardoctl("-K nocheck").status, 0);
    EXPECT_EQ(vardoctl("-S nocheck").status, 0);
    EXPECT_EQ(vardoctl("-C nocheck 1 2").status, 0);
    EXPECT_EQ(vardoctl("-C nocheck").status, 2);
    EXPECT_TRUE(vardoRunning());
}

TEST_F(E2eVardoctl, OverlongModuleNameLeavesTheDaemonUp) {
    startWithProgram();
    const int pid = psPid("prog");
    // The tool refuses a name its 100-byte field cannot hold.
    const std::string longName(300, 'm');
    EXPECT_EQ(vardoctl("-R " + longName).status, 2);
    EXPECT_EQ(vardoctl("-c " + longName + " " + longName + " " + longName).status, 2);
    // A peer that fills the field to the brim, without its NUL, is cut.
    TestClient raw;
    ASSERT_TRUE(raw.connect(port()));
    std::string payload(4 + 100, 'p');
    payload[0] = payload[1] = payload[2] = 0;
    payload[3] = 2;
    ASSERT_TRUE(
        raw.send(KEEPER_ACTION_ON_PS, payload.data(), static_cast<unsigned>(payload.size())));
    EXPECT_TRUE(vardoRunning());
    EXPECT_EQ(vardoctl("-l").out, " 1. prog " + std::to_string(pid) + "\n\n");
}

TEST_F(E2eVardoctl, UsageOnBadOptionsAndNoDaemon) {
    writeIni(generalWithIp());
    // No daemon yet: every request fails to connect.
    ToolRun run = vardoctl("-l");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "cannot connect to keeper\n");
    EXPECT_EQ(vardoctl("-SW").status, 1);

    startVardo();
    EXPECT_EQ(vardoctl("-SW").status, 0);
    for (const char* bad : {"", "-x", "l", "-R", "-c prog", "-f flag", "-L"}) {
        run = vardoctl(bad);
        EXPECT_EQ(run.status, 1) << bad;
        EXPECT_NE(run.err.find("Usage:\n"), std::string::npos) << bad;
        EXPECT_NE(run.err.find("-c module|index command [args]"), std::string::npos) << bad;
    }
}

TEST_F(E2eVardoctl, SilentPeerTimesOutAfterFiveSeconds) {
    const int listener = silentPeer();
    ASSERT_GE(listener, 0);
    writeIni(generalWithIp());
    const long long start = nowMs();
    ToolRun run = vardoctl("-l");
    const long long took = nowMs() - start;
    EXPECT_EQ(run.out, "Failed to read reply timeout\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_GE(took, 4900);
    EXPECT_LT(took, 8000);
    close(listener);
}

}  // namespace
}  // namespace e2e
