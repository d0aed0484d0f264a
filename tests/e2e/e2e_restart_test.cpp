// Restart policy of supervised programs, seen from outside: what vardo starts
// again after an exit, when, and what a start or stop request changes.
#include "tests/e2e/vardo_fixture.h"

namespace e2e {
namespace {

class E2eRestart : public VardoTest {
protected:
    // An INI action that records each run, named "mark.sh" for tasks'
    // "action on failure".
    std::string markAction() const {
        writeScript("mark.sh", "echo \"failure $$ 0\" >> ${REC}/failures");
        return "[actions/mark]\nimplement = App\nname = mark.sh\nlocation = ${HOME}\n\n";
    }
};

TEST_F(E2eRestart, WithoutRestartOptionStaysDownAndRefusesStart) {
    writeIni(general() + markAction() +
             psTask("once", 1, "--record ${REC}/once --exit", "action on failure = mark.sh"));
    startVardo();
    ASSERT_TRUE(waitRecords("failures", "failure", 1));
    EXPECT_EQ(psPid("once"), -1);

    actionOnPs(0, "once");
    ASSERT_TRUE(waitRecords("failures", "failure", 2)) << "a refused start runs the action";
    settle();
    EXPECT_EQ(records("once", "start").size(), 1u);
    EXPECT_EQ(psPid("once"), -1);
}

TEST_F(E2eRestart, RetriesLimitedWithinIntervalUntilStartRequest) {
    writeIni(general() + markAction() +
             psTask("flaky", 1, "--record ${REC}/flaky --exit",
                    "restart = yes\nretries = 2\nretries interval = 60\n"
                    "action on failure = mark.sh"));
    startVardo();
    // First start and two restarts, then the limit and the failure action.
    ASSERT_TRUE(waitRecords("failures", "failure", 1));
    settle();
    EXPECT_EQ(records("flaky", "start").size(), 3u);

    // A start request empties the record of exits: three more starts.
    actionOnPs(0, "flaky");
    ASSERT_TRUE(waitRecords("failures", "failure", 2));
    settle();
    EXPECT_EQ(records("flaky", "start").size(), 6u);
    EXPECT_EQ(records("failures").size(), 2u);
}

TEST_F(E2eRestart, RestartDelayIsKeptBetweenUnlimitedRestarts) {
    writeIni(general() +
             psTask("slow", 1, "--record ${REC}/slow --exit", "restart = yes\nrestart delay = 2"));
    startVardo();
    // Timers count whole seconds of uptime: a delay of 2 s lasts 1 to 2 s.
    ASSERT_TRUE(waitRecords("slow", "start", 3, 8000));
    const std::vector<Record> starts = records("slow", "start");
    for (size_t i = 1; i < 3; ++i) {
        const long long gap = starts[i].ms - starts[i - 1].ms;
        EXPECT_GE(gap, 900) << "restart " << i;
        EXPECT_LE(gap, 3500) << "restart " << i;
    }
}

TEST_F(E2eRestart, StopEscalatesToSigtermThenSigkillAndStaysDown) {
    writeIni(general() + psTask("stubborn", 1, "--record ${REC}/stubborn --ignore-term",
                                "restart = yes\nkill timeout = 2"));
    startVardo();
    ASSERT_TRUE(waitRecords("stubborn", "start", 1));
    const int pid = records("stubborn").at(0).pid;

    const long long asked = nowMs();
    actionOnPs(1, "stubborn");
    // Kill timeout 2 s: SIGTERM after 2 s, SIGKILL after 4 s, in whole
    // seconds of uptime (so each up to a second earlier).
    ASSERT_TRUE(waitRecords("stubborn", "term", 1));
    const long long term = records("stubborn", "term").at(0).ms;
    EXPECT_GE(term - asked, 900);
    ASSERT_TRUE(waitFor([&] { return processGone(pid); }, 6000));
    EXPECT_GE(nowMs() - term, 1800) << "SIGKILL one kill timeout after SIGTERM";
    ASSERT_TRUE(waitPsPid("stubborn", [](int p) { return p == -1; }));
    settle();
    EXPECT_EQ(records("stubborn", "start").size(), 1u) << "a stopped task is not restarted";
}

TEST_F(E2eRestart, RestartRequestStartsConnectedProgramAgain) {
    writeIni(general() + psTask("svc", 1, "--record ${REC}/svc --init ${PORT}", "restart = yes"));
    startVardo();
    ASSERT_TRUE(waitBound("svc", "svc"));
    const int first = records("svc", "start").at(0).pid;
    ASSERT_TRUE(waitPsPid("svc", [&](int p) { return p == first; }));

    actionOnPs(2, "svc");
    // The connected program is asked to quit and is started again at once.
    ASSERT_TRUE(waitRecords("svc", "quit", 1));
    ASSERT_TRUE(waitRecords("svc", "start", 2));
    const int second = records("svc", "start").at(1).pid;
    EXPECT_NE(second, first);
    EXPECT_TRUE(waitPsPid("svc", [&](int p) { return p == second; }));
}

}  // namespace
}  // namespace e2e
