// The network part of the configuration against the real daemon, on kernel
// interfaces made in the test's own network namespace (tap ports, whose
// link settings the test writes, and a veth pair): interfaces read with
// their live link state, port and IP-interface changes, gateways and static
// routes with the commands they run.
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>

#include "tests/e2e/config_fixture.h"

namespace e2e {
namespace {

// t0 the management port, t1 the internal one (negotiation off, 100/full),
// v0 an external port; an IP interface on each of the first two.
const std::string kNetRc =
    kHeader +
    "GATEWAY[0]=\"\"\nGATEWAY[1]=\"10.0.0.1\"\nTELNET=\"1\"\nPING=\"1\"\nTCPSEC=\"1\"\nSSH=\"1\"\n"
    "IFNAME[0]=\"t0\"\nIFTYPE[0]=\"mgmt\"\nIFLABEL[0]=\"MGMNT\"\nIFAUTO[0]=\"on\"\n"
    "IFSPEED[0]=\"auto\"\nIFDUPLX[0]=\"auto\"\nIFACTION[0]=\"off\"\n\n"
    "IFNAME[1]=\"t1\"\nIFTYPE[1]=\"int\"\nIFLABEL[1]=\"INTERNAL\"\nIFAUTO[1]=\"off\"\n"
    "IFSPEED[1]=\"100\"\nIFDUPLX[1]=\"full\"\nIFACTION[1]=\"off\"\n\n"
    "IFNAME[2]=\"v0\"\nIFTYPE[2]=\"ext\"\nIFLABEL[2]=\"EXTERNAL\"\nIFAUTO[2]=\"on\"\n"
    "IFSPEED[2]=\"auto\"\nIFDUPLX[2]=\"auto\"\nIFACTION[2]=\"off\"\n\n"
    "IPDEV[0]=\"t0\"\nIPADDR[0]=\"192.168.1.2\"\nNETMASK[0]=\"255.255.255.0\"\n"
    "BROADCAST[0]=\"192.168.1.255\"\nVLAN[0]=\"\"\n\n"
    "IPDEV[1]=\"t1\"\nIPADDR[1]=\"10.0.0.2\"\nNETMASK[1]=\"255.255.255.0\"\n"
    "BROADCAST[1]=\"10.0.0.255\"\nVLAN[1]=\"\"\n\n";
const char kWebStart[] = "/usr/local/DYX/etc/httpd/htdocs/kelda.jnlp";
// Ids of the entries: position + 1.
const uint32_t kT0 = 1, kT1 = 2, kV0 = 3, kIp0 = 4;
// Capability bits: 10, 100 and 1000 Mbit/s full duplex, 10 and 100 half.
const uint32_t kT1Modes = 0x2f;

// Writes a tap port's settings as a driver would report them.
void setPort(const char* name, unsigned speed, uint8_t duplex, uint32_t supported) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    ethtool_cmd cmd{};
    ifreq ifr{};
    strcpy(ifr.ifr_name, name);
    ifr.ifr_data = reinterpret_cast<char*>(&cmd);
    cmd.cmd = ETHTOOL_GSET;
    ASSERT_EQ(ioctl(fd, SIOCETHTOOL, &ifr), 0) << name;
    cmd.cmd = ETHTOOL_SSET;
    cmd.supported = supported;
    ethtool_cmd_speed_set(&cmd, speed);
    cmd.duplex = duplex;
    ASSERT_EQ(ioctl(fd, SIOCETHTOOL, &ifr), 0) << name;
    close(fd);
}

// The hardware address "0a:1b:..." that ip(8) shows for a port.
std::string kernelMac(const char* name) {
    const std::string command = std::string("ip -o link show ") + name;
    FILE* out = popen(command.c_str(), "r");
    char line[512] = {};
    const bool read = out && fgets(line, sizeof line, out);
    if (out) pclose(out);
    const char* ether = read ? strstr(line, "link/ether ") : nullptr;
    return ether ? std::string(ether + 11, 17) : std::string("?");
}

std::string macText(const uint8_t* mac) {
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

// A port request that changes nothing unless the test fills fields in.
ConfigAll portRequest(uint32_t id, const char* name) {
    ConfigAll all{};
    ConfigNetIf& e = all.data.netIf;
    e.kind = NETIF_KIND_ETH;
    e.id = id;
    strcpy(e.name, name);
    e.adminStatus = kAllOnes;
    for (uint32_t* field : {&e.u.eth.autoneg, &e.u.eth.speed, &e.u.eth.duplex, &e.u.eth.action})
        *field = kAllOnes;
    return all;
}

ConfigAll ipRequest(uint32_t id, const char* name, const char* address, const char* mask) {
    ConfigAll all{};
    ConfigNetIf& e = all.data.netIf;
    e.kind = NETIF_KIND_IP;
    e.id = id;
    strcpy(e.name, name);
    e.u.ip.vlan = kAllOnes;
    e.u.ip.address = ip(address);
    e.u.ip.mask = ip(mask);
    return all;
}

ConfigAll routeRequest(uint32_t type, const char* destination, const char* mask,
                       const char* gateway, uint32_t device) {
    ConfigAll all{};
    all.data.route = ConfigRoute{type, ip(destination), ip(mask), ip(gateway), device};
    return all;
}

class E2eNetwork : public E2eConfig {
protected:
    void SetUp() override {
        E2eConfig::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(system("ip link add v0 type veth peer name v1 && ip tuntap add t0 mode tap && "
                         "ip tuntap add t1 mode tap"),
                  0);
        ASSERT_NO_FATAL_FAILURE(setPort("t0", 10, DUPLEX_HALF, 0));
        ASSERT_NO_FATAL_FAILURE(setPort("t1", 100, DUPLEX_FULL, kT1Modes));
        writeText(kRcConf, kNetRc);
    }

    // Lines of the recorded commands that start with prefix.
    size_t commandCount(const std::string& prefix) {
        size_t count = 0;
        std::istringstream lines(commandsLog());
        for (std::string line; std::getline(lines, line);) count += line.rfind(prefix, 0) == 0;
        return count;
    }
    // A /sbin/route that records each of its arguments in brackets and
    // exits as /etc/route.exit says ("kill": it is killed by a signal).
    void wordRecordingRoute() {
        const std::string script =
            "#!/bin/sh\nline=route\nfor a in \"$@\"; do line=\"$line [$a]\"; "
            "done\necho \"$line\" >> " +
            std::string(getenv("VARDO_E2E_RECORD")) +
            "\nhow=$(cat /etc/route.exit 2>/dev/null)\n"
            "[ \"$how\" = kill ] && kill -9 $$\nexit ${how:-0}\n";
        writeText("/sbin/route", script);
        ASSERT_EQ(chmod("/sbin/route", 0755), 0);
    }
    // The routes as a walk reads them: destinations in list order.
    std::vector<std::string> routeWalk() {
        std::vector<std::string> found;
        ConfigAll walk{};
        for (int guard = 0; guard < 10; ++guard) {
            if (get(CONFIG_ROUTE_GET, walk) != KEEPER_OK || walk.cursor == 0) break;
            in_addr a{walk.data.route.destination};
            found.push_back(inet_ntoa(a));
        }
        return found;
    }
};

TEST_F(E2eNetwork, InterfacesCarryTheKernelsLinkStateSpeedAndAddress) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    std::vector<ConfigNetIf> entries;
    ConfigAll all{};
    for (int guard = 0; guard < 10; ++guard) {
        ASSERT_EQ(get(CONFIG_IF, all), KEEPER_OK);
        if (all.cursor == 0) break;
        entries.push_back(all.data.netIf);
    }
    ASSERT_EQ(entries.size(), 5u);
    const ConfigNetIfEth& t0 = entries[0].u.eth;
    EXPECT_EQ(t0.linkState, 0u) << "10 Mbit/s half duplex is a link";
    EXPECT_EQ(t0.liveSpeed, 10u << 20);
    EXPECT_EQ(t0.liveDuplex, 1u) << "half";
    const ConfigNetIfEth& t1 = entries[1].u.eth;
    EXPECT_EQ(t1.linkState, 0u);
    EXPECT_EQ(t1.liveSpeed, 100u << 20);
    EXPECT_EQ(t1.liveDuplex, 0u) << "full";
    EXPECT_EQ(t1.supported, kT1Modes) << "capability mask from the kernel";
    EXPECT_EQ(macText(t1.hwAddr), kernelMac("t1"));
    EXPECT_EQ(entries[2].u.eth.linkState, 1u) << "a veth port runs at 10000 Mbit/s: no link";
    EXPECT_EQ(macText(entries[2].u.eth.hwAddr), kernelMac("v0"));
    EXPECT_EQ(entries[3].kind, NETIF_KIND_IP);

    // Read live: the next walk sees what the kernel says now.
    ASSERT_NO_FATAL_FAILURE(setPort("t1", 1000, DUPLEX_FULL, kT1Modes));
    all = ConfigAll{};
    all.cursor = kT0;
    ASSERT_EQ(get(CONFIG_IF, all), KEEPER_OK);
    EXPECT_EQ(all.data.netIf.u.eth.liveSpeed, 1000u << 20);
}

TEST_F(E2eNetwork, RefusedInterfaceChangesChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    auto refused = [&](ConfigAll request, const char* what) {
        EXPECT_EQ(set(CONFIG_IF, request), KEEPER_FAIL) << what;
    };
    ConfigAll r = portRequest(kT1, "t1");
    for (uint32_t kind : {0u, 7u, NETIF_KIND_GROUP}) {
        r.data.netIf.kind = kind;
        refused(r, "kind");
    }
    for (uint32_t id : {0u, 6u, 33u, 0x80000000u, kAllOnes}) {
        r = portRequest(id, "t1");
        r.data.netIf.u.eth.action = 3;
        refused(r, "id");
    }
    r = portRequest(kT1, "t1");
    r.data.netIf.kind = NETIF_KIND_PORT;
    refused(r, "kind other than the entry's");
    r = portRequest(kIp0, "ip0");
    refused(r, "an IP interface addressed as a port");
    r = portRequest(kT1, "t0");
    refused(r, "another name");
    r = portRequest(kT1, "t1");
    memset(r.data.netIf.name, 'x', sizeof r.data.netIf.name);
    refused(r, "a name without its end");
    r = portRequest(kT1, "t1");
    r.data.netIf.u.eth.speed = 3;
    refused(r, "speed code");
    r = portRequest(kT1, "t1");
    r.data.netIf.u.eth.action = 5;
    refused(r, "action code");
    r = portRequest(kT1, "t1");
    r.data.netIf.adminStatus = 2;
    refused(r, "administrative state");
    ConfigAll ipBad = ipRequest(kIp0, "ip0", "192.168.1.9", "255.0.255.0");
    refused(ipBad, "a mask with holes");
    ipBad = ipRequest(kIp0, "ip0", "192.168.1.9", "255.255.255.0");
    ipBad.data.netIf.u.ip.vlan = 4095;
    refused(ipBad, "VLAN");

    // 1000 Mbit/s half duplex is not among t1's modes; the administrative
    // change asked for with it is not made either.
    r = portRequest(kT1, "t1");
    r.data.netIf.adminStatus = 1;
    r.data.netIf.u.eth.speed = 2;
    r.data.netIf.u.eth.duplex = 1;
    refused(r, "an unsupported mode");
    // v0 lists no modes at all.
    r = portRequest(kV0, "v0");
    r.data.netIf.u.eth.autoneg = 1;
    r.data.netIf.u.eth.speed = 1;
    r.data.netIf.u.eth.duplex = 0;
    refused(r, "a port without modes");

    r = portRequest(kT1, "t1");
    EXPECT_EQ(set(CONFIG_IF, r), KEEPER_NO_CHANGE);
    r.data.netIf.u.eth.speed = 2;  // negotiation stays off: 100 -> 1000 full
    ASSERT_EQ(set(CONFIG_IF, r), KEEPER_OK_REBOOT);
    // The first event is this change's: nothing before it published.
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_IF, 2));
    ConfigAll back{};
    back.cursor = kT0;
    ASSERT_EQ(get(CONFIG_IF, back), KEEPER_OK);
    EXPECT_EQ(back.data.netIf.adminStatus, 0u);
    EXPECT_EQ(readText(kRcConf).find("IFSTATUS"), std::string::npos);
}

TEST_F(E2eNetwork, PortActionAnswersZeroAndALinkModeAsksForAReboot) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll r = portRequest(kT1, "t1");
    r.data.netIf.u.eth.action = 3;
    ASSERT_EQ(set(CONFIG_IF, r), KEEPER_OK);
    EXPECT_EQ(r.data.netIf.u.eth.action, 3u);
    EXPECT_EQ(r.data.netIf.u.eth.speed, 1u) << "the reply shows the stored state";
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_IF, 8));
    EXPECT_NE(readText(kRcConf).find("IFACTION[1]=\"on_all\""), std::string::npos);

    r = portRequest(kT1, "t1");
    r.data.netIf.u.eth.duplex = 1;
    r.data.netIf.u.eth.action = 1;
    ASSERT_EQ(set(CONFIG_IF, r), KEEPER_OK_REBOOT);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_IF, 4 | 8));
    const std::string file = readText(kRcConf);
    EXPECT_NE(file.find("IFSPEED[1]=\"100\"\nIFDUPLX[1]=\"half\"\nIFACTION[1]=\"off\"\n"),
              std::string::npos)
        << file;
    // An administrative change alone asks for a reboot as well.
    r = portRequest(kV0, "v0");
    r.data.netIf.adminStatus = 1;
    ASSERT_EQ(set(CONFIG_IF, r), KEEPER_OK_REBOOT);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_IF, 1));
    EXPECT_NE(readText(kRcConf).find("IFSTATUS[2]=\"down\""), std::string::npos);
    EXPECT_EQ(commandsLog().find("/sbin/shutdown"), std::string::npos) << "the reboot is delayed";
}

TEST_F(E2eNetwork, AnswerOneRebootsTheHostAfterTheRebootDelay) {
    // No supervised program: the reboot follows the delay without a stop
    // stage. The delay is the appliance's 30 s, here shortened to 3 s.
    shortenShutdown(3, 5);
    writeIni(general());
    startVardo();
    ASSERT_TRUE(client.connect(port()));
    ConfigAll r = portRequest(kT1, "t1");
    r.data.netIf.u.eth.autoneg = 0;
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_EQ(set(CONFIG_IF, r), KEEPER_OK_REBOOT);
    ASSERT_TRUE(waitFor([&] { return !commandsLog().empty(); }, 10000));
    // Timers count whole seconds of uptime: up to a second early.
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
    EXPECT_EQ(commandsLog(), "/sbin/shutdown -r now\n");
}

TEST_F(E2eNetwork, IpInterfaceChangeRewritesHostsAndRestartsTheNetworkOnce) {
    ASSERT_EQ(system("mkdir -p /usr/local/DYX/etc/httpd/htdocs"), 0);
    writeText(kWebStart,
              "<jnlp spec=\"1.0+\" codebase=\"http://192.168.1.2/app\">\n"
              "  <argument>192.168.1.2</argument>\n</jnlp>\n");
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll r = ipRequest(kIp0, "ip0", "192.168.1.7", "255.255.255.0");
    ASSERT_EQ(set(CONFIG_IF, r), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_IF, 0));
    EXPECT_EQ(readText("/etc/hosts"),
              "127.0.0.1       localhost\n192.168.1.7\tvardo.test.lan vardo\n"
              "10.0.0.2\tvardo.test.lan vardo\n");
    EXPECT_EQ(readText(kWebStart),
              "<jnlp spec=\"1.0+\" codebase=\"http://192.168.1.7\">\n"
              "  <argument>192.168.1.7</argument>\n</jnlp>\n")
        << "t0 is the management port";
    EXPECT_NE(readText(kRcConf).find("IPADDR[0]=\"192.168.1.7\"\nNETMASK[0]=\"255.255.255.0\"\n"
                                     "BROADCAST[0]=\"192.168.1.255\"\n"),
              std::string::npos);
    ASSERT_TRUE(waitCommand("/etc/rc.d/rc.inet1 restart"));
    EXPECT_EQ(set(CONFIG_IF, r), KEEPER_NO_CHANGE);

    // Address 0 takes the interface down; the internal one is no
    // management member: the descriptor stays.
    r = ipRequest(kIp0 + 1, "ip1", "0.0.0.0", "0.0.0.0");
    ASSERT_EQ(set(CONFIG_IF, r), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_IF, 0));
    EXPECT_EQ(readText("/etc/hosts"),
              "127.0.0.1       localhost\n192.168.1.7\tvardo.test.lan vardo\n");
    EXPECT_NE(readText(kRcConf).find("IPADDR[1]=\"\"\nNETMASK[1]=\"\"\nBROADCAST[1]=\"\"\n"),
              std::string::npos);
    EXPECT_TRUE(waitFor([&] { return commandCount("/etc/rc.d/rc.inet1") == 2; }, 5000));
    settle();
    EXPECT_EQ(commandCount("/etc/rc.d/rc.inet1"), 2u) << commandsLog();
    EXPECT_NE(readText(kWebStart).find("192.168.1.7"), std::string::npos);
}

TEST_F(E2eNetwork, GatewaysMustLieInTheSubnetOfTheirPortsIpInterface) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll gw{};
    gw.data.word[0] = ip("10.0.0.1");
    EXPECT_EQ(set(CONFIG_INB_GATEWAY, gw), KEEPER_NO_CHANGE);
    gw.data.word[0] = ip("10.0.1.1");
    EXPECT_EQ(set(CONFIG_INB_GATEWAY, gw), KEEPER_FAIL) << "outside 10.0.0.0/24 of t1";
    gw.data.word[0] = ip("10.0.0.1");
    EXPECT_EQ(set(CONFIG_OOB_GATEWAY, gw), KEEPER_FAIL) << "outside 192.168.1.0/24 of t0";
    settle();
    EXPECT_EQ(commandsLog().find("/sbin/route"), std::string::npos) << "refusals run nothing";
    EXPECT_EQ(commandsLog().find("rc.inet1"), std::string::npos);

    gw.data.word[0] = ip("10.0.0.254");
    ASSERT_EQ(set(CONFIG_INB_GATEWAY, gw), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_GATEWAY, 8));
    EXPECT_TRUE(waitCommand("/sbin/route del -net 0.0.0.0 gw 10.0.0.1"));
    gw.data.word[0] = ip("192.168.1.1");
    ASSERT_EQ(set(CONFIG_OOB_GATEWAY, gw), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_GATEWAY, 4));
    EXPECT_NE(readText(kRcConf).find("GATEWAY[0]=\"192.168.1.1\"\nGATEWAY[1]=\"10.0.0.254\"\n"),
              std::string::npos);
    ConfigAll read{};
    ASSERT_EQ(get(CONFIG_INB_GATEWAY, read), KEEPER_OK);
    EXPECT_EQ(read.data.word[0], ip("10.0.0.254"));
    // No default route to remove for the empty out-of-band slot; one
    // network restart for each change.
    EXPECT_TRUE(waitFor([&] { return commandCount("/etc/rc.d/rc.inet1") == 2; }, 5000));
    EXPECT_EQ(commandCount("/sbin/route"), 1u) << commandsLog();

    gw.data.word[0] = 0;
    ASSERT_EQ(set(CONFIG_OOB_GATEWAY, gw), KEEPER_OK) << "no gateway is always valid";
    EXPECT_TRUE(waitCommand("/sbin/route del -net 0.0.0.0 gw 192.168.1.1"));
}

TEST_F(E2eNetwork, RoutesRunTheirCommandWordForWordAndKeepWhatFailed) {
    ASSERT_NO_FATAL_FAILURE(wordRecordingRoute());
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll net = routeRequest(1, "10.1.0.0", "255.255.0.0", "10.0.0.1", kT1);
    ASSERT_EQ(set(CONFIG_ROUTE_ADD, net), KEEPER_OK);
    EXPECT_EQ(net.action, 1u);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_ROUTE, 0));
    ConfigAll host = routeRequest(0, "10.2.0.7", "255.255.255.255", "10.0.0.1", kT0);
    ASSERT_EQ(set(CONFIG_ROUTE_ADD, host), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_ROUTE, 0));
    EXPECT_EQ(set(CONFIG_ROUTE_ADD, net), KEEPER_NO_CHANGE) << "the same route twice";
    ConfigAll bad = routeRequest(1, "10.3.0.0", "255.255.0.0", "10.0.0.1", 33);
    EXPECT_EQ(set(CONFIG_ROUTE_ADD, bad), KEEPER_FAIL) << "no such device";
    bad = routeRequest(2, "10.3.0.0", "255.255.0.0", "10.0.0.1", kT1);
    EXPECT_EQ(set(CONFIG_ROUTE_ADD, bad), KEEPER_FAIL) << "no such type";
    EXPECT_EQ(commandsLog(),
              "route [add] [-net] [10.1.0.0] [netmask] [255.255.0.0] [gw] [10.0.0.1] [t1]\n"
              "route [add] [-host] [10.2.0.7] [gw] [10.0.0.1] [t0]\n");
    EXPECT_EQ(routeWalk(), (std::vector<std::string>{"10.2.0.7", "10.1.0.0"}));
    const std::string routes =
        "ROUTEDEV[0]=\"t0\"\nROUTEADDR[0]=\"10.2.0.7\"\nROUTEMASK[0]=\"255.255.255.255\"\n"
        "ROUTEGWAY[0]=\"10.0.0.1\"\nROUTETYPE[0]=\"host\"\n"
        "ROUTEDEV[1]=\"t1\"\nROUTEADDR[1]=\"10.1.0.0\"\nROUTEMASK[1]=\"255.255.0.0\"\n"
        "ROUTEGWAY[1]=\"10.0.0.1\"\nROUTETYPE[1]=\"net\"\n";
    EXPECT_EQ(readText(kRcConf), kNetRc + routes) << "newest first";

    // A command that fails, or is killed, keeps the route.
    for (const char* how : {"7", "kill"}) {
        writeText("/etc/route.exit", how);
        EXPECT_EQ(set(CONFIG_ROUTE_DEL, net), KEEPER_FAIL) << how;
        ConfigAll other = routeRequest(1, "10.4.0.0", "255.255.0.0", "10.0.0.1", kT1);
        EXPECT_EQ(set(CONFIG_ROUTE_ADD, other), KEEPER_FAIL) << how;
    }
    EXPECT_EQ(routeWalk(), (std::vector<std::string>{"10.2.0.7", "10.1.0.0"}));
    EXPECT_EQ(readText(kRcConf), kNetRc + routes);

    unlink("/etc/route.exit");
    ConfigAll missing = routeRequest(1, "10.1.0.0", "255.255.0.0", "10.0.0.9", kT1);
    EXPECT_EQ(set(CONFIG_ROUTE_DEL, missing), KEEPER_NO_CHANGE);
    ASSERT_EQ(set(CONFIG_ROUTE_DEL, net), KEEPER_OK);
    EXPECT_EQ(net.action, 6u);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_ROUTE, 0));
    EXPECT_EQ(routeWalk(), (std::vector<std::string>{"10.2.0.7"}));
    EXPECT_EQ(readText(kRcConf), kNetRc + routes.substr(0, routes.find("ROUTEDEV[1]")));
    std::istringstream lines(commandsLog());
    std::string last;
    for (std::string line; std::getline(lines, line);) last = line;
    EXPECT_EQ(last, "route [del] [-net] [10.1.0.0] [netmask] [255.255.0.0] [gw] [10.0.0.1] [t1]");
}

using Clock = std::chrono::steady_clock;

TEST_F(E2eNetwork, RouteIsAnsweredWhenItsCommandEndedAndHoldsOnlyWhatComesAfterIt) {
    ASSERT_NO_FATAL_FAILURE(standIn("/sbin/route", "sleep 1"));
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    TestClient other;
    ASSERT_TRUE(other.connect(port()));
    const ConfigAll net = routeRequest(1, "10.5.0.0", "255.255.0.0", "10.0.0.1", kT1);
    const auto asked = Clock::now();
    ASSERT_TRUE(sendConfig(client, KEEPER_SET_CONFIG, CONFIG_ROUTE_ADD, net));
    GeneralMsg listing(KEEPER_PRINT_PS);
    ASSERT_TRUE(client.send(listing));
    ASSERT_TRUE(waitCommand("/sbin/route add -net 10.5.0.0 netmask 255.255.0.0 gw 10.0.0.1 t1"));
    ConfigAll acl{};
    acl.data.acl.u.address = ip("10.7.7.7");
    ASSERT_TRUE(sendConfig(other, KEEPER_SET_CONFIG, CONFIG_ACL_ADD, acl));

    // Reads on any connection are answered at once; a change waits.
    const auto listed = Clock::now();
    EXPECT_NE(psListing().find("watcher"), std::string::npos);
    EXPECT_LT(Clock::now() - listed, std::chrono::milliseconds(100));
    Message reply;
    EXPECT_FALSE(other.read(reply, 300)) << "the access-list change waits behind the route";

    ConfigAll data{};
    ASSERT_TRUE(client.read(reply, 3000));
    EXPECT_EQ(configReply(reply, data), KEEPER_OK);
    EXPECT_GE(Clock::now() - asked, std::chrono::milliseconds(900));
    ASSERT_TRUE(client.read(reply, 3000));
    EXPECT_EQ(reply.type, unsigned(KEEPER_PRINT_ACK)) << "the route's own connection: after it";
    ASSERT_TRUE(other.read(reply, 3000));
    EXPECT_EQ(configReply(reply, data), KEEPER_OK);
    EXPECT_EQ(routeWalk(), (std::vector<std::string>{"10.5.0.0"}));
}

TEST_F(E2eNetwork, RouteWhoseConnectionClosedMeanwhileIsStillMade) {
    ASSERT_NO_FATAL_FAILURE(standIn("/sbin/route", "sleep 1"));
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    TestClient leaving;
    ASSERT_TRUE(leaving.connect(port()));
    const ConfigAll net = routeRequest(1, "10.5.0.0", "255.255.0.0", "10.0.0.1", kT1);
    ASSERT_TRUE(sendConfig(leaving, KEEPER_SET_CONFIG, CONFIG_ROUTE_ADD, net));
    ASSERT_TRUE(waitCommand("/sbin/route add -net 10.5.0.0 netmask 255.255.0.0 gw 10.0.0.1 t1"));
    leaving.reset();
    ConfigAll acl{};
    acl.data.acl.u.address = ip("10.7.7.7");
    EXPECT_EQ(set(CONFIG_ACL_ADD, acl), KEEPER_OK) << "made after the route";
    // Those who follow the routes hear of it, though its sender left.
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_ROUTE, 0));
    EXPECT_EQ(routeWalk(), (std::vector<std::string>{"10.5.0.0"}));
    EXPECT_TRUE(vardoRunning());
}

TEST_F(E2eNetwork, RouteCommandThatNeverEndsIsAnsweredTwoAtItsDeadlineAndKilled) {
    // Ignored by the shell and by its sleep as well: only SIGKILL ends them.
    ASSERT_NO_FATAL_FAILURE(standIn(
        "/sbin/route", "echo $$ > /etc/route.pid\ntrap '' TERM\nwhile :; do sleep 1; done"));
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll net = routeRequest(1, "10.6.0.0", "255.255.0.0", "10.0.0.1", kT1);
    const auto asked = Clock::now();
    EXPECT_EQ(set(CONFIG_ROUTE_ADD, net), KEEPER_FAIL);
    const auto answered = Clock::now() - asked;
    EXPECT_GE(answered, std::chrono::milliseconds(1500));
    EXPECT_LT(answered, std::chrono::milliseconds(2900));
    const int pid = atoi(readText("/etc/route.pid").c_str());
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(waitFor([&] { return processGone(pid); }, 4000));
    EXPECT_TRUE(routeWalk().empty());
}

}  // namespace
}  // namespace e2e
