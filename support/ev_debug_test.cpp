#include "support/ev_debug.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include "support/test_util.h"

namespace {

// A home folder with conf/ and log/ and a trace profile.
class EvDebugTest : public testing::Test {
protected:
    void SetUp() override {
        mkdir((tmp / "conf").c_str(), 0755);
        mkdir((tmp / "log").c_str(), 0755);
    }

    void profile(const std::string& text) { writeText(tmp / "conf/qoevdbg.conf", text); }
    const char* home() const { return tmp.path().c_str(); }

    TempDir tmp;
};

TEST_F(EvDebugTest, DefaultsWithoutProfile) {
    EvDebug dbg("mod", home());
    EXPECT_EQ(dbg.getModule(), "mod");
    EXPECT_EQ(std::string(dbg.getFileName()), tmp / "log/evdbg.mod.log");
    EXPECT_TRUE(isFile(dbg.getFileName()));
    EXPECT_EQ(dbg.getMaxFileSize(), 5120000);
    EXPECT_EQ(dbg.levelMask, DL_FATAL | DL_ERROR);
    EXPECT_FALSE(dbg.getPrintToStderr());
}

TEST_F(EvDebugTest, ModuleSectionWinsElseDefaultSection) {
    profile("[default]\ndebug=1\nfilesize=7\n[Mod]\ntrace=1\n[empty]\n");
    EvDebug own("mod", home());
    EXPECT_EQ(own.levelMask, DL_FATAL | DL_ERROR | DL_TRACE);
    EXPECT_EQ(own.getMaxFileSize(), 5120000);

    EvDebug fallback("empty", home());
    EXPECT_EQ(fallback.levelMask, DL_FATAL | DL_ERROR | DL_DEBUG);
    EXPECT_EQ(fallback.getMaxFileSize(), 7 * 1024);
    // the file is still named after the module, not the section
    EXPECT_EQ(std::string(fallback.getFileName()), tmp / "log/evdbg.empty.log");
}

TEST_F(EvDebugTest, FileNameForms) {
    mkdir((tmp / "dir").c_str(), 0755);
    profile(
        "[bare]\nfilename=trace.txt\n"
        "[folder]\nfilename=" +
        tmp.path() +
        "/dir/\n"
        "[full]\nfilename=" +
        tmp.path() +
        "/dir/full.log\n"
        "[backslash]\nfilename=" +
        tmp.path() +
        "/dir\\\n"
        "[bang]\nfilename=!bang.txt\n");
    EXPECT_EQ(std::string(EvDebug("bare", home()).getFileName()), tmp / "log/trace.txt");
    EXPECT_EQ(std::string(EvDebug("folder", home()).getFileName()), tmp / "dir/evdbg.folder.log");
    EXPECT_EQ(std::string(EvDebug("full", home()).getFileName()), tmp / "dir/full.log");
    EXPECT_EQ(std::string(EvDebug("backslash", home()).getFileName()),
              tmp / "dir\\evdbg.backslash.log");

    writeText(tmp / "log/bang.txt", "previous run\n");
    writeText(tmp / "log/trace.txt", "previous run\n");
    EvDebug bang("bang", home());
    EvDebug bare("bare", home());
    EXPECT_EQ(std::string(bang.getFileName()), tmp / "log/bang.txt");
    EXPECT_EQ(readText(tmp / "log/bang.txt"), "");
    EXPECT_EQ(readText(tmp / "log/trace.txt"), "previous run\n");
}

TEST_F(EvDebugTest, BangNameWithoutHomeUsesFallbackFolder) {
    if (isDir("/usr/local/DYX/conf") || isDir("/usr/local/DYX/logs"))
        GTEST_SKIP() << "an installed appliance folder would be used";
    CwdGuard cwd(tmp.path());
    writeText(tmp / "qoevdbg.conf", "[nohome]\nfilename=!trace.txt\n");
    writeText(tmp / "trace.txt", "old content\n");
    EvDebug dbg("nohome", nullptr);
    EXPECT_STREQ(dbg.getFileName(), "./trace.txt");
    EXPECT_EQ(readText(tmp / "trace.txt"), "");
}

TEST_F(EvDebugTest, AllWithLevelKeys) {
    profile(
        "[on]\nall=1\ndebug=0\n"
        "[off]\nall=0\nfatal=1\n"
        "[other]\nall=2\nuser3=1\nPrintToStderr=1\n");
    EvDebug on("on", home());
    EXPECT_EQ(on.levelMask, DL_ALL & ~DL_DEBUG);
    EXPECT_TRUE(on.getPrintToStderr());

    EvDebug off("off", home());
    EXPECT_EQ(off.levelMask, DL_FATAL);
    EXPECT_FALSE(off.getPrintToStderr());

    EvDebug other("other", home());
    EXPECT_EQ(other.levelMask, DL_FATAL | DL_ERROR | DL_USER3);
    EXPECT_TRUE(other.getPrintToStderr());
}

TEST_F(EvDebugTest, LineFormatAndStderrCopy) {
    profile("[mod]\nPrintToStderr=1\n");
    EvDebug dbg("mod", home());
    dbg.curLevel = DL_ERROR;
    testing::internal::CaptureStderr();
    dbg.print("KeeperSrv::set_task, task %s %d", "x", 42);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "KeeperSrv::set_task, task x 42\n");

    auto lines = readLines(dbg.getFileName());
    ASSERT_EQ(lines.size(), 1u);
    const std::string& line = lines[0];
    const std::string stampShape = "dd-dd dd:dd:dd(";
    ASSERT_GT(line.size(), stampShape.size());
    for (size_t i = 0; i < stampShape.size(); ++i)
        EXPECT_TRUE(stampShape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                         : line[i] == stampShape[i])
            << line;
    EXPECT_EQ(line.substr(stampShape.size()),
              std::to_string(getpid()) + ") <DL_ERROR>: KeeperSrv::set_task, task x 42");
}

TEST_F(EvDebugTest, FullFileRollsToOld) {
    profile("[mod]\nfilesize=1\n");
    writeText(tmp / "log/evdbg.mod.log.old", "older generation\n");
    writeText(tmp / "log/evdbg.mod.log", std::string(1000, 'x') + "\n");
    EvDebug dbg("mod", home());
    const std::string line(40, 'y');
    dbg.print("%s", line.c_str());  // 1001 bytes before it, under the limit
    const std::string full = readText(dbg.getFileName());
    ASSERT_GE(full.size(), 1024u);
    dbg.print("after roll");

    EXPECT_EQ(readText(tmp / "log/evdbg.mod.log.old"), full);
    auto lines = readLines(dbg.getFileName());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("after roll"), std::string::npos);
}

TEST_F(EvDebugTest, TraceFileDeletedByHandStartsAgain) {
    profile("[mod]\nfilesize=1\n");
    EvDebug dbg("mod", home());
    const std::string chunk(600, 'z');
    dbg.print("%s", chunk.c_str());
    std::remove(dbg.getFileName());
    dbg.print("%s", chunk.c_str());  // counted size passes the limit
    dbg.print("still tracing");
    auto lines = readLines(dbg.getFileName());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("still tracing"), std::string::npos);
}

TEST_F(EvDebugTest, UnopenableFileClearsModule) {
    profile("[mod]\nfilename=" + tmp.path() + "/no/such/dir/x.log\n");
    EvDebug dbg("mod", home());
    EXPECT_FALSE(dbg.init("mod", home()));
    EXPECT_EQ(dbg.getModule(), "");
    dbg.print("goes nowhere");
}

// Traces are written as root: a link at the trace file's path is not
// followed, and a new trace file is not for all to read.
TEST_F(EvDebugTest, TraceFileIsNotALinkAndIsCreated0640) {
    writeText(tmp / "victim", "kept");
    profile("[mod]\nfilename=" + tmp.path() + "/log/link.log\n[new]\nfilename=" + tmp.path() +
            "/log/new.log\n");
    ASSERT_EQ(symlink((tmp / "victim").c_str(), (tmp / "log/link.log").c_str()), 0);
    EvDebug dbg("mod", home());
    EXPECT_FALSE(dbg.init("mod", home()));
    dbg.print("goes nowhere");
    EXPECT_EQ(readText(tmp / "victim"), "kept");

    const mode_t mask = umask(0);
    const bool opened = dbg.init("new", home());
    umask(mask);
    ASSERT_TRUE(opened);
    struct stat st;
    ASSERT_EQ(stat((tmp / "log/new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(EvDebugTest, DumpOptionsListsEveryOption) {
    profile("[mod]\nall=1\nPrintToStderr=0\nfilesize=10\n");
    EvDebug dbg("mod", home());
    dbg.dumpOptions();
    auto lines = readLines(dbg.getFileName());
    ASSERT_EQ(lines.size(), 15u);
    auto text = [&](size_t i) { return lines[i].substr(lines[i].find(">: ") + 3); };
    EXPECT_EQ(text(0), "Listing EvDebug options :");
    EXPECT_EQ(text(1), "\tmodule         mod");
    EXPECT_EQ(text(2), "\tfilename       \"" + tmp.path() + "/log/evdbg.mod.log\"");
    EXPECT_EQ(text(3), "\tmaxFileSize    10 Kb");
    EXPECT_EQ(text(4), "\tfatal          on");
    EXPECT_NE(lines[4].find("<DL_FATAL>"), std::string::npos);
    EXPECT_EQ(text(9), "\tdebug_ext      on");
    EXPECT_NE(lines[13].find("<DL_USER3>"), std::string::npos);
    EXPECT_EQ(text(14), "\tPrintToStderr  off");
}

TEST_F(EvDebugTest, ProcessTraceAndMacro) {
    CwdGuard cwd(tmp.path());  // the first instance() may create its default file here
    profile("[proc]\ntrace=1\n");
    EXPECT_FALSE(EvDebug::setConfPath(nullptr, home()));
    EXPECT_FALSE(EvDebug::setConfPath("proc", nullptr));
    ASSERT_TRUE(EvDebug::setConfPath("proc", home()));
    EvDebug& dbg = EvDebug::instance();
    EXPECT_EQ(&dbg, &EvDebug::instance());
    EXPECT_TRUE(EvDebug::setModule("proc"));  // same module: kept as configured
    EXPECT_EQ(dbg.levelMask, DL_FATAL | DL_ERROR | DL_TRACE);

    int evaluated = 0;
    auto arg = [&] { return ++evaluated; };
    EV_TRACE(DL_DEBUG, "off %d", arg());
    EXPECT_EQ(evaluated, 0);
    EXPECT_EQ(dbg.curLevel, DL_DEBUG);
    EV_TRACE(DL_TRACE, "on %d", arg());
    EV_TRACE(DL_ERROR, "plain");
    EXPECT_EQ(evaluated, 1);
    auto lines = readLines(tmp / "log/evdbg.proc.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("<DL_TRACE>: on 1"), std::string::npos);
    EXPECT_NE(lines[1].find("<DL_ERROR>: plain"), std::string::npos);
    EXPECT_FALSE(EvDebug::setModule(nullptr));
}

}  // namespace
