#include "support/file_utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "support/test_util.h"

namespace {

TEST(FileUtils, KindsAndSizes) {
    TempDir tmp;
    writeText(tmp / "f", "12345");
    EXPECT_TRUE(isFile((tmp / "f").c_str()));
    EXPECT_FALSE(isDir((tmp / "f").c_str()));
    EXPECT_TRUE(isDir(tmp.path().c_str()));
    EXPECT_FALSE(isFile(tmp.path().c_str()));
    EXPECT_FALSE(isFile((tmp / "none").c_str()));
    EXPECT_EQ(getFileSize((tmp / "f").c_str()), 5);
    EXPECT_EQ(getFileSize(tmp.path().c_str()), -1);
    EXPECT_EQ(getFileSize((tmp / "none").c_str()), -1);
}

// Whoever can write the folder may put a FIFO or a link where the file
// should be: neither holds the reader nor leads it elsewhere.
TEST(FileUtils, OpenRegularForReadRefusesFifosAndLinksAtOnce) {
    TempDir tmp;
    writeText(tmp / "file", "content");
    ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink((tmp / "file").c_str(), (tmp / "link").c_str()), 0);
    FILE* in = fopenRegularForRead((tmp / "file").c_str());
    ASSERT_NE(in, nullptr);
    char text[16] = {};
    EXPECT_EQ(fread(text, 1, sizeof text - 1, in), 7u);
    fclose(in);

    FifoRescue rescue(tmp / "fifo", 3);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(openRegularForRead((tmp / "fifo").c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(openRegularForRead((tmp / "link").c_str()), -1);
    EXPECT_EQ(errno, ELOOP);
}

TEST(FileUtils, DelDirRemovesTreeButNotLinkTargets) {
    TempDir tmp;
    TempDir outside;
    writeText(outside / "keep", "k");
    std::string root = tmp / "root";
    mkdir(root.c_str(), 0755);
    mkdir((root + "/sub").c_str(), 0755);
    mkdir((root + "/sub/deeper").c_str(), 0755);
    writeText(root + "/a", "1");
    writeText(root + "/sub/deeper/b", "2");
    ASSERT_EQ(symlink(outside.path().c_str(), (root + "/link").c_str()), 0);
    EXPECT_TRUE(delDir(root.c_str()));
    EXPECT_FALSE(isDir(root.c_str()));
    EXPECT_TRUE(isFile((outside / "keep").c_str()));

    testing::internal::CaptureStderr();
    EXPECT_FALSE(delDir((tmp / "none").c_str()));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Can not access directory <"),
              std::string::npos);
}

}  // namespace
