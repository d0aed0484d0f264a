#include "support/proc_utils.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <future>
#include <map>
#include <string>
#include <thread>

namespace {

// First pid per command word of a ps listing, read the way the listing is
// meant to be read: header skipped, fields by sscanf.
std::map<std::string, int> psAxFirstPids()
{
    std::map<std::string, int> first;
    FILE *ps = popen("ps ax", "r");
    if (ps == nullptr)
        return first;
    char line[4096];
    bool header = true;
    while (fgets(line, sizeof line, ps) != nullptr) {
        char tty[64], stat[64], time[64], cmd[4096];
        int pid;
        if (header) {
            header = false;
            continue;
        }
        if (sscanf(line, "%d %63s %63s %63s %4095s", &pid, tty, stat, time, cmd) == 5)
            first.emplace(cmd, pid);
    }
    pclose(ps);
    return first;
}

std::map<int, int> psEfParents()
{
    std::map<int, int> parents;
    FILE *ps = popen("ps -ef", "r");
    if (ps == nullptr)
        return parents;
    char line[4096];
    bool header = true;
    while (fgets(line, sizeof line, ps) != nullptr) {
        char uid[256];
        int pid, ppid;
        if (header) {
            header = false;
            continue;
        }
        if (sscanf(line, "%255s %d %d", uid, &pid, &ppid) == 3)
            parents.emplace(pid, ppid);
    }
    pclose(ps);
    return parents;
}

bool havePs()
{
    return system("ps ax > /dev/null 2>&1") == 0;
}

// A child whose argument 0 no other process has.
class Sleeper {
public:
    explicit Sleeper(const std::string &argv0) : name(argv0)
    {
        pid = fork();
        if (pid == 0) {
            execl("/bin/sleep", name.c_str(), "30", static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Sleeper()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    // exec replaces the command line shortly after fork
    bool waitForExec() const
    {
        for (int i = 0; i < 500; ++i) {
            if (Com_getPidof(name.c_str()) == pid)
                return true;
            usleep(10000);
        }
        return false;
    }

    std::string name;
    pid_t pid;
};

TEST(ProcUtils, PidofFindsOwnChildByArgumentZero)
{
    Sleeper child("/tmp/vardo-support-sleeper-" + std::to_string(getpid()));
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(child.waitForExec());
    EXPECT_EQ(Com_getPPidof(child.pid), getpid());
    EXPECT_EQ(Com_getPidof(("vardo-support-sleeper-" + std::to_string(getpid())).c_str()), -1);
    EXPECT_EQ(Com_getPidof(nullptr), -1);
}

TEST(ProcUtils, PidofMatchesPsAx)
{
    if (!havePs())
        GTEST_SKIP() << "no ps on this machine";
    // Processes come and go while this runs (builds beside it): only names
    // whose first pid is the same in listings before and after are compared.
    auto before = psAxFirstPids();
    std::map<std::string, int> ours;
    for (const auto &entry : before)
        ours[entry.first] = Com_getPidof(entry.first.c_str());
    auto after = psAxFirstPids();
    int compared = 0;
    for (const auto &entry : before) {
        auto again = after.find(entry.first);
        // under an emulator this process shows its emulated command line
        if (again == after.end() || again->second != entry.second || entry.second == getpid())
            continue;
        EXPECT_EQ(ours[entry.first], entry.second) << entry.first;
        ++compared;
    }
    EXPECT_GE(compared, 3);
}

TEST(ProcUtils, PPidofMatchesPsEf)
{
    if (!havePs())
        GTEST_SKIP() << "no ps on this machine";
    auto before = psEfParents();
    std::map<int, int> ours;
    for (const auto &entry : before)
        ours[entry.first] = Com_getPPidof(entry.first);
    auto after = psEfParents();
    int compared = 0;
    for (const auto &entry : before) {
        auto again = after.find(entry.first);
        if (again == after.end() || again->second != entry.second)
            continue;
        EXPECT_EQ(ours[entry.first], entry.second) << "pid " << entry.first;
        ++compared;
    }
    EXPECT_GE(compared, 3);
    EXPECT_EQ(Com_getPPidof(getpid()), getppid());
    EXPECT_EQ(Com_getPPidof(0), -1);
    EXPECT_EQ(Com_getPPidof(-5), -1);
}

TEST(ProcUtils, ThreadIdIsNoProcess)
{
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

TEST(ProcUtils, ProgramNames)
{
    EXPECT_STREQ(Com_getPidName(), Com_extractProgName(program_invocation_name));
    std::string parent = Com_getPpidName();
    EXPECT_FALSE(parent.empty());
    EXPECT_STREQ(Com_extractProgName("/usr/sbin/ntpd"), "ntpd");
    EXPECT_STREQ(Com_extractProgName("vardo"), "vardo");
    EXPECT_STREQ(Com_extractProgName("dir/"), "");
}

}  // namespace
