// Ports that follow other ports' links, on a fake link layer and a clock the
// test moves; and the minute step of the resource sampling.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "plugins/fake_daemon.h"
#include "plugins/sw_config_plugin.h"
#include "plugins/test_paths.h"
#include "support/appliance.h"
#include "support/test_util.h"

namespace {

// Links that are up or down as the test says; hwu_link_set changes them.
class FakeLink : public LinkLayer {
public:
    int status(const char* name, int* status) override {
        if (!up.count(name)) return 1;
        *status = up[name] ? HWU_LINK_UP : HWU_LINK_DOWN;
        return 0;
    }
    int speed(const char*, int* speed) override {
        *speed = 1000;
        return 0;
    }
    int duplex(const char*, int* duplex) override {
        *duplex = 1;
        return 0;
    }
    int details(const char* name, unsigned* supported) override {
        *supported = std::string(name) == "eth1" ? 0x2f : 0;
        return 0;
    }
    int hwAddr(const char*, unsigned char mac[6]) override {
        for (int i = 0; i < 6; ++i) mac[i] = static_cast<unsigned char>(0xa0 + i);
        return 0;
    }
    int set(const char* name, int mode) override {
        calls.push_back(std::string(name) + (mode == HWU_LINK_UP ? " up" : " down"));
        if (failing) return 1;
        up[name] = mode == HWU_LINK_UP;
        return 0;
    }

    std::map<std::string, bool> up;
    std::vector<std::string> calls;
    bool failing = false;
};

// eth1 is followed by every port ("on_all"), eth2 by the ports it shares a
// bridge with ("on_pair"): eth3. eth0 is the management port.
const char kRcConf[] =
    "IFNAME[0]=eth0\nIFTYPE[0]=mgmt\nIFACTION[0]=off\n"
    "IFNAME[1]=eth1\nIFTYPE[1]=int\nIFACTION[1]=on_all\n"
    "IFNAME[2]=eth2\nIFTYPE[2]=ext\nIFACTION[2]=on_pair\n"
    "IFNAME[3]=eth3\nIFTYPE[3]=ext\nIFACTION[3]=off\n"
    "IFNAME[4]=eth4\nIFTYPE[4]=ext\nIFACTION[4]=off\n"
    "IPDEV[0]=eth0\nIPADDR[0]=10.0.0.2\nNETMASK[0]=255.255.255.0\n"
    "LINK[0]=eth2,eth3\nLINKTYPE[0]=br\n"
    "LINK[1]=eth2,eth4\nLINKTYPE[1]=tap\n";

class LinkMirror : public ::testing::Test {
protected:
    void SetUp() override {
        writeText(dir / "rc.conf", kRcConf);
        plugin.reset(new SWConfigPlugin((dir / "rc.conf").c_str(), dir.path().c_str()));
        plugin->set_paths(pathsIn(dir));
        plugin->set_starter([](ProgramRunner::Job) { return 1; });
        link = new FakeLink;
        for (const char* name : {"eth0", "eth1", "eth2", "eth3", "eth4"}) link->up[name] = true;
        plugin->set_link_layer(std::unique_ptr<LinkLayer>(link));
        plugin->set_clock([this] { return now; });
        plugin->init(nullptr);
        ASSERT_TRUE(plugin->ready());
    }

    std::vector<unsigned> partners(unsigned position) const {
        std::vector<unsigned> list;
        for (uint8_t ref : plugin->mirror_record(position).partners)
            if (ref) list.push_back(ref - 1u);
        return list;
    }
    // One pass at the given time; the link requests it made.
    std::vector<std::string> passAt(time_t at) {
        now = at;
        link->calls.clear();
        plugin->_process_mirroring();
        return link->calls;
    }

    TempDir dir;
    time_t now = 1000;
    std::unique_ptr<SWConfigPlugin> plugin;
    FakeLink* link = nullptr;
};

using Calls = std::vector<std::string>;

// The request tables: an unknown command is refused without an event, and a
// port change that only a reboot applies asks the daemon for one.
TEST_F(LinkMirror, UnknownCommandsAreRefusedAndChangesThatNeedARebootAskTheDaemon) {
    FakeDaemon daemon;
    daemon.serve(*plugin);
    for (auto type : {KEEPER_GET_CONFIG, KEEPER_SET_CONFIG}) {
        GeneralMsg msg(type);
        msg.payload.config.cmd = 999;
        EXPECT_EQ(plugin->handleRequest(msg), KEEPER_OK);
        EXPECT_EQ(msg.payload.config.status, 2u) << type;
        EXPECT_EQ(msg.eventGrp, 0u) << type;
    }
    ConfigAll all;
    memset(&all, 0, sizeof all);
    ConfigNetIf& port = all.data.netIf;
    port = plugin->if_entry(1);
    memset(&port.u.eth, 0xff, sizeof port.u.eth);
    port.adminStatus = port.adminStatus == 0 ? 1 : 0;
    EXPECT_EQ(daemon.change(*plugin, CONFIG_IF, all), KEEPER_OK_REBOOT);
    EXPECT_EQ(daemon.reboots, 1);
    EXPECT_EQ(daemon.change(*plugin, CONFIG_IF, all), KEEPER_NO_CHANGE);
    EXPECT_EQ(daemon.reboots, 1);
}

TEST_F(LinkMirror, PortsFollowTheirPartnersAfterTheHoldTime) {
    plugin->_create_mirror_lists();
    EXPECT_EQ(partners(0), (std::vector<unsigned>{1}));
    EXPECT_EQ(partners(1), (std::vector<unsigned>{}));
    EXPECT_EQ(partners(2), (std::vector<unsigned>{1}));
    EXPECT_EQ(partners(3), (std::vector<unsigned>{1, 2})) << "eth2 and eth3 share a bridge";
    EXPECT_EQ(partners(4), (std::vector<unsigned>{1})) << "a tap group is no bridge";
    EXPECT_EQ(passAt(1001), Calls{});

    // eth1 loses its link while it is still within its hold time after the
    // load: nobody follows yet.
    link->up["eth1"] = false;
    EXPECT_EQ(passAt(1000 + CFG_LINK_HOLD_TIME), Calls{});
    // Then every follower goes down but the management port.
    EXPECT_EQ(passAt(1001 + CFG_LINK_HOLD_TIME), (Calls{"eth2 down", "eth3 down", "eth4 down"}));
    EXPECT_EQ(plugin->mirror_record(0).mirrorState, 1u);
    EXPECT_EQ(passAt(1100), Calls{}) << "nothing changes while eth1 stays down";

    link->up["eth1"] = true;
    EXPECT_EQ(passAt(1200), (Calls{"eth0 up", "eth2 up", "eth3 up", "eth4 up"}));
    EXPECT_EQ(plugin->mirror_record(2).lastUp, 1200);
    // eth2, just brought up, drops its link while negotiating: eth3 waits
    // for the hold time before it follows.
    link->up["eth2"] = false;
    EXPECT_EQ(passAt(1200 + CFG_LINK_HOLD_TIME), Calls{});
    EXPECT_EQ(passAt(1201 + CFG_LINK_HOLD_TIME), Calls{"eth3 down"});

    // A link that cannot be set is reported, and an "up" attempt still
    // counts as the port's last bring-up.
    link->failing = true;
    link->calls.clear();
    EXPECT_EQ(plugin->_set_link_status(4, 2), KEEPER_FAIL);
    EXPECT_EQ(plugin->mirror_record(4).lastUp, 1201 + CFG_LINK_HOLD_TIME);
    EXPECT_EQ(plugin->_set_link_status(0, 1), KEEPER_OK) << "the management port stays up";
    EXPECT_EQ(plugin->_set_link_status(32, 1), KEEPER_FAIL);
    EXPECT_EQ(link->calls, Calls{"eth4 up"});
}

TEST_F(LinkMirror, ActionChangeRebuildsTheListsAndRunsThePass) {
    link->up["eth1"] = false;
    now = 2000;
    ConfigNetIf request = plugin->if_entry(3);
    for (uint32_t* field : {&request.adminStatus, &request.u.eth.autoneg, &request.u.eth.speed,
                            &request.u.eth.duplex})
        *field = CFG_ALL_ONES;
    request.u.eth.action = 3;  // "on_all": eth3 is followed by every port now
    int mask = 0;
    // Not before the change is written: a file that cannot be refuses it.
    ASSERT_EQ(rename((dir / "rc.conf").c_str(), (dir / "kept").c_str()), 0);
    ASSERT_EQ(symlink((dir / "kept").c_str(), (dir / "rc.conf").c_str()), 0);
    EXPECT_EQ(plugin->set_if(&request, mask), KEEPER_FAIL);
    EXPECT_EQ(plugin->if_entry(3).u.eth.action, 1u);
    EXPECT_EQ(mask, 0);
    EXPECT_TRUE(link->calls.empty());
    ASSERT_EQ(rename((dir / "kept").c_str(), (dir / "rc.conf").c_str()), 0);
    EXPECT_EQ(plugin->set_if(&request, mask), KEEPER_OK) << "no reboot for an action";
    EXPECT_EQ(mask, 8);
    EXPECT_EQ(partners(2), (std::vector<unsigned>{1, 3}));
    EXPECT_EQ(link->calls, (Calls{"eth2 down", "eth3 down", "eth4 down"}));
    EXPECT_NE(readText(dir / "rc.conf").find("IFACTION[3]=\"on_all\""), std::string::npos);
    // The loader took the capability mask and address from the link layer.
    EXPECT_EQ(plugin->if_entry(1).u.eth.supported, 0x2fu);
    EXPECT_EQ(plugin->if_entry(1).u.eth.hwAddr[5], 0xa5);
}

TEST_F(LinkMirror, MemberListsLongerThanTheirRoomAreCut) {
    std::string many = "eth0";
    for (int i = 0; i < 40; ++i) many += ",eth" + std::to_string(i % 5);
    writeText(dir / "rc.conf",
              std::string(kRcConf) + "IPDEV[1]=" + many + "\nIPADDR[1]=10.9.0.1\n" +
                  "NETMASK[1]=255.255.0.0\nLINK[2]=" + many + "\nLINKTYPE[2]=br\n");
    plugin.reset(new SWConfigPlugin((dir / "rc.conf").c_str(), dir.path().c_str()));
    plugin->set_link_layer(std::unique_ptr<LinkLayer>(new FakeLink));
    plugin->set_starter([](ProgramRunner::Job) { return 1; });
    plugin->init(nullptr);
    ASSERT_EQ(plugin->if_count(), 10u);
    EXPECT_EQ(plugin->if_entry(6).u.ip.memberCount, NETIF_IP_MEMBERS);
    EXPECT_EQ(plugin->if_entry(9).u.group.memberCount, NETIF_GROUP_MEMBERS);
    // Every port shares the new bridge with every other one.
    plugin->_create_mirror_lists();
    EXPECT_EQ(partners(0), (std::vector<unsigned>{1, 2}));
    uint32_t gateway = inet_addr("10.0.0.1");
    EXPECT_EQ(plugin->set_oob_gateway(&gateway), KEEPER_OK);
}

class Routes : public ::testing::Test {
protected:
    void SetUp() override {
        writeText(dir / "rc.conf", std::string(kRcConf) + "GATEWAY[0]=\"10.0.0.1\"\n");
        plugin.set_paths(pathsIn(dir));
        plugin.set_link_layer(std::unique_ptr<LinkLayer>(new FakeLink));
        daemon.serve(plugin);
        plugin.init(&daemon);
        ASSERT_TRUE(plugin.ready());
    }
    int change(uint32_t cmd, RunOutcome::Kind kind, int code = 0) {
        ConfigAll all{};
        all.data.route = net;
        return daemon.change(plugin, cmd, all, kind, code);
    }

    TempDir dir;
    SWConfigPlugin plugin{(dir / "rc.conf").c_str(), dir.path().c_str()};
    FakeDaemon daemon;
    const ConfigRoute net{1, inet_addr("10.1.0.0"), inet_addr("255.255.0.0"), inet_addr("10.0.0.1"),
                          2};
};

TEST_F(Routes, AnswerWhenTheirCommandEndedAndChangeTheModelOnlyOnSuccess) {
    writeText(dir / "rc.conf", "as loaded\n");
    for (auto kind : {RunOutcome::Signaled, RunOutcome::TimedOut, RunOutcome::NotStarted})
        EXPECT_EQ(change(CONFIG_ROUTE_ADD, kind, 9), KEEPER_FAIL) << kind;
    EXPECT_EQ(change(CONFIG_ROUTE_ADD, RunOutcome::Exited, 7), KEEPER_FAIL);
    EXPECT_TRUE(plugin.routes().empty());
    EXPECT_EQ(readText(dir / "rc.conf"), "as loaded\n");
    const ProgramRunner::Job& job = daemon.jobs.back();
    EXPECT_EQ(job.argv,
              (std::vector<std::string>{"/sbin/route", "add", "-net", "10.1.0.0", "netmask",
                                        "255.255.0.0", "gw", "10.0.0.1", "eth1"}));
    EXPECT_EQ(job.queue, APP_ROUTE_QUEUE);
    EXPECT_EQ(job.deadline, APP_RUN_DEADLINE_HOST_CMD);
    EXPECT_TRUE(job.deadline_includes_wait) << "the client waits meanwhile";

    EXPECT_EQ(change(CONFIG_ROUTE_ADD, RunOutcome::Exited), KEEPER_OK);
    ASSERT_EQ(plugin.routes().size(), 1u);
    EXPECT_NE(readText(dir / "rc.conf").find("ROUTEADDR[0]=\"10.1.0.0\""), std::string::npos);
    const size_t ran = daemon.jobs.size();
    EXPECT_EQ(change(CONFIG_ROUTE_ADD, RunOutcome::Exited), KEEPER_NO_CHANGE);
    EXPECT_EQ(change(CONFIG_ROUTE_DEL, RunOutcome::TimedOut), KEEPER_FAIL);
    EXPECT_EQ(plugin.routes().size(), 1u);
    EXPECT_EQ(daemon.jobs.back().argv[1], "del");
    daemon.refuse = true;
    EXPECT_EQ(change(CONFIG_ROUTE_DEL, RunOutcome::Exited), KEEPER_FAIL) << "could not start";
    EXPECT_EQ(daemon.jobs.size(), ran + 1);
    EXPECT_FALSE(daemon.replies.any_open());
}

TEST_F(Routes, ChangeWhoseConnectionClosedStillAppliesAndTheOldGatewayIsNotWaitedFor) {
    GeneralMsg msg(KEEPER_SET_CONFIG);
    msg.payload.config.cmd = CONFIG_ROUTE_DEL;
    msg.payload.config.data.data.route = net;
    ASSERT_EQ(change(CONFIG_ROUTE_ADD, RunOutcome::Exited), KEEPER_OK);
    plugin.handleRequest(msg);
    ASSERT_NE(msg.replyToken, 0u);
    daemon.replies.attach(msg.replyToken, &daemon);
    daemon.replies.forget(&daemon);
    daemon.answered = -1;
    daemon.end(daemon.jobs.size() - 1, RunOutcome::Exited);
    EXPECT_EQ(daemon.answered, -1);
    EXPECT_TRUE(plugin.routes().empty());

    uint32_t gateway = inet_addr("10.0.0.9");
    EXPECT_EQ(plugin.set_oob_gateway(&gateway), KEEPER_OK);
    EXPECT_EQ(daemon.jobs.back().argv, (std::vector<std::string>{"/sbin/route", "del", "-net",
                                                                 "0.0.0.0", "gw", "10.0.0.1"}));
    EXPECT_EQ(daemon.jobs.back().queue, APP_ROUTE_QUEUE);
}

// The file is prepared before the route command runs: a route whose file
// cannot be written runs no command, and one whose file another change
// rewrote meanwhile is written with that change.
TEST_F(Routes, FileIsPreparedBeforeTheCommandAndWrittenWithWhatChangedMeanwhile) {
    writeText(dir / "kept", "kept\n");
    ASSERT_EQ(unlink((dir / "rc.conf").c_str()), 0);
    ASSERT_EQ(symlink((dir / "kept").c_str(), (dir / "rc.conf").c_str()), 0);
    EXPECT_EQ(change(CONFIG_ROUTE_ADD, RunOutcome::Exited), KEEPER_FAIL);
    EXPECT_TRUE(daemon.jobs.empty());
    EXPECT_TRUE(plugin.routes().empty());
    ASSERT_EQ(unlink((dir / "rc.conf").c_str()), 0);

    GeneralMsg msg(KEEPER_SET_CONFIG);
    msg.payload.config.cmd = CONFIG_ROUTE_ADD;
    msg.payload.config.data.data.route = net;
    plugin.handleRequest(msg);
    ASSERT_EQ(daemon.jobs.size(), 1u);
    EXPECT_NE(access((dir / "rc.conf").c_str(), F_OK), 0) << "prepared, not yet in place";
    uint32_t gateway = inet_addr("10.0.0.9");
    ASSERT_EQ(plugin.set_oob_gateway(&gateway), KEEPER_OK);
    daemon.end(0, RunOutcome::Exited);
    const std::string file = readText(dir / "rc.conf");
    EXPECT_NE(file.find("GATEWAY[0]=\"10.0.0.9\""), std::string::npos) << file;
    EXPECT_NE(file.find("ROUTEADDR[0]=\"10.1.0.0\""), std::string::npos) << file;
    EXPECT_EQ(plugin.routes().size(), 1u);
    // Written meanwhile, and then no more writable: the route is taken back.
    msg.payload.config.cmd = CONFIG_ROUTE_DEL;
    plugin.handleRequest(msg);
    gateway = inet_addr("10.0.0.8");
    ASSERT_EQ(plugin.set_oob_gateway(&gateway), KEEPER_OK);
    ASSERT_EQ(rename((dir / "rc.conf").c_str(), (dir / "kept").c_str()), 0);
    ASSERT_EQ(symlink((dir / "kept").c_str(), (dir / "rc.conf").c_str()), 0);
    const size_t ran = daemon.jobs.size();
    daemon.end(ran - 2, RunOutcome::Exited);
    EXPECT_EQ(plugin.routes().size(), 1u);
    ASSERT_EQ(daemon.jobs.size(), ran + 1);
    EXPECT_EQ(daemon.jobs.back().argv[1], "add");
}

TEST(ResourceSampling, PublishesOnlyChangesAndMeasuresCpuBetweenTwoTimers) {
    TempDir dir;
    double now = 5000.0;
    auto stat = [&](long long busy) {
        writeText(dir / "stat", "cpu  " + std::to_string(busy) + " 0 0 9999\ncpu0 1\ncpu1 1\n");
    };
    writeText(dir / "meminfo", "MemTotal: 1000 kB\nMemFree: 600 kB\n");
    writeText(dir / "df",
              "Filesystem 1024-blocks Used Available Capacity Mounted on\n/dev/a 10 1 9 "
              "10% /\n");
    stat(100);
    SWConfigPlugin plugin("", "");
    plugin.set_resource_sources(ResourceUsage::Sources{
        dir / "stat", dir / "meminfo", {"cat", dir / "df"}, [&now] { return now; }});
    FakeDaemon host;
    plugin.set_host(&host);
    std::vector<FakeDaemon::Published>& events = host.events;
    auto& timers = host.timers;
    // df, as "cat" of the test's file, ends at once.
    plugin.set_starter([](ProgramRunner::Job job) {
        EXPECT_TRUE(job.capture);
        EXPECT_EQ(job.deadline, APP_RUN_DEADLINE_DF);
        RunOutcome ended;
        ended.kind = RunOutcome::Exited;
        ended.output = readText(job.argv.at(1));
        job.done(ended);
        return 1;
    });

    plugin.on_timer(nullptr);
    EXPECT_TRUE(events.empty() && timers.empty()) << "no daemon, no step";
    int daemon = 0;
    plugin.on_timer(&daemon);
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].first, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].group, unsigned(EVENT_GRP_HW_STATUS));
    EXPECT_EQ(events[0].code, 64u | 32u) << "memory and disk; the CPU figure comes a step late";
    const ConfigHwStatus& hw = events[0].body.data.hw;
    EXPECT_EQ(ntohl(static_cast<uint32_t>(hw.memUsage)), 40u) << "in network order";
    EXPECT_EQ(ntohl(static_cast<uint32_t>(hw.diskUsage)), 10u);
    EXPECT_EQ(ntohl(static_cast<uint32_t>(hw.word5)), 1u);

    // Two processors, 100 busy ticks in one second: 50 %.
    now += 1.0;
    stat(200);
    timers[0].second();
    plugin.on_timer(&daemon);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].code, 128u);
    EXPECT_EQ(plugin.hw_status().cpuUsage, 50);

    // Nothing moved: nothing is published.
    now += 1.0;
    stat(300);
    timers[1].second();
    plugin.on_timer(&daemon);
    EXPECT_EQ(events.size(), 2u);
    EXPECT_EQ(timers.size(), 3u);
}

}  // namespace
