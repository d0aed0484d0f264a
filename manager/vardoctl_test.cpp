#include "manager/vardoctl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/fake_keeper.h"
#include "client/keeper_client.h"
#include "support/test_util.h"

using ::testing::HasSubstr;

namespace {

const char kUsage[] =
    "Usage:\n" VARDOCTL_BIN
    " [-l] [-F] [-R module] [-k module] [-s module]\n\t[-L module] [-c module command]\n\t[-K "
    "check] [-S check] [-C check args] [-f flag val]\n\n"
    "\t-l                   list running modules\n"
    "\t-F                   list configured flags\n"
    "\t-R module|index      restart given module\n"
    "\t-k module|index      quit given module\n"
    "\t-s module|index      start module using definitions given in the ini file\n"
    "\t-L module|index      list module's callback list\n"
    "\t-c module|index command [args] pass command to module\n"
    "\t-K check             Stop given check\n"
    "\t-S check             Start given check\n"
    "\t-C check args        set check by args\n"
    "\t-f flag val          set flag to val\n";

// A temporary VELTO_HOME whose vardo.ini points at a fake daemon.
class VardoctlRun : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vardoctl_test.XXXXXX";
        home = mkdtemp(pattern);
        keeper.writeIni(home, "vardo.ini");
    }
    void TearDown() override {
        std::string cmd = "rm -rf " + home;
        (void)system(cmd.c_str());
    }

    // Starts the built vardoctl with `args`; its output goes to files.
    pid_t start(std::vector<std::string> args) {
        pid_t pid = fork();
        if (pid == 0) {
            setenv("VELTO_HOME", home.c_str(), 1);
            if (chdir(home.c_str()) != 0) _exit(126);
            dup2(open((home + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open((home + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            std::vector<char*> argv{const_cast<char*>(VARDOCTL_BIN)};
            for (std::string& arg : args) argv.push_back(&arg[0]);
            argv.push_back(nullptr);
            execv(VARDOCTL_BIN, argv.data());
            _exit(127);
        }
        return pid;
    }
    // Waits for it; its exit status.
    int finish(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        out = readText(home + "/out");
        err = readText(home + "/err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int run(std::vector<std::string> args) { return finish(start(std::move(args))); }

    FakeKeeper keeper;
    std::string home, out, err;
};

}  // namespace

TEST_F(VardoctlRun, WithoutArgumentsPrintsUsageAndFails) {
    EXPECT_EQ(1, run({}));
    EXPECT_EQ(kUsage, err);
    EXPECT_EQ("", out);
}

TEST_F(VardoctlRun, UnknownOrMalformedOptionPrintsUsage) {
    EXPECT_EQ(1, run({"-x"}));
    EXPECT_THAT(err, HasSubstr(kUsage));
    EXPECT_EQ(1, run({"l"}));
    EXPECT_THAT(err, HasSubstr(kUsage));
    EXPECT_EQ(1, run({"-R"}));
    EXPECT_THAT(err, HasSubstr(kUsage));
    EXPECT_EQ(1, run({"-f", "flag"}));
    EXPECT_THAT(err, HasSubstr(kUsage));
}

TEST_F(VardoctlRun, SwitchAloneConnectsAndSucceeds) {
    EXPECT_EQ(0, run({"-SW"}));
    // Its trace goes where its home says, nothing into the current folder.
    EXPECT_NE(0, access((home + "/evdbg.default.log").c_str(), F_OK));
    EXPECT_TRUE(keeper.accept());
}

TEST_F(VardoctlRun, NoDaemonMeansCannotConnect) {
    keeper.close();
    EXPECT_EQ(1, run({"-SW"}));
    EXPECT_EQ("cannot connect to keeper\n", out);
    EXPECT_EQ(1, run({"-l"}));
    EXPECT_EQ("cannot connect to keeper\n", out);
}

TEST_F(VardoctlRun, ListingIsPrintedAndEmptyListingSaysNone) {
    pid_t pid = start({"-l"});
    ASSERT_TRUE(keeper.accept());
    FakeMessage msg;
    ASSERT_TRUE(keeper.next(msg));
    EXPECT_EQ(unsigned(KEEPER_PRINT_PS), msg.header.type);
    keeper.send(KEEPER_PRINT_ACK, "1 alpha up\n", 12);
    EXPECT_EQ(0, finish(pid));
    EXPECT_EQ("1 alpha up\n\n", out);

    pid = start({"-SW", "-F"});
    ASSERT_TRUE(keeper.accept());
    ASSERT_TRUE(keeper.next(msg));
    EXPECT_EQ(unsigned(KEEPER_PRINT_FLAGS), msg.header.type);
    keeper.send(KEEPER_PRINT_ACK, nullptr, 0);
    EXPECT_EQ(0, finish(pid));
    EXPECT_EQ("None\n", out);
}

TEST_F(VardoctlRun, OneWayRequestsAreSentAndSucceed) {
    pid_t pid = start({"-c", "mod", "cb", "a", "b"});
    ASSERT_TRUE(keeper.accept());
    EXPECT_EQ(0, finish(pid));
    FakeMessage msg;
    ASSERT_TRUE(keeper.next(msg));
    EXPECT_EQ(unsigned(KEEPER_RUN_CB), msg.header.type);
    EXPECT_EQ("mod", msg.text(4));
    EXPECT_EQ("cb", msg.text(104));
    EXPECT_EQ("a b", msg.text(204));

    pid = start({"-f", "myflag", "7"});
    ASSERT_TRUE(keeper.accept());
    EXPECT_EQ(0, finish(pid));
    ASSERT_TRUE(keeper.next(msg));
    EXPECT_EQ(unsigned(KEEPER_SET_FLAG), msg.header.type);
    EXPECT_EQ(1u, msg.word(0));
    EXPECT_EQ("myflag", msg.text(4));

    pid = start({"-R", "3"});
    ASSERT_TRUE(keeper.accept());
    EXPECT_EQ(0, finish(pid));
    ASSERT_TRUE(keeper.next(msg));
    EXPECT_EQ(unsigned(KEEPER_ACTION_ON_PS), msg.header.type);
    EXPECT_EQ(2u, msg.word(0));
    EXPECT_EQ("3", msg.text(4));
}

TEST_F(VardoctlRun, ReloadExitsWithTheDaemonsAnswer) {
    for (keeperStatus answer : {KEEPER_OK, KEEPER_FAIL, KEEPER_NO_CHANGE}) {
        pid_t pid = start({"-u"});
        ASSERT_TRUE(keeper.accept());
        FakeMessage msg;
        ASSERT_TRUE(keeper.next(msg));
        EXPECT_EQ(unsigned(KEEPER_RELOAD), msg.header.type);
        EXPECT_EQ(0u, msg.header.length);
        const KeeperReloadReply reply = {htonl(answer)};
        keeper.send(KEEPER_RELOAD, &reply, sizeof reply);
        EXPECT_EQ(int(answer), finish(pid));
        EXPECT_EQ("", out);
    }
}

TEST_F(VardoctlRun, CheckWithoutArgumentsFailsWithoutSending) {
    pid_t pid = start({"-C", "mycheck"});
    ASSERT_TRUE(keeper.accept());
    EXPECT_EQ(2, finish(pid));
    FakeMessage msg;
    EXPECT_FALSE(keeper.next(msg, 100));
}

TEST_F(VardoctlRun, OverlongModuleNameIsRefusedNotSent) {
    pid_t pid = start({"-R", std::string(300, 'm')});
    ASSERT_TRUE(keeper.accept());
    EXPECT_EQ(2, finish(pid));
    FakeMessage msg;
    EXPECT_FALSE(keeper.next(msg, 100));
}

TEST(Vardoctl, CommandLineIsJoinedAndCut) {
    char a[] = "vardoctl", b[] = "-R", c[] = "mod";
    char* argv[] = {a, b, c};
    EXPECT_STREQ("vardoctl -R mod ", getCommand(3, argv));
    std::string longWord(300, 'w');
    char* longArgv[] = {a, &longWord[0]};
    EXPECT_EQ(254u, strlen(getCommand(2, longArgv)));
}

TEST(Vardoctl, ListDisplayPrintsTextOrNone) {
    char text[] = "a x\n";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KEEPER_OK, list_display(text, 5));
    EXPECT_EQ(KEEPER_FAIL, list_display(text, 0));
    EXPECT_EQ("a x\n\nNone\n", ::testing::internal::GetCapturedStdout());
}

TEST(Vardoctl, SilentDaemonTimesOutTheListing) {
    FakeKeeper keeper;
    EvEngine engine;
    keeperClient client(&engine, "vardoctl", int(htonl(INADDR_LOOPBACK)), keeper.port());
    ASSERT_TRUE(keeper.accept());
    ::testing::internal::CaptureStdout();
    // The wait is a parameter; the tool's own is five seconds.
    EXPECT_EQ(KEEPER_FAIL, get_list_sync_reply(client, client.get_keeperSock(), 0));
    EXPECT_EQ("Failed to read reply timeout\n", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ(5, kListReplySeconds);

    keeper.hangUp();
    EXPECT_EQ(KEEPER_CLOSED, get_list_sync_reply(client, client.get_keeperSock(), 1));
}

TEST(Vardoctl, ListingAlreadyReceivedIsTakenWithoutWaiting) {
    FakeKeeper keeper;
    EvEngine engine;
    keeperClient client(&engine, "vardoctl", int(htonl(INADDR_LOOPBACK)), keeper.port());
    ASSERT_TRUE(keeper.accept());
    client.set_list_hook(list_display);
    std::vector<unsigned char> both = keeperFrame(KEEPER_CHECK_ALIVE, 1, nullptr, 0);
    std::vector<unsigned char> listing = keeperFrame(KEEPER_PRINT_ACK, 2, "x 1", 4);
    both.insert(both.end(), listing.begin(), listing.end());
    keeper.sendRaw(both.data(), both.size());  // in one send, to arrive together
    // The probe's receive took the listing too: it waits in the buffer.
    ASSERT_EQ(KEEPER_OK, client.read_callback(nullptr, nullptr));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KEEPER_OK, get_list_sync_reply(client, client.get_keeperSock(), 0));
    EXPECT_EQ("x 1\n", ::testing::internal::GetCapturedStdout());
}
