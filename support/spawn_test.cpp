#include "support/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "support/test_util.h"

namespace {

int exitStatusOf(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace

TEST(Spawn, ChildLeadsItsGroupWithTheGivenMaskAndOnlyTheStandardDescriptors) {
    // The caller raised its open-file limit: the child gets the old one.
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    ASSERT_EQ(Com_raiseFileLimit(), 0);
    // A descriptor the caller forgot to mark close-on-exec.
    const int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);
    const char* argv[] = {"sleep", "10", nullptr};
    SpawnPlan plan;
    plan.file = "sleep";  // found through PATH
    plan.argv = const_cast<char* const*>(argv);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGUSR2);
    const SpawnResult child = Com_spawn(plan, mask);
    close(stray);
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(child.failed, SpawnStep::None);
    // The call returns once the program runs: what it inherited shows now.
    const std::string proc = "/proc/" + std::to_string(child.pid);
    EXPECT_EQ(getpgid(child.pid), child.pid);
    // SIGUSR2 is signal 12: bit 11 of the mask.
    EXPECT_NE(readText(proc + "/status").find("SigBlk:\t0000000000000800\n"), std::string::npos);
    EXPECT_EQ(access((proc + "/fd/2").c_str(), F_OK), 0);
    EXPECT_NE(access((proc + "/fd/" + std::to_string(stray)).c_str(), F_OK), 0);
    EXPECT_NE(readText(proc + "/limits").find("Max open files            200 "), std::string::npos);
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(Spawn, StepsThatFailEndTheChildWithOneAndAreReported) {
    sigset_t none;
    sigemptyset(&none);
    const char* argv[] = {"true", nullptr};
    SpawnPlan missing;
    missing.file = "/nonexistent/program";
    missing.argv = const_cast<char* const*>(argv);
    const SpawnResult exec = Com_spawn(missing, none);
    ASSERT_GT(exec.pid, 0);
    EXPECT_EQ(exec.failed, SpawnStep::Exec);
    EXPECT_EQ(exec.error, ENOENT);
    EXPECT_EQ(exitStatusOf(exec.pid), 1);

    SpawnPlan nobody;
    nobody.file = "true";
    nobody.argv = const_cast<char* const*>(argv);
    nobody.change_ids = true;
    nobody.ids_known = false;
    const SpawnResult ids = Com_spawn(nobody, none);
    ASSERT_GT(ids.pid, 0);
    EXPECT_EQ(ids.failed, SpawnStep::Ids);
    EXPECT_EQ(ids.error, 0);
    EXPECT_EQ(exitStatusOf(ids.pid), 1);
}

namespace {

std::string linkOf(const std::string& path) {
    char target[256];
    const ssize_t len = readlink(path.c_str(), target, sizeof target - 1);
    return len < 0 ? std::string() : std::string(target, static_cast<size_t>(len));
}

}  // namespace

// The child puts the plan's descriptors in place of the caller's 0 to 2 and
// keeps none of the caller's others; the caller keeps its own 0 to 2.
TEST(Spawn, StandardDescriptorsChangeForTheChildOnly) {
    std::string before[3];
    for (int fd = 0; fd < 3; ++fd) before[fd] = linkOf("/proc/self/fd/" + std::to_string(fd));
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);
    const int lowestFree = dup(0);
    close(lowestFree);
    const char* argv[] = {"sleep", "10", nullptr};
    SpawnPlan plan;
    plan.file = "sleep";
    plan.argv = const_cast<char* const*>(argv);
    plan.stdio[1] = plan.stdio[2] = out[1];
    sigset_t none;
    sigemptyset(&none);
    const SpawnResult child = Com_spawn(plan, none);
    ASSERT_GT(child.pid, 0);
    const std::string proc = "/proc/" + std::to_string(child.pid) + "/fd/";
    const std::string pipeLink = linkOf("/proc/self/fd/" + std::to_string(out[1]));
    EXPECT_EQ(linkOf(proc + "1"), pipeLink);
    EXPECT_EQ(linkOf(proc + "2"), pipeLink);
    EXPECT_EQ(linkOf(proc + "0"), before[0]);
    EXPECT_NE(access((proc + std::to_string(stray)).c_str(), F_OK), 0);
    for (int fd = 0; fd < 3; ++fd)
        EXPECT_EQ(linkOf("/proc/self/fd/" + std::to_string(fd)), before[fd]) << fd;
    const int next = dup(0);
    EXPECT_EQ(next, lowestFree) << "a descriptor was left open";
    close(next);
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    close(stray);
    close(out[0]);
    close(out[1]);
}
