// The time-server probe against fake servers on loopback addresses: every
// kind of reply, silence, a refused port, the wait ending through the
// engine's clock, and the check that keeps each server's state and
// publishes each change once.
#include "keeper/ntp_probe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <list>
#include <thread>

#include "keeper/client_handler.h"
#include "keeper/fake_ntp_servers.h"
#include "keeper/keeper_srv.h"
#include "keeper/predefined_checks.h"
#include "keeper/ps_task.h"
#include "keeper/timer_handler.h"
#include "reactor/ev_engine.h"
#include "reactor/ev_sock.h"

namespace {

class SteppedClock : public EvClock {
public:
    long uptime() const override { return now; }
    time_t wallTime() const override { return 1700000000 + now; }
    std::atomic<long> now{100};
};

// Wakes the engine's select from another thread.
class Waker : public EvHandler {
public:
    explicit Waker(EvEngine& engine) {
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        engine.registerSocket(fds[0], this, false, EV_RAW_READ);
    }
    ~Waker() override { close(fds[1]); }
    int handleInput(EvAdapter* sock) override {
        char c;
        return read(sock->getHandle(), &c, 1) == 1 ? 0 : -1;
    }
    // Ignored once the engine has let go of the other end.
    void wake() { (void)!send(fds[1], "x", 1, MSG_NOSIGNAL); }
    int fds[2];
};

struct ProbeFixture : ::testing::Test {
    ProbeFixture() { engine.setClock(&clock); }
    ~ProbeFixture() override { engine.setClock(nullptr); }

    // Runs the loop while a probe waits. Once `expected` requests in all have
    // reached the servers and the answers have had time to come back, the
    // clock moves past the probe's wait; a moment later the loop stops.
    void run_probe(FakeNtpServers& servers, int expected) {
        Waker waker(engine);
        std::thread ticker([&] {
            auto pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
            while (servers.requests + servers.bad_requests < expected) pause(5);
            pause(300);
            clock.now += NtpProbe::kWaitSeconds;
            waker.wake();
            pause(100);
            engine.requestStop();
            waker.wake();
        });
        engine.run();
        ticker.join();
    }

    SteppedClock clock;
    EvEngine engine;
};

TEST_F(ProbeFixture, EveryKindOfReplyIsJudgedAndOnlyTheServersOwnCounts) {
    FakeNtpServers servers(
        {kOk, kBroadcast, kShort, kLong, kKissOfDeath, kUnsynchronised, kForeign, kSilent});
    NtpProbe probe(&engine, servers.port);
    std::vector<in_addr_t> addresses;
    for (size_t i = 0; i < 8; ++i) addresses.push_back(servers.address(i));
    // Nobody listens there: the refusal settles it as down.
    addresses.push_back(inet_addr("127.0.0.98"));
    std::vector<int> results;
    ASSERT_TRUE(probe.start(addresses, [&](const std::vector<int>& r) { results = r; }));
    EXPECT_TRUE(probe.busy());
    // A second round while this one waits sends nothing.
    EXPECT_FALSE(probe.start(addresses, [](const std::vector<int>&) {}));
    run_probe(servers, 8);
    const int ok = NTP_SRV_OK, down = NTP_SRV_DOWN;
    EXPECT_EQ(results, (std::vector<int>{ok, ok, down, down, down, down, down, down, down}));
    EXPECT_EQ(servers.requests, 8);
    EXPECT_EQ(servers.bad_requests, 0);
    EXPECT_FALSE(probe.busy());
}

// The configuration plug-in's time-server records.
class ServerPlugin : public KeeperBasePligin {
public:
    keeperStatus handleRequest(GeneralMsg&) override { return KEEPER_OK; }
    bool get_ntp_list(std::list<ConfigAll*>& out) override {
        for (ConfigAll& record : records) out.push_back(&record);
        return !records.empty();
    }
    ConfigAll& add(uint32_t order) {
        records.emplace_back();
        ConfigAll& record = records.back();
        record.action = 21;  // as loaded from the time-server file
        record.data.srv.type = 6;
        record.data.srv.order = order;
        return record;
    }
    std::list<ConfigAll> records;
};

// A program subscribed to the server events, on a connection of an engine
// that never runs: what it is sent stays queued for the test to read.
class Subscriber : public PsTask {
public:
    Subscriber(KeeperSrv& k, TimerHandler& timers, EvEngine& idle) : PsTask(&k, &timers), owner(k) {
        set_name("subscriber");
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        peer = fds[1];
        handler = new ClientHandler(&idle, &k);
        idle.registerSocket(fds[0], handler, false, 0);
        client = handler;
        k.add_process(this);
        k._register_event(this, EVENT_GRP_SERVER, 0xFFFFFFFF, 0);
    }
    ~Subscriber() override {
        owner.remove_process(this);
        close(peer);
    }
    // Event id and record (in host order) of every event sent so far.
    std::vector<std::pair<uint32_t, ConfigAll>> events() const {
        std::vector<std::pair<uint32_t, ConfigAll>> found;
        const EvBuf& out = static_cast<EvSock*>(handler->get_socket())->outBuf();
        const size_t unit = 12 + 12 + sizeof(ConfigAll);
        for (size_t at = 0; at + unit <= static_cast<size_t>(out.used); at += unit) {
            uint32_t words[6];
            memcpy(words, out.data + at, sizeof words);
            EXPECT_EQ(ntohl(words[0]), static_cast<uint32_t>(KEEPER_NOTIFY_EVENT));
            EXPECT_EQ(ntohl(words[4]), static_cast<uint32_t>(EVENT_GRP_SERVER));
            EXPECT_EQ(ntohl(words[5]), sizeof(ConfigAll));
            ConfigAll record;
            memcpy(&record, out.data + at + 24, sizeof record);
            config_dataN2HOrder(CONFIG_SRV_GET, &record);
            found.emplace_back(ntohl(words[3]), record);
        }
        return found;
    }
    KeeperSrv& owner;
    ClientHandler* handler;
    int peer;
};

struct RemCheck : ProbeFixture {
    RemCheck() {
        keeper.registerPlugin(PLUGIN_CONFIG, plugin);
        check = new ntp_RemCheck(&keeper, &timers);
        keeper.adopt_predefined_check(check);
        check->set_ntp_port(servers.port);
        check->set_enabled(true);
        plugin->add(1).data.srv.u.address = servers.address(0);
        plugin->add(2).data.srv.u.address = servers.address(1);
        ConfigAll& named = plugin->add(3);
        named.data.srv.byName = 1;
        strcpy(named.data.srv.u.name, "time.example.org");
    }
    // The status words of the plug-in's records, in list order.
    std::vector<uint32_t> statuses() const {
        std::vector<uint32_t> found;
        for (const ConfigAll& record : plugin->records) found.push_back(record.action);
        return found;
    }

    FakeNtpServers servers{{kOk, kSilent}};
    KeeperSrv keeper{&engine};
    TimerHandler timers{&engine, &keeper};
    EvEngine idle;
    Subscriber subscriber{keeper, timers, idle};
    ServerPlugin* plugin = new ServerPlugin;
    ntp_RemCheck* check;
};

TEST_F(RemCheck, EachChangeIsKeptInTheRecordAndPublishedOnce) {
    const uint32_t ok = NTP_SRV_OK, down = NTP_SRV_DOWN;
    // The first probe: every status word differs from what was loaded; a
    // server given by a name is not looked up and counts as down.
    check->run();
    run_probe(servers, 2);
    EXPECT_EQ(statuses(), (std::vector<uint32_t>{ok, down, down}));
    auto events = subscriber.events();
    ASSERT_EQ(events.size(), 3u);
    for (const auto& event : events) EXPECT_EQ(event.first, ntp_RemCheck::kEventId);
    EXPECT_EQ(events[0].second.action, ok);
    EXPECT_EQ(events[0].second.data.srv.u.address, servers.address(0));
    EXPECT_EQ(events[2].second.data.srv.order, 3u);

    // Nothing changed: nothing published.
    check->run();
    run_probe(servers, 4);
    EXPECT_EQ(subscriber.events().size(), 3u);

    servers.set(0, kSilent);
    servers.set(1, kOk);
    check->run();
    run_probe(servers, 6);
    EXPECT_EQ(statuses(), (std::vector<uint32_t>{down, ok, down}));
    events = subscriber.events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[3].second.data.srv.order, 1u);
    EXPECT_EQ(events[3].second.action, down);
    EXPECT_EQ(events[4].second.data.srv.order, 2u);
    EXPECT_EQ(events[4].second.action, ok);
}

TEST_F(RemCheck, StoppedOrDisabledCheckProbesAndPublishesNothing) {
    check->set_enabled(false);
    check->run();
    EXPECT_FALSE(check->probing());
    check->set_enabled(true);
    check->run();
    EXPECT_TRUE(check->probing());
    check->stop();
    EXPECT_FALSE(check->probing());
    run_probe(servers, 2);
    EXPECT_TRUE(subscriber.events().empty());
    EXPECT_EQ(statuses(), (std::vector<uint32_t>{21, 21, 21}));

    check->validate();
    const std::string dump = check->asString();
    EXPECT_EQ(dump.rfind("ntp_RemCheck\nCheckBase:\n", 0), 0u) << dump;
    EXPECT_NE(dump.find("\nNTP_RemCheck\nValid:1\n"), std::string::npos) << dump;
}

TEST_F(RemCheck, RunsAreCountedWhenTheProbeIsOver) {
    check->run();
    EXPECT_EQ(check->get_counters().runs, 0u) << "the probe still waits";
    EXPECT_EQ(check->get_counters().last_run, 100);
    check->run();
    EXPECT_EQ(check->get_counters().skipped, 1u) << "a run while the probe waits";
    run_probe(servers, 2);
    CheckCounters counters = check->get_counters();
    EXPECT_EQ(counters.runs, 1u);
    EXPECT_EQ(counters.failures, 0u) << "one server answered";
    // The run ends once the answers are in, some 300 ms after it began.
    EXPECT_GE(counters.last_duration_ms, 250);

    servers.set(0, kSilent);
    clock.now = 200;
    check->run();
    run_probe(servers, 4);
    check->set_enabled(false);
    check->run();
    counters = check->get_counters();
    EXPECT_EQ(counters.runs, 2u);
    EXPECT_EQ(counters.failures, 1u) << "no server answered";
    EXPECT_EQ(counters.skipped, 2u);
    EXPECT_EQ(counters.last_run, 200);

    // A check whose work is done within the run is counted alike.
    kpiCheck kpi(&keeper, &timers);
    kpi.run();
    EXPECT_EQ(kpi.get_counters().runs, 1u);
    EXPECT_EQ(kpi.get_counters().last_run, clock.now);
    EXPECT_GE(kpi.get_counters().last_duration_ms, 0);
}

}  // namespace
