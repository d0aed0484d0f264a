// The operator's knobs of the INI file: the address the control port binds
// and the peers it serves, the signal that stops a program, the back-off of
// a program that keeps dying young, and readiness told to a service manager.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/test_util.h"
#include "tests/e2e/client_fixture.h"
#include "tests/e2e/test_client.h"

namespace e2e {
namespace {

class E2eOperatorKeys : public ClientTest {};

bool connects(const char* address, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &addr.sin_addr);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

TEST_F(E2eOperatorKeys, ListenIpBindsTheControlPortToThatAddressOnly) {
    ASSERT_EQ(0, system("ip addr add 10.77.0.1/32 dev lo"));
    writeIni(general() + "listen ip = 127.0.0.1\n");
    startVardo();
    EXPECT_TRUE(connects("127.0.0.1", port()));
    EXPECT_FALSE(connects("10.77.0.1", port()));
    stopVardo();

    // An address that does not parse never widens the port to every address.
    writeIni(general() + "listen ip = 10.77.0\n");
    // Nor does a backup that would: the file as written is the operator's.
    writeConf("vardo.ini.backup", general());
    spawnVardo();
    const int status = waitVardoExit(10000);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(1, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, traceLog().find("listen ip [10.77.0] is no IPv4 address"));
    EXPECT_EQ(std::string::npos, traceLog().find("reading backup"));
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST_F(E2eOperatorKeys, AllowFromClosesAStrangerUnansweredAndServesLoopback) {
    writeIni(general() + "allow from = 127.0.0.1\n");
    startVardo();
    const long long begin = nowMs();
    TestClient stranger;
    ASSERT_TRUE(stranger.connect(port(), "127.0.0.2"));
    Message reply;
    EXPECT_FALSE(stranger.printPs(reply, 2000)) << "a stranger gets no answer";
    EXPECT_TRUE(stranger.closedByPeer(2000));
    TestClient local;
    ASSERT_TRUE(local.connect(port()));
    EXPECT_TRUE(local.printPs(reply));

    // A flood of strangers leaves a line a second in the trace, not one each.
    // One after the other: a burst would overflow the accept queue and the
    // test would wait out SYN retransmissions instead.
    for (int n = 0; n < 30; ++n) {
        ASSERT_TRUE(stranger.connect(port(), "127.0.0.2"));
        EXPECT_TRUE(stranger.closedByPeer(2000));
    }
    EXPECT_TRUE(local.printPs(reply)) << "the daemon still serves";
    const size_t seconds = static_cast<size_t>((nowMs() - begin) / 1000);
    const size_t lines = occurrences(traceLog(), "connection from 127.0.0.2:");
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, seconds + 2);
}

TEST_F(E2eOperatorKeys, MalformedAllowFromStopsTheDaemonEvenWithAValidBackup) {
    writeIni(general() + "allow from = 10.0.0.0/8, 10.1\n");
    writeConf("vardo.ini.backup", general());
    spawnVardo();
    const int status = waitVardoExit(10000);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(1, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, traceLog().find("allow from [10.0.0.0/8, 10.1] is no list"));
    EXPECT_EQ(std::string::npos, traceLog().find("reading backup"));
}

TEST_F(E2eOperatorKeys, StopSignalReachesTheProgramInPlaceOfSigterm) {
    writeIni(general() + psTask("db", 1, "--record ${REC}/db --on-int", "stop signal = INT") +
             psTask("odd", 1, "--record ${REC}/odd", "stop signal = SIGNOPE\nmust = no"));
    startVardo();
    ASSERT_TRUE(waitRecords("db", "start", 1));
    EXPECT_EQ(0, vardoctl("-k db").status);
    EXPECT_TRUE(waitRecords("db", "int", 1, 5000));
    EXPECT_TRUE(records("db", "term").empty());
    EXPECT_TRUE(records("odd").empty()) << "a task with an unknown stop signal is invalid";
    EXPECT_NE(std::string::npos, traceLog().find("Task odd has an unknown stop signal [SIGNOPE]"));
}

TEST_F(E2eOperatorKeys, RestartBackoffDoublesThePauseOfAProgramThatDiesYoung) {
    writeIni(general() + psTask("crash", 1, "--record ${REC}/crash --exit",
                                "restart = yes\nrestart backoff = 8\nmust = no"));
    startVardo();
    ASSERT_TRUE(waitRecords("crash", "start", 4, 15000));
    const std::vector<Record> starts = records("crash", "start");
    // Timers count whole seconds of uptime: a pause of n seconds ends
    // between n - 1 and n seconds after the exit.
    const long long first = starts[1].ms - starts[0].ms;
    const long long second = starts[2].ms - starts[1].ms;
    const long long third = starts[3].ms - starts[2].ms;
    EXPECT_LE(first, 1500);
    EXPECT_GT(second, 900);
    EXPECT_LE(second, 2500);
    EXPECT_GT(third, 2900);
    EXPECT_LE(third, 4500);
}

TEST_F(E2eOperatorKeys, ReadinessReachesTheServiceManagerOnceTheLastLevelIsUp) {
    const std::string path = home() + "/notify";
    const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(0, bind(manager, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    writeIni(
        general() + psTask("first", 1, "--record ${REC}/first", "must = no") +
        psTask("late", 2, "--record ${REC}/late --init ${PORT} --init-delay 1500", "must = yes"));
    startVardo();
    unsetenv("NOTIFY_SOCKET");

    pollfd ready{manager, POLLIN, 0};
    ASSERT_EQ(1, poll(&ready, 1, 10000)) << "no readiness";
    const long long readyAt = nowMs();
    char text[64] = {};
    ASSERT_EQ(7, recv(manager, text, sizeof text - 1, 0));
    EXPECT_STREQ("READY=1", text);
    ASSERT_FALSE(records("late", "init").empty());
    EXPECT_GE(readyAt, records("late", "init").at(0).ms);
    EXPECT_EQ(0, poll(&ready, 1, 300)) << "readiness is told once";
    close(manager);

    // The supervised programs never see the manager's socket.
    const std::string environ =
        readText("/proc/" + std::to_string(records("first", "start").at(0).pid) + "/environ");
    EXPECT_EQ(std::string::npos, environ.find("NOTIFY_SOCKET"));
}

}  // namespace
}  // namespace e2e
