// What supervised programs print: each task's standard output and error in
// a size-limited log of its own, kept across restarts and shown by vardoctl.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "support/test_util.h"
#include "tests/e2e/client_fixture.h"

namespace e2e {
namespace {

class E2eOutput : public ClientTest {
protected:
    // A task running a shell script of the home.
    std::string scriptTask(const std::string& name, const std::string& body,
                           const std::string& extra = "") const {
        const std::string path = writeScript(name + ".sh", body);
        return "[tasks/" + name + "]\ntype = ps\nname = " + path + "\nlevel = 1\n" +
               "kill timeout = 1\nkaEnable = no\n" + extra + "\n";
    }
    std::string logPath(const std::string& task) const { return home() + "/log/" + task + ".out"; }
    std::string logText(const std::string& task) const { return readText(logPath(task)); }
    bool waitLog(const std::string& task, const std::string& text, int timeoutMs = 5000) const {
        return waitFor([&] { return logText(task).find(text) != std::string::npos; }, timeoutMs);
    }
    // The log line that ends with the message; "" when there is none.
    std::string lineOf(const std::string& task, const std::string& message) const {
        const std::string text = logText(task);
        const size_t at = text.find(" " + message + "\n");
        if (at == std::string::npos) return "";
        const size_t start = text.rfind('\n', at);
        return text.substr(start == std::string::npos ? 0 : start + 1,
                           at + message.size() + 1 - (start == std::string::npos ? 0 : start + 1));
    }
    static bool endsWith(const std::string& line, const std::string& tail) {
        return line.size() >= tail.size() &&
               line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    }
};

TEST_F(E2eOutput, BothStreamsAndTheLastWordsBeforeAKillAreLoggedAcrossARestart) {
    writeIni(general() + scriptTask("talker",
                                    "echo \"out $$\"\necho \"err $$\" >&2\nprintf \"last $$\"\n"
                                    "exec sleep 100",
                                    "restart = yes\noutput = log\n"));
    startVardo();
    ASSERT_TRUE(waitPsPid("talker", [](int pid) { return pid > 0; }));
    const int first = psPid("talker");
    const std::string id = std::to_string(first);
    ASSERT_TRUE(waitLog("talker", "err " + id));
    const std::string out = lineOf("talker", "out " + id);
    EXPECT_EQ(out.substr(0, 7), "0000000") << out;
    EXPECT_TRUE(endsWith(out, "    Info stdout out " + id)) << out;
    EXPECT_TRUE(endsWith(lineOf("talker", "err " + id), "   Error stderr err " + id));
    // A partial line is written once nothing more came for a second, while
    // the program still runs.
    ASSERT_TRUE(waitLog("talker", "last " + id + "\n", 4000));
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(waitPsPid("talker", [first](int pid) { return pid > 0 && pid != first; }));
    const std::string second = std::to_string(psPid("talker"));
    ASSERT_TRUE(waitLog("talker", "err " + second));
    const std::string text = logText("talker");
    EXPECT_LT(text.find("last " + id), text.find("out " + second));
}

TEST_F(E2eOutput, TheLimitRotatesIntoOldAndNumberingStartsAgain) {
    writeIni(general() + scriptTask("chatty",
                                    "i=0\nwhile [ $i -lt 40 ]; do\n"
                                    "  echo \"line $i 0123456789012345678901234567890123456789\"\n"
                                    "  i=$((i+1))\ndone\nexec sleep 100",
                                    "output = log\noutput size = 1K\n"));
    startVardo();
    ASSERT_TRUE(waitLog("chatty", "line 39 "));
    const std::string old = readText(logPath("chatty") + ".old");
    ASSERT_FALSE(old.empty());
    EXPECT_EQ(old.substr(0, 9), "00000001 ");
    const std::string current = logText("chatty");
    EXPECT_EQ(current.substr(0, 9), "00000001 ");
    EXPECT_LT(current.size(), 1024u + 200u);
    EXPECT_EQ(current.find("line 0 "), std::string::npos);
}

TEST_F(E2eOutput, ModesFromTheGeneralDefaultAndEachTask) {
    writeIni("[general]\nkeeper type = primary\nkeeper port = ${PORT}\noutput = log\n\n" +
             scriptTask("byDefault", "echo hello\nexec sleep 100") +
             scriptTask("quiet", "echo hello\nexec sleep 100", "output = null\n") +
             scriptTask("own", "echo hello\nexec sleep 100", "output = inherit\n") +
             scriptTask("wrong", "echo hello\nexec sleep 100", "output = file\nmust = no\n"));
    startVardo();
    // Task names are read lower-cased.
    EXPECT_TRUE(waitLog("bydefault", "Info stdout hello"));
    ASSERT_TRUE(waitPsPid("quiet", [](int pid) { return pid > 0; }));
    ASSERT_TRUE(waitPsPid("own", [](int pid) { return pid > 0; }));
    settle();
    EXPECT_NE(access(logPath("quiet").c_str(), F_OK), 0);
    EXPECT_NE(access(logPath("own").c_str(), F_OK), 0);
    EXPECT_NE(access(logPath("wrong").c_str(), F_OK), 0);
    EXPECT_LE(psPid("wrong"), 0);
    EXPECT_NE(traceLog().find("Task wrong has an unknown output"), std::string::npos);
}

TEST_F(E2eOutput, BootTasksLogOnlyWhenAskedTo) {
    const std::pair<std::string, std::string> tasks[] = {{"loud", "output = log\n"},
                                                         {"silent", "output = null\n"},
                                                         {"plain", ""},
                                                         {"wrong", "output = file\nmust = no\n"}};
    std::string ini = general();
    for (const auto& task : tasks) {
        const std::string path =
            writeScript(task.first + ".sh", "echo up\necho down >&2\nprintf tail\ntouch " + home() +
                                                "/" + task.first + ".done");
        ini += "[tasks/" + task.first + "]\ntype = bootTask\nimplement = App\nname = " + path +
               "\nlevel = 1\n" + task.second + "\n";
    }
    writeIni(ini);
    startVardo();
    ASSERT_TRUE(waitLog("loud", "Info stdout tail\n"));
    EXPECT_TRUE(endsWith(lineOf("loud", "up"), "    Info stdout up"));
    EXPECT_TRUE(endsWith(lineOf("loud", "down"), "   Error stderr down"));
    // Without a key a boot task keeps /dev/null, unlike a program.
    const auto ran = [&](const std::string& name) {
        return access((home() + "/" + name + ".done").c_str(), F_OK) == 0;
    };
    ASSERT_TRUE(waitFor([&] { return ran("silent") && ran("plain"); }, 5000));
    settle();
    EXPECT_NE(access(logPath("silent").c_str(), F_OK), 0);
    EXPECT_NE(access(logPath("plain").c_str(), F_OK), 0);
    EXPECT_FALSE(ran("wrong"));
    EXPECT_NE(traceLog().find("Task wrong has an unknown output"), std::string::npos);
}

TEST_F(E2eOutput, VardoctlShowsTheLastLinesAndFollowsTheLog) {
    writeIni(general() + scriptTask("counter",
                                    "i=1\nwhile [ $i -le 30 ]; do echo \"n$i\"; i=$((i+1)); done\n"
                                    "read line < ${HOME}/go\necho after\nexec sleep 100",
                                    "output = log\n"));
    ASSERT_EQ(mkfifo((home() + "/go").c_str(), 0600), 0);
    startVardo();
    ASSERT_TRUE(waitLog("counter", " n30\n"));
    ToolRun run = vardoctl("-o counter");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 20);
    EXPECT_NE(run.out.find(" n11\n"), std::string::npos);
    EXPECT_EQ(run.out.find(" n10\n"), std::string::npos);
    EXPECT_TRUE(endsWith(run.out, " n30\n"));
    const std::string three = vardoctl("-o counter 3").out;
    EXPECT_EQ(std::count(three.begin(), three.end(), '\n'), 3);
    run = vardoctl("-o nobody");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "No output log for nobody\n");

    const std::string followed = home() + "/followed";
    const std::string line = "VELTO_HOME='" + home() + "' " + E2E_VARDOCTL_PATH + " -O counter > " +
                             followed + " 2>&1 & echo $!";
    FILE* shell = popen(line.c_str(), "r");
    ASSERT_NE(shell, nullptr);
    int tool = 0;
    ASSERT_EQ(fscanf(shell, "%d", &tool), 1);
    pclose(shell);
    ASSERT_TRUE(
        waitFor([&] { return readText(followed).find(" n30\n") != std::string::npos; }, 3000));
    writeText(home() + "/go", "go\n");
    EXPECT_TRUE(
        waitFor([&] { return readText(followed).find(" after\n") != std::string::npos; }, 3000));
    kill(tool, SIGINT);
    // The file is read without the daemon.
    stopVardo();
    EXPECT_TRUE(endsWith(vardoctl("-o counter 1").out, " after\n"));
}

TEST_F(E2eOutput, AFullDiskDropsLinesAndTheProgramRunsOn) {
    // Every write to the log fails as on a full disk.
    const std::string folder = home() + "/log";
    mkdir(folder.c_str(), 0755);
    writeText(logPath("busy"), "");
    ASSERT_EQ(mount("/dev/full", logPath("busy").c_str(), nullptr, MS_BIND, nullptr), 0);
    writeIni(general() +
             scriptTask("busy", "while true; do echo tick; sleep 0.02; done", "output = log\n"));
    startVardo();
    ASSERT_TRUE(waitPsPid("busy", [](int pid) { return pid > 0; }));
    const int pid = psPid("busy");
    EXPECT_TRUE(waitFor(
        [&] { return traceLog().find("lines of output dropped") != std::string::npos; }, 5000));
    settle();
    EXPECT_EQ(psPid("busy"), pid);
    // Traced once a minute, not once a line.
    const std::string trace = traceLog();
    EXPECT_EQ(trace.find("lines of output dropped"), trace.rfind("lines of output dropped"));
    stopVardo();
    umount2(logPath("busy").c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace e2e
