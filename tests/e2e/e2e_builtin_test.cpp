// The appliance daemon's built-in checks against the real daemon: time
// servers on the namespace's loopback (port 123) going up and down, each
// change published once; the local time daemon started only while none runs
// and a server answers; requests answered while silent servers are probed;
// the FastUpdates processes following the list file in the private /opt; a
// stop request and the termination stopping the checks; a real time server
// (chronyd, never touching the clock) going up and down.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "keeper/fake_ntp_servers.h"
#include "support/test_util.h"
#include "tests/e2e/test_client.h"
#include "tests/e2e/vardo_fixture.h"

namespace e2e {
namespace {

const char kFupsList[] = "/opt/velto/conf/fups_list.txt";
const uint32_t kFirstServer = 0x7F000014;  // 127.0.0.20

std::string check(const std::string& section, const std::string& name) {
    return "[checks/" + section + "]\nname = " + name + "\nlevel = 1\ninterval = 1\n\n";
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

struct ServerEvent {
    uint32_t id = 0;
    ConfigAll record{};
};

class E2eBuiltin : public VardoTest {
protected:
    void SetUp() override {
        VardoTest::SetUp();
        if (IsSkipped()) return;
        mkdir("/etc/rc.d", 0755);
        writeText("/etc/rc.d/rc.conf", "#! /bin/sh\n");
    }
    void TearDown() override {
        if (ntpd > 0) {
            kill(ntpd, SIGKILL);
            waitpid(ntpd, nullptr, 0);
        }
        VardoTest::TearDown();
    }

    // The time-server file the configuration plug-in loads: n servers from
    // 127.0.0.20 on.
    static void servers(int n) {
        std::string text = "server 127.127.1.0\n";
        for (int i = 0; i < n; ++i) text += "server 127.0.0." + std::to_string(20 + i) + "\n";
        writeText("/etc/ntp.conf", text);
    }

    // Starts the daemon with the given sections and takes over the
    // connection of its first program, subscribed to the server events. The
    // boot, and with it every check, ends only when a program of the next
    // level confirms its start a moment later.
    void start(const std::string& sections) {
        writeIni(general() + psTask("watcher", 1, "--record ${REC}/watcher") +
                 psTask("gate", 2, "--record ${REC}/gate --init ${PORT} --init-delay 1000") +
                 sections);
        startVardo();
        ASSERT_TRUE(waitRecords("watcher", "start", 1));
        const int pid = records("watcher").at(0).pid;
        ASSERT_TRUE(watcher.connect(port()));
        ASSERT_TRUE(watcher.init(1, pid, "watcher"));
        ASSERT_TRUE(watcher.registerEvent(0, EVENT_GRP_SERVER, 0xFFFFFFFFu));
        ASSERT_TRUE(waitFor(
            [&] { return traceLog().find("Boot sequence is finished") != std::string::npos; },
            5000));
    }

    bool nextEvent(ServerEvent& event, int timeoutMs) {
        Message raw;
        if (!watcher.readType(KEEPER_NOTIFY_EVENT, raw, timeoutMs)) return false;
        const keeper_client_header hdr{KEEPER_NOTIFY_EVENT, raw.id,
                                       static_cast<uint32_t>(raw.payload.size())};
        GeneralMsg msg(KEEPER_NOTIFY_EVENT);
        EXPECT_EQ(msg.fromWire(hdr, reinterpret_cast<const uint8_t*>(raw.payload.data())),
                  KEEPER_OK);
        EXPECT_EQ(msg.eventGrp, static_cast<uint32_t>(EVENT_GRP_SERVER));
        EXPECT_EQ(msg.eventDataLen(), sizeof(ConfigAll));
        event.id = msg.eventId;
        if (msg.eventDataLen() == sizeof(ConfigAll)) {
            memcpy(&event.record, msg.eventData(), sizeof event.record);
            event_dataN2HOrder(EVENT_GRP_SERVER, &event.record, sizeof event.record);
        }
        return true;
    }
    // The next event says the server at 127.0.0.(20 + index) is now `status`.
    void expectChange(int index, uint32_t status) {
        ServerEvent event;
        ASSERT_TRUE(nextEvent(event, 6000)) << "no event for server " << index;
        EXPECT_EQ(event.id, 2048u);
        EXPECT_EQ(event.record.action, status);
        EXPECT_EQ(ntohl(event.record.data.srv.u.address), kFirstServer + index);
    }
    void expectNoEvent(int ms) {
        ServerEvent event;
        EXPECT_FALSE(nextEvent(event, ms)) << "unexpected event, status " << event.record.action;
    }
    size_t ntpStarts() const { return count(commandsLog(), "/etc/rc.d/rc.ntp start"); }

    TestClient watcher;
    pid_t ntpd = -1;
};

TEST_F(E2eBuiltin, ServerChangesArePublishedOnceAndTheTimeDaemonStartedWhenNeeded) {
    servers(1);
    FakeNtpServers up({kOk}, kFirstServer, 123);
    ASSERT_NO_FATAL_FAILURE(start(check("ntp", "NTP_RemCheck") + check("ntpd", "NTP_LocalCheck")));
    ASSERT_NO_FATAL_FAILURE(expectChange(0, 22));
    expectNoEvent(2500);
    // No time daemon runs and the server answers: started, in the background.
    ASSERT_TRUE(waitFor([&] { return ntpStarts() > 0; }, 5000));

    // A time daemon runs: nothing more is started.
    ntpd = fork();
    if (ntpd == 0) {
        execl(childPath().c_str(), "/usr/sbin/ntpd", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    size_t starts = ntpStarts();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(ntpStarts(), starts);

    up.set(0, kSilent);
    ASSERT_NO_FATAL_FAILURE(expectChange(0, 23));
    expectNoEvent(3000);

    // Without a time daemon but with no server answering: nothing started.
    kill(ntpd, SIGKILL);
    waitpid(ntpd, nullptr, 0);
    ntpd = -1;
    starts = ntpStarts();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(ntpStarts(), starts);

    up.set(0, kOk);
    ASSERT_NO_FATAL_FAILURE(expectChange(0, 22));
    EXPECT_TRUE(waitFor([&] { return ntpStarts() > starts; }, 5000));
}

TEST_F(E2eBuiltin, RepliesAreJudgedAndRequestsAnsweredWhileSilentServersAreProbed) {
    servers(9);
    FakeNtpServers crafted(
        {kOk, kShort, kLong, kKissOfDeath, kUnsynchronised, kForeign, kSilent, kSilent, kSilent},
        kFirstServer, 123);
    ASSERT_NO_FATAL_FAILURE(start(check("ntp", "NTP_RemCheck")));
    // The first probe changes every loaded server once, in list order.
    ASSERT_NO_FATAL_FAILURE(expectChange(0, 22));
    for (int i = 1; i < 9; ++i) ASSERT_NO_FATAL_FAILURE(expectChange(i, 23));
    EXPECT_EQ(crafted.bad_requests, 0);

    // Probes of silent servers every second hold nobody up.
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) {
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_NE(psListing(), "");
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(500));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_GE(crafted.requests, 18) << "the servers were probed meanwhile";
    expectNoEvent(100);
}

TEST_F(E2eBuiltin, FastUpdateProcessesFollowTheListFile) {
    writeScript("FastUpdates", "exec ${CHILD} --record ${REC}/fup$2");
    writeScript("FUP_def", "exec ${CHILD}");
    ASSERT_NO_FATAL_FAILURE(
        start("[tasks/FUP_def]\ntype = ps\nname = FUP_def\nlocation = ${HOME}\nlevel = 1\n"
              "enabled = no\nmust = no\nkill timeout = 1\nkaEnable = no\n\n" +
              check("fups", "FUPs_RunCheck")));
    auto fupCount = [&] { return count(psListing(), "FastUpdates"); };

    writeText(kFupsList, "1,1\n2,0\n");
    ASSERT_TRUE(waitRecords("fup1", "start", 1));
    settle();
    EXPECT_TRUE(records("fup2").empty()) << "a disabled entry is not started";
    EXPECT_EQ(fupCount(), 2u);

    // Same size, new modification time: the second starts.
    writeText(kFupsList, "1,1\n2,1\n");
    ASSERT_TRUE(waitRecords("fup2", "start", 1));
    const int one = records("fup1").at(0).pid;

    // The first goes: stopped, not restarted, no longer listed.
    writeText(kFupsList, "2,1\n");
    EXPECT_TRUE(waitFor([&] { return processGone(one); }, 6000));
    EXPECT_TRUE(waitFor([&] { return fupCount() == 1; }, 4000));

    // Lines without an entry change nothing.
    writeText(kFupsList, "x\n\n3\n2,1\n" + std::string(40, ' ') + "4,1\n");
    settle();
    settle();
    EXPECT_EQ(fupCount(), 1u);
    EXPECT_EQ(records("fup2", "start").size(), 1u);
    EXPECT_EQ(records("fup1", "start").size(), 1u);
    EXPECT_TRUE(records("fup4").empty());
}

TEST_F(E2eBuiltin, ReloadThatDropsTheFastUpdateTemplateLeavesNoTemplateBehind) {
    writeScript("FastUpdates", "exec ${CHILD} --record ${REC}/fup$2");
    writeScript("FUP_def", "exec ${CHILD}");
    const std::string templ =
        "[tasks/FUP_def]\ntype = ps\nname = FUP_def\nlocation = ${HOME}\nlevel = 1\n"
        "enabled = no\nmust = no\nkill timeout = 1\nkaEnable = no\n\n";
    ASSERT_NO_FATAL_FAILURE(start(templ + check("fups", "FUPs_RunCheck")));
    std::string text = readConf();
    const std::string filled = fill(templ);
    text.erase(text.find(filled), filled.size());
    writeIni(text);
    ASSERT_EQ(kill(vardoPid(), SIGHUP), 0);
    ASSERT_TRUE(
        waitFor([&] { return traceLog().find("SIGHUP: applied") != std::string::npos; }, 3000));

    // The processes would be built from the template that is gone.
    writeText(kFupsList, "1,1\n");
    EXPECT_TRUE(waitFor([&] { return traceLog().find("not defined") != std::string::npos; }, 4000));
    EXPECT_TRUE(records("fup1").empty());
}

TEST_F(E2eBuiltin, StopRequestAndTerminationStopTheBuiltinChecks) {
    shortenShutdown(30, 2);
    servers(1);
    FakeNtpServers up({kOk}, kFirstServer, 123);
    ASSERT_NO_FATAL_FAILURE(start(check("ntp", "NTP_RemCheck")));
    ASSERT_NO_FATAL_FAILURE(expectChange(0, 22));
    auto runs = [&] { return count(traceLog(), "ntp_RemCheck::run"); };

    TestClient client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(client.actionOnCheck(1, "NTP_RemCheck"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const size_t stopped = runs();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(runs(), stopped);

    ASSERT_TRUE(client.actionOnCheck(0, "NTP_RemCheck"));
    EXPECT_TRUE(waitFor([&] { return runs() > stopped + 1; }, 5000));

    // The watcher does not quit, so the staged stop lasts its 2 s (twice the
    // check's interval): no check runs during it.
    const int status = stopVardo();
    EXPECT_TRUE(exitedWith(status, 0));
    const std::string trace = traceLog();
    const size_t term = trace.find("Handling SIGTERM");
    ASSERT_NE(term, std::string::npos);
    EXPECT_EQ(trace.find("ntp_RemCheck::run", term), std::string::npos);
}

// A real time server: chronyd serving its own clock at stratum 8 on the
// first server's address, without ever setting the clock (-x).
TEST_F(E2eBuiltin, RealTimeServerGoingUpAndDownIsPublishedOnce) {
    const char* chronyd = "/usr/sbin/chronyd";
    if (access(chronyd, X_OK) != 0) GTEST_SKIP() << "chronyd is not installed";
    const std::string conf = home() + "/chrony.conf";
    writeText(conf,
              "bindaddress 127.0.0.20\nport 123\nallow 127.0.0.0/8\nlocal stratum 8\n"
              "cmdport 0\npidfile " +
                  home() + "/chronyd.pid\n");
    const std::string log = home() + "/chronyd.log";
    auto serve = [&] {
        const pid_t pid = fork();
        if (pid == 0) {
            freopen(log.c_str(), "a", stderr);
            execl(chronyd, chronyd, "-x", "-d", "-u", "root", "-f", conf.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    };
    servers(1);
    ntpd = -1;
    pid_t server = serve();
    ASSERT_GT(server, 0);
    ASSERT_NO_FATAL_FAILURE(start(check("ntp", "NTP_RemCheck")));
    ASSERT_NO_FATAL_FAILURE(expectChange(0, 22)) << readText(log);
    expectNoEvent(2500);

    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    ASSERT_NO_FATAL_FAILURE(expectChange(0, 23));
    expectNoEvent(2500);

    server = serve();
    ASSERT_NO_FATAL_FAILURE(expectChange(0, 22)) << readText(log);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
}

}  // namespace
}  // namespace e2e
