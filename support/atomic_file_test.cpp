#include "support/atomic_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>


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

}  // namespace
