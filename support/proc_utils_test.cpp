#include "support/proc_utils.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <string>
#include <thread>

namespace {

// First pid per command word of a ps listing, read the way the listing is
// meant to be read: header skipped, fields by sscanf.
std::map<std::string, int> psAxFirstPids() {
    std::map<std::string, int> first;
    FILE* ps = popen("ps ax", "r");
    if (ps == nullptr) return first;
    char line[4096];
    bool header = true;
    while (fgets(line, sizeof line, ps) != nullptr) {
        char tty[64], stat[64], time[64], cmd[4096];
        int pid;
        if (header) {
            header = false;
            continue;
        }
        // a kernel worker's name follows the work it picks up, too fast to compare
        if (sscanf(line, "%d %63s %63s %63s %4095s", &pid, tty, stat, time, cmd) == 5 &&
            std::strncmp(cmd, "[kworker/", 9) != 0)
            first.emplace(cmd, pid);
    }
    pclose(ps);
    return first;
}

std::map<int, int> psEfParents() {
    std::map<int, int> parents;
    FILE* ps = popen("ps -ef", "r");
    if (ps == nullptr) return parents;
    char line[4096];
    bool header = true;
    while (fgets(line, sizeof line, ps) != nullptr) {
        char uid[256];
        int pid, ppid;
        if (header) {
            header = false;
            continue;
        }
        if (sscanf(line, "%255s %d %d", uid, &pid, &ppid) == 3) parents.emplace(pid, ppid);
    }
    pclose(ps);
    return parents;
}

bool havePs() { return system("ps ax > /dev/null 2>&1") == 0; }

// A child whose argument 0 no other process has.
class Sleeper {
public:
    explicit Sleeper(const std::string& argv0) : name(argv0) {
        pid = fork();
        if (pid == 0) {
            execl("/bin/sleep", name.c_str(), "30", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Sleeper() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    // exec replaces the command line shortly after fork
    bool waitForExec() const {
        for (int i = 0; i < 500; ++i) {
            if (Com_getPidof(name.c_str()) == pid) return true;
            usleep(10000);
        }
        return false;
    }

    std::string name;
    pid_t pid;
};

TEST(ProcUtils, PidofFindsOwnChildByArgumentZero) {
    Sleeper child("/tmp/vardo-support-sleeper-" + std::to_string(getpid()));
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(child.waitForExec());
    EXPECT_EQ(Com_getPPidof(child.pid), getpid());
    EXPECT_EQ(Com_getPidof(("vardo-support-sleeper-" + std::to_string(getpid())).c_str()), -1);
    EXPECT_EQ(Com_getPidof(nullptr), -1);
}

// Compares `ours` with a ps listing for every key. Processes come and go
// while this runs (builds beside it, kernel workers renaming themselves, the
// listing's own ps), so a key whose listing changed under the look-up is
// tried again, up to three times, and left out when it never holds still.
template <typename Key, typename Listing, typename Ours>
void expectMatchesListing(Listing listing, Ours ours) {
    std::map<Key, int> pending = listing();
    std::map<Key, std::pair<int, int>> wrong;  // key -> (ps, look-up)
    size_t compared = 0;
    for (int attempt = 0; attempt < 3 && !pending.empty(); ++attempt) {
        std::map<Key, int> answers;
        for (const auto& entry : pending) answers[entry.first] = ours(entry.first);
        auto after = listing();
        std::map<Key, int> retry;
        for (const auto& entry : pending) {
            auto again = after.find(entry.first);
            if (again == after.end()) continue;
            // under an emulator this process shows its emulated command line
            bool stable = again->second == entry.second && entry.second != getpid();
            if (stable && answers[entry.first] == entry.second) {
                ++compared;
                wrong.erase(entry.first);
                continue;
            }
            if (stable)
                wrong[entry.first] = {entry.second, answers[entry.first]};
            else
                wrong.erase(entry.first);
            retry[entry.first] = again->second;
        }
        pending.swap(retry);
    }
    for (const auto& entry : wrong)
        ADD_FAILURE() << entry.first << ": ps gives " << entry.second.first << ", look-up gives "
                      << entry.second.second;
    EXPECT_GE(compared, 3u);
}

TEST(ProcUtils, PidofMatchesPsAx) {
    if (!havePs()) GTEST_SKIP() << "no ps on this machine";
    expectMatchesListing<std::string>(
        psAxFirstPids, [](const std::string& name) { return Com_getPidof(name.c_str()); });
}

TEST(ProcUtils, PPidofMatchesPsEf) {
    if (!havePs()) GTEST_SKIP() << "no ps on this machine";
    expectMatchesListing<int>(psEfParents, Com_getPPidof);
    EXPECT_EQ(Com_getPPidof(getpid()), getppid());
    EXPECT_EQ(Com_getPPidof(0), -1);
    EXPECT_EQ(Com_getPPidof(-5), -1);
}

TEST(ProcUtils, ThreadIdIsNoProcess) {
    // /proc/<tid> answers for threads too; ps never lists them
    std::promise<pid_t> tid;
    std::promise<void> checked;
    std::future<void> release = checked.get_future();
    std::thread worker([&] {
        tid.set_value(gettid());
        release.wait();
    });
    pid_t threadId = tid.get_future().get();
    EXPECT_EQ(Com_getPPidof(threadId), -1);
    checked.set_value();
    worker.join();
}

TEST(ProcUtils, ProgramNames) {
    EXPECT_STREQ(Com_getPidName(), Com_extractProgName(program_invocation_name));
    std::string parent = Com_getPpidName();
    EXPECT_FALSE(parent.empty());
    EXPECT_STREQ(Com_extractProgName("/usr/sbin/ntpd"), "ntpd");
    EXPECT_STREQ(Com_extractProgName("vardo"), "vardo");
    EXPECT_STREQ(Com_extractProgName("dir/"), "");
}

}  // namespace
