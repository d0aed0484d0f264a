#include "support/logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>

#include "support/test_util.h"

namespace {

std::string ctime24(time_t t) {
    char buf[32];
    ctime_r(&t, buf);
    return std::string(buf, 24);
}

TEST(LoggerSize, UnitsAndErrors) {
    EXPECT_EQ(Logger::getLogSize("500K"), 512000);
    EXPECT_EQ(Logger::getLogSize("2m"), 2097152);
    EXPECT_EQ(Logger::getLogSize("3k"), 3072);
    EXPECT_EQ(Logger::getLogSize("1M"), 1048576);
    EXPECT_EQ(Logger::getLogSize("100"), 100);

    testing::internal::CaptureStderr();
    EXPECT_EQ(Logger::getLogSize("5G"), 10240);
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        " Error: Logger::getLogSize()  invalid value of log.size field .Defaulting size to 10K\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(Logger::getLogSize(""), 10240);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              " Error: Logger::getLogSize()  empty log.size field .Defaulting size to 10K\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(Logger::getLogSize(nullptr), 10240);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              " Error: Logger::getLogSize() empty size string. log.size not defined .Defaulting "
              "size to 10K\n");
}

TEST(LoggerSize, MalformedTextsDefault) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(Logger::getLogSize("K"), 10240);
    EXPECT_EQ(Logger::getLogSize("12KB"), 10240);
    EXPECT_EQ(Logger::getLogSize("-5"), 10240);
    EXPECT_EQ(Logger::getLogSize("99999999999999999999"), 10240);
    testing::internal::GetCapturedStderr();
}

TEST(LoggerSeverity, Names) {
    EXPECT_EQ(Logger::SeverityToStr(1), "Fatal");
    EXPECT_EQ(Logger::SeverityToStr(2), "Error");
    EXPECT_EQ(Logger::SeverityToStr(4), "Warning");
    EXPECT_EQ(Logger::SeverityToStr(8), "Info");
    EXPECT_EQ(Logger::SeverityToStr(16), "?[16]?");
    EXPECT_EQ(Logger::SeverityToStr(0), "?[0]?");
}

TEST(LoggerLine, NumberedFormattedLines) {
    TempDir tmp;
    const time_t when = 741390548;
    Logger plain;
    ASSERT_TRUE(plain.init((tmp / "a.log").c_str(), "500K", Logger::Append));
    plain.log("first", 8, "Sys", when);
    plain.log("second", 16, nullptr, when);

    Logger prefixed("PFX:");
    ASSERT_TRUE(prefixed.init((tmp / "b.log").c_str(), 1000LL, Logger::Append));
    prefixed.log("third", 2, "Module", when);

    auto lines = readLines(tmp / "a.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "00000001 " + ctime24(when) + "    Info    Sys first");
    EXPECT_EQ(lines[1], "00000002 " + ctime24(when) + "  ?[16]? unknown module second");
    EXPECT_EQ(readLines(tmp / "b.log").at(0),
              "PFX:00000001 " + ctime24(when) + "   Error Module third");
}

// What follows the number is kept from one line to the next: it must follow
// every change of time, severity and module, also a module changed in the
// caller's own buffer.
TEST(LoggerLine, HeadFollowsEachChangeOfTimeSeverityAndModule) {
    TempDir tmp;
    Logger log;
    ASSERT_TRUE(log.init((tmp / "a.log").c_str(), 1000LL, Logger::Append));
    char module[8] = "one";
    log.log("a", 8, module, 100);
    strcpy(module, "two");
    log.log("b", 8, module, 100);
    log.log("c", 2, module, 100);
    log.log("d", 2, module, 101);

    const std::string at100 = ctime24(100), at101 = ctime24(101);
    EXPECT_EQ(readLines(tmp / "a.log"), (std::vector<std::string>{
                                            "00000001 " + at100 + "    Info    one a",
                                            "00000002 " + at100 + "    Info    two b",
                                            "00000003 " + at100 + "   Error    two c",
                                            "00000004 " + at101 + "   Error    two d",
                                        }));
}

TEST(LoggerLine, ZeroTimeMeansNow) {
    TempDir tmp;
    Logger log;
    ASSERT_TRUE(log.init((tmp / "a.log").c_str(), 1000LL, Logger::Append));
    time_t before = time(nullptr);
    log.log("m", 8, "Sys", 0);
    time_t after = time(nullptr);
    std::string stamp = readLines(tmp / "a.log").at(0).substr(9, 24);
    EXPECT_TRUE(stamp == ctime24(before) || stamp == ctime24(after)) << stamp;
}

TEST(LoggerRoll, FullFileMovesToOldAndNumberingRestarts) {
    TempDir tmp;
    const std::string path = tmp / "roll.log";
    writeText(path + ".old", "stale generation\n");
    Logger log;
    ASSERT_TRUE(log.init(path.c_str(), 100LL, Logger::Append));
    log.log("line one of the first file", 8, "Sys", 1);
    log.log("line two of the first file", 8, "Sys", 1);  // passes 100 bytes
    std::string firstFile = readText(path);
    log.log("line one of the second file", 8, "Sys", 1);

    EXPECT_EQ(readText(path + ".old"), firstFile);
    auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 9), "00000001 ");
    EXPECT_NE(lines[0].find("second file"), std::string::npos);
}

TEST(LoggerRoll, AppendedFileAlreadyFullRollsOnFirstLine) {
    TempDir tmp;
    const std::string path = tmp / "big.log";
    writeText(path, std::string(200, 'x') + "\n");
    Logger log;
    ASSERT_TRUE(log.init(path.c_str(), 100LL, Logger::Append));
    log.log("fresh", 8, "Sys", 1);
    EXPECT_EQ(readText(path + ".old").size(), 201u);
    EXPECT_EQ(readLines(path).size(), 1u);
}

TEST(LoggerOpen, TruncateModeStartsEmpty) {
    TempDir tmp;
    const std::string path = tmp / "t.log";
    writeText(path, std::string(200, 'x') + "\n");
    Logger log;
    ASSERT_TRUE(log.init(path.c_str(), 100LL, Logger::Truncate));
    log.log("fresh", 8, "Sys", 1);
    EXPECT_EQ(readLines(path),
              std::vector<std::string>{"00000001 " + ctime24(1) + "    Info    Sys fresh"});
    EXPECT_FALSE(isFile((path + ".old").c_str())) << "an emptied file is not full";
}

// The daemon logs as root into folders others may write: a link there must
// not make it empty or fill another file, a FIFO must not hold it, and what
// it logs is not for all.
TEST(LoggerOpen, DoesNotFollowALinkOrWaitOnAFifoAndCreatesTheFile0640) {
    TempDir tmp;
    writeText(tmp / "victim", "kept");
    ASSERT_EQ(symlink((tmp / "victim").c_str(), (tmp / "link.log").c_str()), 0);
    testing::internal::CaptureStderr();
    Logger linked;
    EXPECT_FALSE(linked.init((tmp / "link.log").c_str(), "1K", Logger::Truncate));
    testing::internal::GetCapturedStderr();
    linked.log("dropped", 8, "Sys", 1);
    EXPECT_EQ(readText(tmp / "victim"), "kept");

    ASSERT_EQ(mkfifo((tmp / "fifo.log").c_str(), 0600), 0);
    FifoRescue rescue(tmp / "fifo.log", 3);
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    Logger fifo;
    EXPECT_FALSE(fifo.init((tmp / "fifo.log").c_str(), "1K", Logger::Append));
    testing::internal::GetCapturedStderr();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    const mode_t mask = umask(0);
    Logger log;
    const bool opened = log.init((tmp / "new.log").c_str(), "1K", Logger::Append);
    umask(mask);
    ASSERT_TRUE(opened);
    struct stat st;
    ASSERT_EQ(stat((tmp / "new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(LoggerOpen, FailureIsReportedAndLinesDropped) {
    TempDir tmp;
    const std::string path = tmp / "missing/dir/x.log";
    testing::internal::CaptureStderr();
    Logger log;
    EXPECT_FALSE(log.init(path.c_str(), "1K", Logger::Append));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Couldn't open " + path + ". No logging in effect.\n");
    EXPECT_FALSE(log.opened());
    EXPECT_FALSE(log.log("dropped", 8, "Sys", 1));
    EXPECT_FALSE(isFile(path.c_str()));
}

TEST(LoggerHeld, HeldLinesLeaveTogetherRollOnTimeAndFailuresAreCounted) {
    TempDir tmp;
    const std::string path = tmp / "held.log";
    Logger log;
    ASSERT_TRUE(log.init(path.c_str(), 100LL, Logger::Append));
    log.hold();
    EXPECT_TRUE(log.log("first line of the first file", 8, "Sys", 1));
    EXPECT_TRUE(log.log("second line, passes the limit", 8, "Sys", 1));
    EXPECT_EQ(readText(path), "");
    // The limit counts held lines: this one rolls, and the two go first.
    log.log("first of the second file", 2, "Sys", 1);
    EXPECT_EQ(readLines(path + ".old").size(), 2u);
    EXPECT_EQ(log.release(), 0u);
    auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 9), "00000001 ");

    Logger full;
    ASSERT_TRUE(full.init("/dev/full", 1LL << 30, Logger::Append));
    EXPECT_FALSE(full.log("not held", 8, "Sys", 1));
    full.hold();
    full.log("a", 8, "Sys", 1);
    full.log("b", 8, "Sys", 1);
    EXPECT_EQ(full.release(), 2u);
    EXPECT_EQ(full.release(), 0u);
}

}  // namespace
