#include "support/atomic_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

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
    FileBatch copy;
    EXPECT_FALSE(copy.addCopy((dir / "absent").c_str(), path.c_str()));
    EXPECT_FALSE(copy.commit());
    EXPECT_EQ(readText(path), "new\n");
}

struct stat statOf(const std::string& path) {
    struct stat st = {};
    lstat(path.c_str(), &st);
    return st;
}

bool rewrite(const std::string& path, const char* text) {
    AtomicFile file(path.c_str());
    return file.stream() != nullptr && fputs(text, file.stream()) >= 0 && file.commit();
}

// Owner and group of a file root rewrites stay those of the file it replaced,
// or a user's file would become root's; a set-id bit never survives.
TEST(AtomicFile, RewriteKeepsOwnerGroupAndModeAndDropsSetIdBits) {
    TempDir dir;
    const std::string path = dir / "profile";
    writeText(path, "old\n");
    ASSERT_EQ(chown(path.c_str(), 1000, 1000), 0);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(rewrite(path, "new\n"));
    struct stat st = statOf(path);
    EXPECT_EQ(st.st_uid, 1000u);
    EXPECT_EQ(st.st_gid, 1000u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    ASSERT_EQ(chmod(path.c_str(), 06750), 0);
    ASSERT_TRUE(rewrite(path, "newer\n"));
    EXPECT_EQ(statOf(path).st_mode & 07777, 0750u);

    const mode_t mask = umask(077);
    ASSERT_TRUE(rewrite(dir / "fresh", "x"));
    umask(mask);
    EXPECT_EQ(statOf(dir / "fresh").st_mode & 07777, 0644u);
}

// A link or a FIFO put where the file should be is neither followed nor
// replaced, and a FIFO does not hold the writer.
TEST(AtomicFile, RefusesLinksAndFifosAtOnce) {
    TempDir dir;
    writeText(dir / "target", "keep\n");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    FifoRescue rescue(dir / "fifo", 3);
    const auto start = std::chrono::steady_clock::now();
    for (const char* name : {"link", "fifo"}) {
        AtomicFile file((dir / name).c_str());
        EXPECT_EQ(file.stream(), nullptr) << name;
        EXPECT_FALSE(file.commit()) << name;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(readText(dir / "target"), "keep\n");
    EXPECT_TRUE(S_ISLNK(statOf(dir / "link").st_mode));
    EXPECT_TRUE(S_ISFIFO(statOf(dir / "fifo").st_mode));
    EXPECT_EQ(entries(dir.path()), 3u) << "no temporary file left";
}

// A batch replaces all its files or none: when the second rename fails, the
// first file is the one it replaced (the same bytes, owner and mode), a file
// the batch created is gone, and nothing of the batch is left in the folder.
TEST(FileBatch, FailedRenamePutsBackWhatTheBatchReplaced) {
    TempDir dir;
    const std::string first = dir / "first", fresh = dir / "fresh", second = dir / "second";
    writeText(first, "first\n");
    ASSERT_EQ(chown(first.c_str(), 1000, 1000), 0);
    ASSERT_EQ(chmod(first.c_str(), 0640), 0);
    writeText(second, "second\n");
    const struct stat before = statOf(first);
    {
        FileBatch batch;
        for (const std::string* path : {&first, &fresh, &second})
            fputs("new\n", batch.add(path->c_str()).stream());
        ASSERT_TRUE(batch.prepare());
        EXPECT_EQ(readText(first), "first\n") << "prepared is not replaced";
        // A folder where the second file was: no file can be renamed over it.
        ASSERT_EQ(unlink(second.c_str()), 0);
        ASSERT_EQ(mkdir(second.c_str(), 0755), 0);
        writeText(second + "/x", "");
        EXPECT_FALSE(batch.commit());
    }
    EXPECT_EQ(readText(first), "first\n");
    const struct stat after = statOf(first);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, 1000u);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_NE(access(fresh.c_str(), F_OK), 0);
    EXPECT_EQ(entries(dir.path()), 2u) << "no temporary file or backup left";
}

TEST(FileBatch, RefusedFileChangesNoneAndCommitReplacesAll) {
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b";
    writeText(a, "a\n");
    writeText(dir / "target", "keep\n");
    ASSERT_EQ(symlink((dir / "target").c_str(), b.c_str()), 0);
    {
        FileBatch batch;
        fputs("new\n", batch.add(a.c_str()).stream());
        EXPECT_EQ(batch.add(b.c_str()).stream(), nullptr);
        EXPECT_FALSE(batch.commit());
    }
    EXPECT_EQ(readText(a), "a\n");
    EXPECT_EQ(readText(dir / "target"), "keep\n");
    ASSERT_EQ(unlink(b.c_str()), 0);

    FileBatch batch;
    fputs("new a\n", batch.add(a.c_str()).stream());
    EXPECT_TRUE(batch.addCopy((dir / "target").c_str(), b.c_str()));
    ASSERT_TRUE(batch.commit());
    EXPECT_EQ(readText(a), "new a\n");
    EXPECT_EQ(readText(b), "keep\n");
    EXPECT_EQ(entries(dir.path()), 3u) << "no backup left";
}

}  // namespace
