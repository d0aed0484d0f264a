// The crash handler: the file's name is the local minute of the crash,
// worked out without the C library; a crash leaves its back-trace there and
// its notice on standard error, then dies of its signal; a link placed at
// the file's path is not followed.
#include "keeper/crash_report.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>

#include "keeper/signals.h"
#include "support/test_util.h"

namespace {

const char kBase[] = "/bt/bt_vardo";

std::string name_of(long long local) {
    char name[64];
    return crash_file_name(name, sizeof name, kBase, local) ? name : "";
}

// The expected name, from the C library's own calendar.
std::string library_name(const char* base, const tm& when) {
    char name[256];
    snprintf(name, sizeof name, "%s_%d.%d.%d.%d.%d", base, when.tm_year + 1900, when.tm_mon + 1,
             when.tm_mday, when.tm_hour, when.tm_min);
    return name;
}

TEST(CrashFileName, IsTheMinuteWithoutPadding) {
    tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 3;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 59;
    EXPECT_EQ(name_of(timegm(&when)), "/bt/bt_vardo_2026.3.3.9.5");
    char small[20];
    EXPECT_FALSE(crash_file_name(small, sizeof small, kBase, timegm(&when)));
    EXPECT_STREQ(small, "");
}

// Leap days, century years and month ends from 1900 to 2300, in steps of a
// little over three days that fall at ever other times of the day.
TEST(CrashFileName, AgreesWithTheCalendarOfTheCLibrary) {
    for (long long t = -2208988800LL; t < 10413792000LL; t += 273611) {
        const time_t when = static_cast<time_t>(t);
        tm utc{};
        ASSERT_NE(gmtime_r(&when, &utc), nullptr);
        ASSERT_EQ(name_of(t), library_name(kBase, utc)) << t;
    }
}

struct Crash {
    int status = -1;     // wait status of the child
    std::string notice;  // its standard error
};

// A child that installs the crash handler for `folder` and raises SIGSEGV.
Crash crash_in(const std::string& folder) {
    Crash crash;
    int err[2];
    if (pipe(err) != 0) return crash;
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        umask(0);  // the folder's mode must not depend on the caller's mask
        dup2(err[1], STDERR_FILENO);
        SetCrashHandler(folder.c_str());
        raise(SIGSEGV);
        _exit(0);
    }
    close(err[1]);
    char block[256];
    for (ssize_t n; (n = read(err[0], block, sizeof block)) > 0;) crash.notice.append(block, n);
    close(err[0]);
    if (pid > 0) waitpid(pid, &crash.status, 0);
    return crash;
}

// The files a crash between `from` and `to` (at most a minute apart) may
// have chosen.
std::set<std::string> files_between(const std::string& folder, time_t from, time_t to) {
    std::set<std::string> names;
    for (time_t t : {from, to}) {
        tm local{};
        localtime_r(&t, &local);
        names.insert(library_name((folder + "bt_vardo").c_str(), local));
    }
    return names;
}

bool died_of_sigsegv(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV; }

TEST(CrashHandler, LeavesTheTraceInLocalTimeAndTheNoticeThenDiesOfTheSignal) {
    // Half an hour off UTC, east: the offset is added, minutes and all.
    const std::string old_tz = getenv("TZ") ? getenv("TZ") : "";
    setenv("TZ", "XST-5:30", 1);
    tzset();
    TempDir tmp;
    const std::string folder = tmp / "bt/";
    const time_t before = time(nullptr);
    const Crash crash = crash_in(folder);
    const time_t after = time(nullptr);
    std::string trace, trace_name;
    for (const std::string& name : files_between(folder, before, after))
        if (trace.empty()) trace = readText(trace_name = name);
    old_tz.empty() ? unsetenv("TZ") : setenv("TZ", old_tz.c_str(), 1);
    tzset();

    EXPECT_TRUE(died_of_sigsegv(crash.status)) << "wait status " << crash.status;
    EXPECT_EQ(crash.notice, "Terminate: Raising signal " + std::to_string(SIGSEGV) + " !!!\n");
    EXPECT_FALSE(trace.empty()) << "no back-trace file of this minute in " << folder;
    // The writer, the handler, the signal's frame, raise and its callers.
    EXPECT_GE(std::count(trace.begin(), trace.end(), '\n'), 5) << trace;
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 022, 0u) << "nobody else may put files into the folder";
    ASSERT_EQ(stat(trace_name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the trace is for root and its group only";
}

// The folder may be older than this daemon and writable by others: a link
// put at the file's path must not turn the crash's write elsewhere.
TEST(CrashHandler, DoesNotFollowALinkAtTheFilesPath) {
    TempDir tmp;
    const std::string folder = tmp / "bt/";
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    writeText(tmp / "victim", "kept");
    const time_t now = time(nullptr);
    for (const std::string& name : files_between(folder, now, now + 60))
        ASSERT_EQ(symlink((tmp / "victim").c_str(), name.c_str()), 0);
    const Crash crash = crash_in(folder);
    EXPECT_TRUE(died_of_sigsegv(crash.status)) << "wait status " << crash.status;
    EXPECT_EQ(readText(tmp / "victim"), "kept");
}

}  // namespace
