// Periodic checks in the real daemon: shell-script checks that fail while a
// file of theirs exists, actions that append to a file, level gating behind a
// failing must-check, and the check requests of the protocol.
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/test_client.h"
#include "tests/e2e/vardo_fixture.h"

namespace e2e {
namespace {

class E2eChecks : public VardoTest {
protected:
    void SetUp() override {
        VardoTest::SetUp();
        if (IsSkipped()) return;
        // Every run records its arguments; the first one names the check.
        writeScript("check.sh", "echo \"$@\" >> ${REC}/runs_$1\n[ ! -e ${HOME}/fail_$1 ]");
        for (const char* kind : {"fail", "timeout", "success"})
            writeScript(std::string("on") + kind + ".sh",
                        std::string("echo ") + kind + " >> ${REC}/actions");
    }

    // A boot sequence that finishes at once (checks are armed only then) and
    // the three actions.
    static std::string base() {
        std::string text = general() +
                           "[tasks/boot]\ntype = bootTask\nname = true\nlocation = /bin\n"
                           "implement = App\nlevel = 1\n\n";
        for (const char* kind : {"fail", "timeout", "success"})
            text += std::string("[actions/on") + kind + "]\nimplement = App\nname = on" + kind +
                    ".sh\nlocation = ${HOME}\n\n";
        return text;
    }

    // A check section running check.sh every second with args (the first
    // word names its record files).
    static std::string check(const std::string& section, int level, const std::string& args,
                             const std::string& extra = "") {
        return "[checks/" + section + "]\nname = check.sh\nlocation = ${HOME}\nimplement = App\n" +
               "args = " + args + "\nlevel = " + std::to_string(level) +
               "\ninterval = 1\naction on failure = onfail.sh\naction on success = onsuccess.sh\n"
               "action on timeout = ontimeout.sh\n" +
               extra + "\n";
    }

    void setFailing(const std::string& name, bool failing) const {
        const std::string path = home() + "/fail_" + name;
        if (failing)
            std::ofstream(path.c_str()) << "x";
        else
            std::remove(path.c_str());
    }

    std::vector<std::string> lines(const std::string& recName) const {
        std::ifstream in(recordPath(recName));
        std::vector<std::string> found;
        for (std::string line; std::getline(in, line);) found.push_back(line);
        return found;
    }

    bool waitLines(const std::string& recName, size_t n, int timeoutMs = 5000) const {
        return waitFor([&] { return lines(recName).size() >= n; }, timeoutMs);
    }

    void request(const std::function<bool(TestClient&)>& send) const {
        TestClient client;
        ASSERT_TRUE(client.connect(port()));
        ASSERT_TRUE(send(client));
    }
};

using Lines = std::vector<std::string>;

TEST_F(E2eChecks, EachActionRunsOncePerFailingEpisode) {
    writeIni(base() + check("c", 1, "c", "timeout = 0"));
    setFailing("c", true);
    startVardo();
    ASSERT_TRUE(waitLines("runs_c", 3, 6000));
    // Failure at the start of the episode, time-out at its second failing run.
    EXPECT_EQ(lines("actions"), (Lines{"fail", "timeout"}));
    setFailing("c", false);
    const size_t failingRuns = lines("runs_c").size();
    ASSERT_TRUE(waitLines("runs_c", failingRuns + 2, 4000));
    EXPECT_EQ(lines("actions"), (Lines{"fail", "timeout", "success"}));
}

TEST_F(E2eChecks, FailingMustCheckHoldsHigherLevelsUntilHealthy) {
    writeIni(base() + check("low", 1, "low", "must = no") + check("gate", 2, "gate") +
             check("mid", 3, "mid") + check("high", 4, "high"));
    setFailing("gate", true);
    startVardo();
    // Two failing runs of the gate: its failure and time-out actions.
    ASSERT_TRUE(waitLines("actions", 2, 5000));
    EXPECT_GE(lines("runs_low").size(), 1u) << "lower levels go on";
    EXPECT_TRUE(lines("runs_mid").empty());
    EXPECT_TRUE(lines("runs_high").empty());

    setFailing("gate", false);
    ASSERT_TRUE(waitLines("runs_mid", 1, 4000));
    ASSERT_TRUE(waitLines("runs_high", 1, 4000));
    EXPECT_EQ(lines("actions"), (Lines{"fail", "timeout", "success"}));
}

TEST_F(E2eChecks, DisabledCheckNeverRunsAndSecondOfANameIsIgnored) {
    writeIni(base() + check("off", 1, "off", "enabled = no") + check("a/dup", 1, "dup first") +
             check("b/dup", 2, "dup second"));
    startVardo();
    ASSERT_TRUE(waitLines("runs_dup", 2, 5000));
    for (const std::string& line : lines("runs_dup")) EXPECT_EQ(line, "dup first");
    EXPECT_TRUE(lines("runs_off").empty());
    // A start request arms nothing for a disabled check either.
    request([](TestClient& c) { return c.actionOnCheck(0, "off"); });
    const size_t dupRuns = lines("runs_dup").size();
    ASSERT_TRUE(waitLines("runs_dup", dupRuns + 1, 3000));
    EXPECT_TRUE(lines("runs_off").empty());
}

TEST_F(E2eChecks, SetCheckChangesArgumentsAndWritesThemBack) {
    writeIni(base() + check("c", 1, "c one"));
    startVardo();
    ASSERT_TRUE(waitLines("runs_c", 1, 5000));
    request([](TestClient& c) { return c.setCheck("c", "c two"); });
    ASSERT_TRUE(waitFor([&] { return lines("runs_c").back() == "c two"; }, 4000));
    EXPECT_EQ(confString("vardo.ini", "checks/c:args"), "c two") << readConf();
    EXPECT_TRUE(lines("actions").empty());
}

TEST_F(E2eChecks, HostileArgumentsAreRefusedAndNeverReachTheShell) {
    quickStop();
    writeIni(base() + check("c", 1, "c one"));
    startVardo();
    ASSERT_TRUE(waitLines("runs_c", 1, 5000));
    const std::string before = readConf();
    const std::string pwned = home() + "/pwned";
    for (const std::string& args :
         {"c; touch " + pwned, "c $(touch " + pwned + ")", "c `touch " + pwned + "`",
          "c | touch " + pwned, "c\ntouch " + pwned, "c && touch " + pwned, "c > " + pwned,
          std::string("c\n[tasks/x]")})
        request([&](TestClient& c) { return c.setCheck("c", args.c_str()); });
    const size_t runs = lines("runs_c").size();
    ASSERT_TRUE(waitLines("runs_c", runs + 2, 5000));
    for (const std::string& line : lines("runs_c")) EXPECT_EQ(line, "c one");
    EXPECT_EQ(readConf(), before);

    ASSERT_TRUE(exitedWith(stopVardo(), 0));
    startVardo();
    ASSERT_TRUE(waitLines("runs_c", runs + 3, 5000));
    EXPECT_EQ(lines("runs_c").back(), "c one");
    EXPECT_EQ(access(pwned.c_str(), F_OK), -1) << "nothing ran through the shell";
    EXPECT_EQ(readConf(), before);
}

TEST_F(E2eChecks, StopAndStartRequests) {
    writeIni(base() + check("c", 1, "c"));
    startVardo();
    ASSERT_TRUE(waitLines("runs_c", 1, 5000));
    request([](TestClient& c) { return c.actionOnCheck(1, "c"); });
    // The request is one-way: let the daemon take it, then nothing more comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const size_t stopped = lines("runs_c").size();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(lines("runs_c").size(), stopped);

    request([](TestClient& c) { return c.actionOnCheck(0, "c"); });
    ASSERT_TRUE(waitLines("runs_c", stopped + 2, 4000));
    // A second start does not double the runs.
    request([](TestClient& c) { return c.actionOnCheck(0, "c"); });
    const size_t before = lines("runs_c").size();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_LE(lines("runs_c").size(), before + 3);
}

}  // namespace
}  // namespace e2e
