// Keep-alive under the real daemon with a one-second period: a program that
// stops answering meets its warning and error actions, and one that answers
// again is reported up to the programs that watch task status.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "tests/e2e/client_fixture.h"

namespace e2e {
namespace {

class E2eKeepAlive : public ClientTest {
protected:
    std::string silentFile() const { return home() + "/rec/silent"; }
    void goSilent() const { close(open(silentFile().c_str(), O_WRONLY | O_CREAT, 0644)); }
    void answerAgain() const { unlink(silentFile().c_str()); }
    static std::string kaKeys(const std::string& warning, const std::string& error, int period) {
        // Without the restart policy a restart would only stop the program. A
        // kill timeout of 3 s lets the program read its quit request first.
        return "restart = yes\nkill timeout = 3\n"
               "kaEnable = yes\nkaPeriod = " +
               std::to_string(period) +
               "\nkaWarning = 1\nkaError = 3\nkaWarningAction = " + warning +
               "\nkaErrorAction = " + error + "\n";
    }
    void start(const std::string& warning, const std::string& error, const std::string& others = "",
               int period = 1) {
        writeIni(generalWithIp() +
                 kcTask("quiet", 1, "--record ${REC}/quiet --silent-when ${REC}/silent",
                        kaKeys(warning, error, period)) +
                 others);
        startVardo();
        ASSERT_TRUE(waitReady("quiet", "quiet"));
    }
};

TEST_F(E2eKeepAlive, AnsweringProgramIsLeftAlone) {
    // A period of 2 s: a program starved of the processor for a whole second
    // on a loaded machine must not count as silent here.
    start("MultySignal", "stop", "", 2);
    // Periods with answers: no action, no signal.
    ASSERT_TRUE(waitFor(
        [&] {
            return traceLog().find("KeeperSrv::check_alive_ack, task [quiet]") != std::string::npos;
        },
        5000));
    EXPECT_FALSE(waitCount("quiet", "usr2", 1, 4000));
    EXPECT_EQ(countRecords("quiet", "start"), 1u);
}

TEST_F(E2eKeepAlive, MultySignalWarningsThenStop) {
    start("MultySignal", "stop");
    goSilent();
    // Ticks with counts 1 and 2 signal (offsets 0 and 1 of the warning
    // action); the count of 3 stops the program.
    ASSERT_TRUE(waitCount("quiet", "quit", 1, 15000));
    EXPECT_EQ(countRecords("quiet", "usr2"), 2u);
    EXPECT_NE(
        traceLog().find("Task [quiet] not response on keep alive. Perform [stop task] action"),
        std::string::npos);
    ASSERT_TRUE(waitPsPid("quiet", [](int pid) { return pid == -1; }));
    // Stopped for good: not started again.
    EXPECT_FALSE(waitRecords("quiet", "start", 2, 1500));
}

TEST_F(E2eKeepAlive, RestartActionStartsAFreshlyCountedInstance) {
    start("none", "restart");
    goSilent();
    ASSERT_TRUE(waitRecords("quiet", "start", 2, 9000));
    answerAgain();
    ASSERT_TRUE(waitCount("quiet", "reg:", 4));
    // The new instance answers and is probed from a count of 0: it keeps
    // running through several periods.
    EXPECT_FALSE(waitRecords("quiet", "start", 3, 3500));
    EXPECT_EQ(countRecords("quiet", "usr2"), 0u);
}

TEST_F(E2eKeepAlive, AnswerAfterMissedProbesSendsTaskUpEvent) {
    start("none", "none",
          kcTask("watcher", 2, "--record ${REC}/watcher --subscribe 13:0xFFFFFFFF"));
    ASSERT_TRUE(waitReady("watcher", "watcher"));
    goSilent();
    ASSERT_TRUE(waitFor(
        [&] {
            return traceLog().find("Task [quiet] is not reachable for keep alive") !=
                   std::string::npos;
        },
        5000));
    const size_t before = countRecords("watcher", "event:13:");
    answerAgain();
    ASSERT_TRUE(waitFor(
        [&] {
            return traceLog().find("Task [quiet] back be reachable for keep alive") !=
                   std::string::npos;
        },
        5000));
    ASSERT_TRUE(waitCount("watcher", "event:13:", before + 1));
    const std::vector<Record> events = records("watcher");
    EXPECT_NE(events.back().what.find(":1:quiet"), std::string::npos) << events.back().what;
    EXPECT_EQ(countRecords("quiet", "start"), 1u);
}

}  // namespace
}  // namespace e2e
