#include "support/atomic_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>

#include "support/run_prog.h"
#include "support/test_util.h"

namespace {

size_t entries(const std::string& dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

TEST(AtomicFile, ReplacesOnCommitOnlyAndKeepsTheMode) {
    TempDir dir;
    const std::string path = dir / "conf";
    writeText(path, "old\n");
    chmod(path.c_str(), 0600);
    {
        AtomicFile file(path.c_str());
        ASSERT_NE(file.stream(), nullptr);
        fputs("half", file.stream());
        EXPECT_EQ(entries(dir.path()), 2u) << "written beside the file";
    }
    EXPECT_EQ(readText(path), "old\n") << "dropped without commit";
    EXPECT_EQ(entries(dir.path()), 1u) << "no temporary file left";

    AtomicFile file(path.c_str());
    fputs("new\n", file.stream());
    ASSERT_TRUE(file.commit());
    EXPECT_EQ(readText(path), "new\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    AtomicFile nowhere((dir / "missing/conf").c_str());
    EXPECT_EQ(nowhere.stream(), nullptr);
    EXPECT_FALSE(nowhere.commit());
    EXPECT_EQ(replaceFileWithCopy((dir / "absent").c_str(), path.c_str()), -1);
    EXPECT_EQ(readText(path), "new\n");
}

TEST(RunProgram, ArgumentsReachTheProgramAsTheyAre) {
    TempDir dir;
    const std::string odd = dir / "a;b $(x) `y`";
    const char* const touch[] = {"touch", odd.c_str(), nullptr};
    EXPECT_EQ(runProgram(touch), 0);
    EXPECT_TRUE(isFile(odd.c_str()));
    const char* const fail[] = {"/bin/sh", "-c", "exit 3", nullptr};
    const int status = runProgram(fail);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    const char* const missing[] = {"/no/such/program", nullptr};
    EXPECT_EQ(WEXITSTATUS(runProgram(missing)), 127);
    const std::string later = dir / "later";
    const char* const detached[] = {"touch", later.c_str(), nullptr};
    ASSERT_EQ(startProgram(detached), 0);
    for (int i = 0; i < 200 && !isFile(later.c_str()); ++i) usleep(10000);
    EXPECT_TRUE(isFile(later.c_str()));
    EXPECT_EQ(commandLineText(fail), "/bin/sh -c exit 3");
}

TEST(RunProgram, CapturedOutputIsBoundedInSizeAndTime) {
    std::string out;
    const char* const print[] = {"/bin/sh", "-c", "echo one; echo two >&2; exit 4", nullptr};
    const int status = captureProgram(print, 5000, out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4);
    EXPECT_EQ(out, "one\n");
    const char* const lots[] = {"/bin/sh", "-c", "yes | head -c 100000", nullptr};
    EXPECT_EQ(captureProgram(lots, 5000, out, 1000), 0);
    EXPECT_EQ(out.size(), 1000u);

    // A program that hangs, and one that closes its output and then hangs:
    // both are killed at the deadline and reaped.
    for (const char* script : {"echo partial; exec sleep 30", "exec sleep 30 >&-"}) {
        const char* const hang[] = {"/bin/sh", "-c", script, nullptr};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(captureProgram(hang, 300, out), -2) << script;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << script;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "no child left: " << script;
    }
    const char* const missing[] = {"/no/such/program", nullptr};
    EXPECT_EQ(WEXITSTATUS(captureProgram(missing, 5000, out)), 127);
}

}  // namespace
