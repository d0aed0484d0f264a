#include "reactor/ev_notifier.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "reactor/ev_test_util.h"

namespace {

class CountingNotifier : public EvNotifier {
public:
    int handleInput(EvAdapter* sock) override {
        ++inputs;
        return EvNotifier::handleInput(sock);
    }
    int inputs = 0;
};

TEST(NotifierTest, SeveralWakeUpsMakeOneInputThatDrainsThemAll) {
    CountingNotifier notifier;
    EvEngine engine;
    ASSERT_EQ(notifier.init(&engine), 0);
    for (int i = 0; i < 200; ++i) notifier.notify();
    Ticker ticker(engine, 3);
    engine.run();
    EXPECT_EQ(notifier.inputs, 1);
}

TEST(NotifierTest, PairIsNonBlockingAndCloseOnExec) {
    int fds[2];
    ASSERT_EQ(createPipe(fds), 0);
    for (int fd : fds) {
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    }
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    char byte;
    EXPECT_EQ(read(fds[0], &byte, 1), 1);
    close(fds[0]);
    close(fds[1]);
}

TEST(NameTest, DottedQuadAndUnresolvableName) {
    EXPECT_EQ(name2ip("10.1.2.3"), htonl(0x0a010203));
    EXPECT_EQ(name2ip("no-such-host.invalid"), INADDR_NONE);
    EXPECT_EQ(name2ip(nullptr), INADDR_NONE);
    EXPECT_TRUE(EvEngine::isLocal("localhost"));
    EXPECT_TRUE(EvEngine::isLocal(devName()));
    EXPECT_FALSE(EvEngine::isLocal("10.1.2.3"));
}

TEST(NameTest, HostNameAndAddressIntoCallersBuffer) {
    char expected[DEV_NAME_LEN] = {};
    ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
    char name[DEV_NAME_LEN];
    EXPECT_EQ(devName(name, sizeof name), name);
    EXPECT_STREQ(name, expected);
    char cut[4];
    EXPECT_EQ(std::string(devName(cut, sizeof cut)), std::string(expected).substr(0, 3));
    in_addr addr;
    addr.s_addr = name2ip(expected);
    char ip[INET_ADDRSTRLEN];
    EXPECT_STREQ(devIp(ip, sizeof ip), inet_ntoa(addr));
    EXPECT_TRUE(EvEngine::isLocal(ip));
}

TEST(CountersTest, PrintedForm) {
    evSelectActions = 1;
    evStartTimersActions = 2;
    evFinishTimersActions = 3;
    evStartSocketActions = 4;
    evFinishSocketActions = 4000000000u;
    std::string text = EvCounters::instance().asString();
    size_t stampEnd = text.find('\n');
    ASSERT_EQ(stampEnd, 24u);  // ctime: "Thu Nov 14 22:13:20 2023"
    EXPECT_EQ(text.substr(stampEnd + 1),
              "\n*** Engine Actions ***\n"
              "Select actions:\t\t\t1\n"
              "Started timers:\t\t\t2\n"
              "Finished timers:\t\t3\n"
              "Started socket actions:\t\t4\n"
              "Finished socket actions:\t4000000000\n");
    std::ostringstream os;
    os << EvCounters::instance();
    EXPECT_EQ(os.str().substr(stampEnd), text.substr(stampEnd));
}

}  // namespace
