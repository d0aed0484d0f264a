// The configuration file: what the writer produces, what the loader accepts,
// and that the two agree.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "plugins/config_loader.h"
#include "plugins/fake_daemon.h"
#include "plugins/stc_config_plugin.h"
#include "plugins/test_paths.h"
#include "support/ev_debug.h"
#include "support/test_util.h"

namespace {

const char kHeader[] =
    "#! /bin/sh\n#\n# rc.conf This shell script holds configurable system parameters\n#\n";

class ConfigStore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        paths = pathsIn(dir);
    }
    // A plug-in over rc.conf in the test folder, initialised.
    std::unique_ptr<SWConfigPlugin> load(const std::string& rcConf) {
        writeText(dir / "rc.conf", rcConf);
        return loadExisting();
    }
    std::unique_ptr<SWConfigPlugin> loadExisting() {
        std::unique_ptr<SWConfigPlugin> plugin(
            new SWConfigPlugin((dir / "rc.conf").c_str(), (dir.path() + "/").c_str()));
        plugin->set_paths(paths);
        plugin->set_starter([](ProgramRunner::Job) { return 1; });
        plugin->init(nullptr);
        return plugin;
    }
    std::string rcConf() const { return readText(dir / "rc.conf"); }
    // A plug-in that has read the login profile.
    std::unique_ptr<STCConfigPluginX> profilePlugin() {
        std::unique_ptr<STCConfigPluginX> plugin(
            new STCConfigPluginX((dir / "rc.conf").c_str(), dir.path().c_str()));
        plugin->set_paths(paths);
        plugin->set_starter([](ProgramRunner::Job) { return 1; });
        plugin->init(nullptr);
        return plugin;
    }
    // Changes the shell time-out alone, which rewrites the login profile.
    static void setTimeout(STCConfigPluginX& plugin, uint32_t seconds) {
        ConfigSecurity change;
        memset(&change, 0xFF, sizeof change);
        change.shellTimeout = seconds;
        int mask = 0;
        ASSERT_EQ(plugin.set_security(&change, mask), KEEPER_OK);
        EXPECT_EQ(mask, 32);
    }
    static std::string dotted(uint32_t address) {
        in_addr a{address};
        return inet_ntoa(a);
    }

    TempDir dir;
    ConfigPaths paths;
};

TEST_F(ConfigStore, EmptyModelWritesHeaderGatewaysAndSwitchesOnly) {
    auto plugin = loadExisting();
    ASSERT_TRUE(plugin->ready()) << "a missing file is an empty configuration";
    ASSERT_EQ(plugin->update_cfg_file(), KEEPER_OK);
    EXPECT_EQ(rcConf(), std::string(kHeader) +
                            "GATEWAY[0]=\"\"\nGATEWAY[1]=\"\"\n"
                            "TELNET=\"1\"\nPING=\"1\"\nTCPSEC=\"1\"\nSSH=\"1\"\n");
}

// Every variable the writer produces, in its own format: loading and writing
// again gives the same bytes (route order and a port set down included).
TEST_F(ConfigStore, LoadedFileIsWrittenBackByteForByte) {
    const std::string file = std::string(kHeader) +
                             "GATEWAY[0]=\"192.168.1.254\"\nGATEWAY[1]=\"\"\n"
                             "TELNET=\"0\"\nPING=\"1\"\nTCPSEC=\"0\"\nSSH=\"1\"\n"
                             "IFNAME[0]=\"eth0\"\nIFTYPE[0]=\"mgmt\"\nIFLABEL[0]=\"Management\"\n"
                             "IFAUTO[0]=\"on\"\nIFSPEED[0]=\"auto\"\nIFDUPLX[0]=\"auto\"\n"
                             "IFACTION[0]=\"off\"\n\n"
                             "IFNAME[1]=\"eth1\"\nIFTYPE[1]=\"int\"\nIFLABEL[1]=\"In side\"\n"
                             "IFSTATUS[1]=\"down\"\nIFAUTO[1]=\"off\"\nIFSPEED[1]=\"100\"\n"
                             "IFDUPLX[1]=\"half\"\nIFACTION[1]=\"on_pair\"\n\n"
                             "IFNAME[2]=\"eth2\"\nIFTYPE[2]=\"\"\nIFLABEL[2]=\"OTHER\"\n"
                             "IFAUTO[2]=\"off\"\nIFSPEED[2]=\"1000\"\nIFDUPLX[2]=\"full\"\n"
                             "IFACTION[2]=\"on_all\"\n\n"
                             "IPDEV[0]=\"eth0\"\nIPADDR[0]=\"192.168.1.10\"\n"
                             "NETMASK[0]=\"255.255.255.0\"\nBROADCAST[0]=\"192.168.1.255\"\n"
                             "VLAN[0]=\"\"\n\n"
                             "IPDEV[1]=\"eth1,eth2\"\nIPADDR[1]=\"\"\nNETMASK[1]=\"\"\n"
                             "BROADCAST[1]=\"\"\nVLAN[1]=\"12\"\n\n"
                             "LINK[0]=\"eth1,eth2\"\nLINKTYPE[0]=\"br\"\nLINKSRC[0]=\"\"\n\n"
                             "LINK[1]=\"eth2\"\nLINKTYPE[1]=\"clone\"\nLINKSRC[1]=\"eth1\"\n\n"
                             "ROUTEDEV[0]=\"eth1\"\nROUTEADDR[0]=\"10.1.0.0\"\n"
                             "ROUTEMASK[0]=\"255.255.0.0\"\nROUTEGWAY[0]=\"10.0.0.1\"\n"
                             "ROUTETYPE[0]=\"net\"\n"
                             "ROUTEDEV[1]=\"eth0\"\nROUTEADDR[1]=\"10.2.0.5\"\n"
                             "ROUTEMASK[1]=\"255.255.255.255\"\nROUTEGWAY[1]=\"192.168.1.1\"\n"
                             "ROUTETYPE[1]=\"host\"\n";
    auto plugin = load(file);
    ASSERT_TRUE(plugin->ready());
    ASSERT_EQ(plugin->if_count(), 7u);
    const ConfigNetIf& down = plugin->if_entry(1);
    EXPECT_EQ(down.adminStatus, 1u);
    EXPECT_EQ(down.u.eth.autoneg, 1u);
    EXPECT_EQ(down.u.eth.speed, 1u);
    EXPECT_EQ(down.u.eth.duplex, 1u);
    EXPECT_EQ(down.u.eth.action, 2u);
    const ConfigNetIf& ip1 = plugin->if_entry(4);
    EXPECT_STREQ(ip1.name, "ip1");
    EXPECT_EQ(ip1.adminStatus, 1u) << "no address: down";
    ASSERT_EQ(ip1.u.ip.memberCount, 2u);
    EXPECT_EQ(ip1.u.ip.member[0], 2u);
    EXPECT_EQ(ip1.u.ip.member[1], 3u);
    EXPECT_EQ(ip1.u.ip.vlan, 12u);
    const ConfigNetIf& clone = plugin->if_entry(6);
    EXPECT_EQ(clone.role, static_cast<uint32_t>(IF_ROLE_CLONE));
    EXPECT_EQ(clone.u.group.sourceId, 2u);
    ASSERT_EQ(clone.u.group.memberCount, 1u);
    EXPECT_EQ(clone.u.group.member[0], 2u) << "a table position";
    // Pairs: every port alone, then each other entry with its members.
    ASSERT_EQ(plugin->pair_count(), 13u);
    EXPECT_EQ(plugin->pair(3).first, 4u);
    EXPECT_EQ(plugin->pair(4).first, 1u);
    EXPECT_EQ(plugin->pair(4).second, 4u);
    ASSERT_EQ(plugin->routes().size(), 2u);
    EXPECT_EQ(dotted(plugin->routes().front().rec.destination), "10.1.0.0");
    EXPECT_EQ(plugin->security().telnet, 2u);
    EXPECT_EQ(plugin->security().ssh, 1u);

    ASSERT_EQ(plugin->update_cfg_file(), KEEPER_OK);
    EXPECT_EQ(rcConf(), file);
    // And again from the rewritten file: still the same.
    auto again = loadExisting();
    ASSERT_EQ(again->update_cfg_file(), KEEPER_OK);
    EXPECT_EQ(rcConf(), file);
}

TEST_F(ConfigStore, ReadsHandEditedShellSyntaxAndRefusesIndexesOutsideTables) {
    auto plugin = load(
        "# edited by hand\n"
        "\n"
        "   GATEWAY[1]=10.0.0.1   # in-band\n"
        "IFNAME[3]='eth3'\n"
        "IFLABEL[3]=\"say \\\"hi\\\" for \\$5\"\n"
        "IFTYPE[3]=ext\n"
        "IFSPEED[3]=10\n"
        "IFAUTO[3]=OFF\n"
        "IFNAME[16]=\"eth16\"\n"
        "ROUTEADDR[20]=\"10.9.9.9\"\n"
        "ROUTEADDR[19]=\"10.8.0.0\"\n"
        "ROUTETYPE[19]=net\n"
        "IFNAME[x]=\"bad\"\n"
        "IFACTION[3]=\"on_pair\" trailing words\n"
        "PING=0\n"
        "SOMETHING=\"else\"\n");
    ASSERT_TRUE(plugin->ready());
    EXPECT_EQ(dotted(plugin->gateway(1)), "10.0.0.1");
    ASSERT_EQ(plugin->if_count(), 1u) << "IFNAME[16] lies outside the table";
    const ConfigNetIf& port = plugin->if_entry(0);
    EXPECT_STREQ(port.name, "eth3");
    EXPECT_EQ(port.id, 1u);
    EXPECT_STREQ(port.descr, "say \"hi\" for $5");
    EXPECT_EQ(port.role, static_cast<uint32_t>(IF_ROLE_EXT));
    EXPECT_EQ(port.u.eth.autoneg, 1u) << "IFAUTO compares without case";
    EXPECT_EQ(port.u.eth.speed, 0u);
    EXPECT_EQ(port.u.eth.action, 1u) << "a line with trailing words is no assignment";
    EXPECT_EQ(plugin->security().ping, 2u);
    ASSERT_EQ(plugin->routes().size(), 1u) << "ROUTEADDR[20] lies outside the table";
    EXPECT_EQ(dotted(plugin->routes().front().rec.destination), "10.8.0.0");
    EXPECT_EQ(plugin->routes().front().rec.type, 1u);

    // Written back, the label stays one shell word with the same value.
    ASSERT_EQ(plugin->update_cfg_file(), KEEPER_OK);
    EXPECT_NE(rcConf().find("IFLABEL[0]=\"say \\\"hi\\\" for \\$5\"\n"), std::string::npos);
    std::string name, value;
    EXPECT_EQ(parseShellLine("X=\"a\\`b\\\\c\"'d e'f", name, value), 1);
    EXPECT_EQ(value, "a`b\\cd ef");
    EXPECT_EQ(parseShellLine(shellQuote("$(reboot) `x` \"q\" \\").insert(0, "Y="), name, value), 1);
    EXPECT_EQ(value, "$(reboot) `x` \"q\" \\");
    EXPECT_EQ(parseShellLine("X=\"open", name, value), -1);
    EXPECT_EQ(parseShellLine("X=a b", name, value), -1);
}

const char kOnePort[] =
    "IFNAME[0]=\"eth0\"\nIFTYPE[0]=\"int\"\nIFLABEL[0]=\"INTERNAL\"\nIFAUTO[0]=\"on\"\n"
    "IFSPEED[0]=\"auto\"\nIFDUPLX[0]=\"auto\"\nIFACTION[0]=\"off\"\n\n";
const char kSwitches[] = "TELNET=\"1\"\nPING=\"1\"\nTCPSEC=\"1\"\nSSH=\"1\"\n";

ConfigAll routeTo(const char* destination, uint32_t device) {
    ConfigAll all{};
    inet_pton(AF_INET, destination, &all.data.route.destination);
    inet_pton(AF_INET, "255.255.255.255", &all.data.route.mask);
    inet_pton(AF_INET, "10.0.0.1", &all.data.route.gateway);
    all.data.route.device = device;
    return all;
}

// The appliance's scripts source the file: every line the writer does not
// write itself comes back after its part, as it was, whatever is rewritten;
// the writer's own variables at any index are its alone.
TEST_F(ConfigStore, LinesTheWriterDoesNotWriteAreKeptByteForByte) {
    const std::string kept =
        "# the operator's note\n"
        "HTTP=\"0\"\n"
        "LCDCONF=1   # panel\n"
        "MYTOOL_OPTS='-a -b'\n"
        "export MYTOOL_OPTS\n"
        "DBSESS=\"0\"\r\n"
        "IFMTU[0]=9000\n"
        "#! /bin/sh\n"
        "BRSTP=1\n";
    auto plugin = load(std::string(kHeader) + "# the operator's note\nHTTP=\"0\"\n" +
                       "GATEWAY[0]=\"\"\nGATEWAY[1]=\"\"\n\n  \t\nLCDCONF=1   # panel\n" +
                       kOnePort + "MYTOOL_OPTS='-a -b'\nexport MYTOOL_OPTS\nDBSESS=\"0\"\r\n" +
                       "IFNAME[16]=\"eth9\"\nROUTEDEV[7]=\"eth0\"\nROUTEADDR[7]=\"10.7.0.0\"\n" +
                       "ROUTEMASK[7]=\"255.255.255.255\"\nROUTEGWAY[7]=\"10.0.0.1\"\n" +
                       "IFMTU[0]=9000\nTELNET=\"1\"\nIFSTATUS[0]=\"up\"\n#! /bin/sh\nBRSTP=1");
    const std::string owned =
        std::string(kHeader) + "GATEWAY[0]=\"\"\nGATEWAY[1]=\"\"\n" + kSwitches + kOnePort;
    const std::string route =
        "ROUTEDEV[0]=\"eth0\"\nROUTEADDR[0]=\"10.7.0.0\"\nROUTEMASK[0]=\"255.255.255.255\"\n"
        "ROUTEGWAY[0]=\"10.0.0.1\"\nROUTETYPE[0]=\"host\"\n";
    FakeDaemon daemon;
    daemon.serve(*plugin);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(plugin->ready());
        EXPECT_EQ(plugin->security().http, 2u) << round;
        EXPECT_EQ(plugin->security().lcdconf, 1u) << round;
        ASSERT_EQ(plugin->update_cfg_file(), KEEPER_OK);
        EXPECT_EQ(rcConf(), owned + route + kept) << round;
        plugin = loadExisting();
        daemon.serve(*plugin);
    }
    // A deleted route's lines do not come back, from the file or the model.
    ASSERT_EQ(daemon.change(*plugin, CONFIG_ROUTE_DEL, routeTo("10.7.0.0", 1)), KEEPER_OK);
    EXPECT_EQ(rcConf(), owned + kept);
    plugin = loadExisting();
    EXPECT_TRUE(plugin->routes().empty());
    ASSERT_EQ(plugin->update_cfg_file(), KEEPER_OK);
    EXPECT_EQ(rcConf(), owned + kept);
}

// A variant that writes variables of its own.
class ExtPlugin : public SWConfigPlugin {
public:
    using SWConfigPlugin::SWConfigPlugin;
    keeperStatus _update_conf_ext(FILE* out) override {
        fputs("# variant\nEXTRA[2]=\"new\"\n", out);
        return KEEPER_OK;
    }
};

TEST_F(ConfigStore, WhatAVariantWritesIsNotKeptBesideIt) {
    writeText(dir / "rc.conf", "# variant\nEXTRA[2]=\"old\"\nEXTRA=\"older\"\n# mine\n");
    for (int round = 0; round < 2; ++round) {
        ExtPlugin plugin((dir / "rc.conf").c_str(), dir.path().c_str());
        plugin.set_paths(paths);
        plugin.init(nullptr);
        ASSERT_EQ(plugin.update_cfg_file(), KEEPER_OK);
        EXPECT_EQ(rcConf(), std::string(kHeader) + "GATEWAY[0]=\"\"\nGATEWAY[1]=\"\"\n" +
                                kSwitches + "# variant\nEXTRA[2]=\"new\"\n# mine\n")
            << round;
    }
}

// The loader reads 20 routes: no request makes the file hold more.
TEST_F(ConfigStore, TwentyRoutesAtMost) {
    auto plugin = load(std::string(kHeader) + kOnePort);
    FakeDaemon daemon;
    daemon.serve(*plugin);
    auto address = [](int n) { return "10.0.0." + std::to_string(100 + n); };
    for (int n = 0; n < CFG_ROUTE_SLOTS; ++n)
        ASSERT_EQ(daemon.change(*plugin, CONFIG_ROUTE_ADD, routeTo(address(n).c_str(), 1)),
                  KEEPER_OK);
    const std::string full = rcConf();
    const size_t jobs = daemon.jobs.size();
    EXPECT_EQ(daemon.change(*plugin, CONFIG_ROUTE_ADD, routeTo("10.0.1.1", 1)), KEEPER_FAIL);
    EXPECT_EQ(daemon.jobs.size(), jobs) << "no route command for a refused addition";
    EXPECT_EQ(plugin->routes().size(), 20u);
    EXPECT_EQ(rcConf(), full);
    EXPECT_NE(full.find("ROUTEADDR[19]=\"10.0.0.100\""), std::string::npos) << "oldest last";

    auto again = loadExisting();
    EXPECT_EQ(again->routes().size(), 20u);
    const std::string written = rcConf();
    ASSERT_EQ(again->update_cfg_file(), KEEPER_OK);
    EXPECT_EQ(rcConf(), written);
}

// A file the model cannot hold whole: what fits is loaded, and each entry
// left out gets one trace line, however many variables it has.
TEST_F(ConfigStore, EntriesThatDoNotFitAreLeftOutWithOneTraceLineEach) {
    ASSERT_EQ(mkdir((dir / "conf").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "log").c_str(), 0755), 0);
    writeText(dir / "conf/qoevdbg.conf", "[cfgstore]\n");
    ASSERT_TRUE(EvDebug::setConfPath("cfgstore", dir.path().c_str()));
    std::string file;
    for (int i = 0; i < CFG_IF_SLOTS; ++i) {
        const std::string n = std::to_string(i);
        file += "IFNAME[" + n + "]=eth" + n + "\nIPDEV[" + n + "]=eth" + n + "\n";
    }
    file += "LINK[0]=eth0\nLINKTYPE[0]=br\nLINK[3]=eth1\n";
    file += "IFNAME[16]=eth16\nIFTYPE[16]=int\nIPDEV[17]=eth0\nVLAN[17]=5\nLINK[16]=eth1\n";
    file += "ROUTEADDR[20]=10.9.0.0\nROUTEDEV[20]=eth0\nROUTEDEV[0]=link0\nROUTEADDR[0]=10.8.0.0\n";
    auto plugin = load(file);
    ASSERT_TRUE(plugin->ready());
    EXPECT_EQ(plugin->if_count(), 32u);
    EXPECT_STREQ(plugin->if_entry(31).name, "ip15");
    ASSERT_EQ(plugin->routes().size(), 1u);
    EXPECT_EQ(plugin->routes().front().rec.device, 0u) << "link0 did not fit";

    std::vector<std::string> leftOut;
    for (const std::string& line : readLines(dir / "log/evdbg.cfgstore.log"))
        if (line.find("left out") != std::string::npos)
            leftOut.push_back(line.substr(line.find(": ") + 2));
    EXPECT_EQ(leftOut, (std::vector<std::string>{
                           "SWConfigPlugin::_parse_cfg_file, port 16 left out: index beyond 15",
                           "SWConfigPlugin::_parse_cfg_file, ip17 left out: index beyond 15",
                           "SWConfigPlugin::_parse_cfg_file, link16 left out: index beyond 15",
                           "SWConfigPlugin::_parse_cfg_file, route 20 left out: index beyond 19",
                           "SWConfigPlugin::_create_if_config, link0 left out: the table holds 32",
                           "SWConfigPlugin::_create_if_config, link3 left out: the table holds 32",
                       }));
}

// IP interfaces and link groups are named after their index in the file,
// gaps included, and written back under it: what names them (a route's
// device, a clone's source) names the same entry at every load.
TEST_F(ConfigStore, GapsInTheIndexesKeepEveryReferenceAcrossLoadsAndRewrites) {
    writeText(dir / "rc.conf", std::string(kHeader) + kOnePort +
                                   "IPDEV[1]=\"eth0\"\nIPADDR[1]=\"10.0.0.2\"\n"
                                   "NETMASK[1]=\"255.255.255.0\"\n"
                                   "LINK[2]=\"eth0\"\nLINKTYPE[2]=\"clone\"\nLINKSRC[2]=\"ip1\"\n"
                                   "ROUTEDEV[0]=\"ip1\"\nROUTEADDR[0]=\"10.5.0.0\"\n"
                                   "ROUTEDEV[1]=\"link2\"\nROUTEADDR[1]=\"10.6.0.0\"\n");
    std::string first;
    for (int round = 0; round < 3; ++round) {
        auto plugin = loadExisting();
        ASSERT_EQ(plugin->if_count(), 3u) << round;
        EXPECT_STREQ(plugin->if_entry(1).name, "ip1") << round;
        EXPECT_STREQ(plugin->if_entry(2).name, "link2") << round;
        EXPECT_EQ(plugin->if_entry(2).u.group.sourceId, 2u) << round;
        ASSERT_EQ(plugin->routes().size(), 2u) << round;
        EXPECT_EQ(plugin->routes().front().rec.device, 2u) << round;
        EXPECT_EQ(plugin->routes().back().rec.device, 3u) << round;
        ASSERT_EQ(plugin->update_cfg_file(), KEEPER_OK);
        if (round == 0) first = rcConf();
        EXPECT_EQ(rcConf(), first) << round;
    }
    for (const char* line : {"IPDEV[1]=\"eth0\"\n", "LINK[2]=\"eth0\"\n", "LINKSRC[2]=\"ip1\"\n",
                             "ROUTEDEV[0]=\"ip1\"\n", "ROUTEDEV[1]=\"link2\"\n"})
        EXPECT_NE(first.find(line), std::string::npos) << line << first;
}

TEST_F(ConfigStore, UnreadableFileLeavesThePluginNotReady) {
    ASSERT_EQ(mkdir((dir / "rc.conf").c_str(), 0755), 0);
    auto plugin = loadExisting();
    EXPECT_FALSE(plugin->ready());
    GeneralMsg msg(KEEPER_GET_CONFIG);
    msg.payload.config.cmd = CONFIG_HOST;
    EXPECT_EQ(plugin->handleRequest(msg), KEEPER_FAIL);
}

TEST_F(ConfigStore, ServiceFilesAreLoadedIntoTheModel) {
    writeText(paths.hostname, "box.example.org\n");
    writeText(paths.resolv,
              "domain example.org\nnameserver 10.0.0.53\nnameserver dns.example.org\n");
    writeText(paths.ntp,
              "server 127.127.1.0\nfudge  127.127.1.0 stratum 14\nserver 10.0.0.123 iburst\n"
              "restrict 10.0.0.123 noquery nomodify notrap nopeer\n");
    writeText(paths.hostsAllow,
              "sshd: 1.2.3.4\nALL: localhost 10.1.1.1 admin.example.org 10.2.0.0/16\n");
    auto plugin = load("");
    ASSERT_TRUE(plugin->ready());
    EXPECT_STREQ(plugin->host().hostName, "box");
    EXPECT_STREQ(plugin->host().domainName, "example.org");

    ASSERT_EQ(plugin->servers().size(), 3u);
    auto server = plugin->servers().begin();
    EXPECT_EQ(server->rec.data.srv.type, 1u);
    EXPECT_EQ(server->rec.data.srv.order, 1u);
    EXPECT_EQ(server->rec.action, 22u);
    EXPECT_EQ(dotted(server->rec.data.srv.u.address), "10.0.0.53");
    ++server;
    EXPECT_EQ(server->rec.data.srv.byName, 1u);
    EXPECT_STREQ(server->rec.data.srv.u.name, "dns.example.org");
    ++server;
    EXPECT_EQ(server->rec.data.srv.type, 6u);
    EXPECT_EQ(server->rec.data.srv.order, 1u);
    EXPECT_EQ(server->rec.action, 21u);
    EXPECT_EQ(dotted(server->rec.data.srv.u.address), "10.0.0.123");

    ASSERT_EQ(plugin->acl().size(), 3u);
    auto acl = plugin->acl().begin();
    EXPECT_EQ(acl->rec.byName, 0u);
    EXPECT_EQ(dotted(acl->rec.u.address), "10.1.1.1");
    EXPECT_STREQ((++acl)->rec.u.name, "admin.example.org");
    EXPECT_STREQ((++acl)->rec.u.name, "10.2.0.0/16") << "kept as written";
}

TEST_F(ConfigStore, LoginProfileKeepsOneTimeoutAsItsLastLine) {
    writeText(paths.adminProfile, "export PATH=/bin\nTMOUT=300\nalias ll='ls -l'\nTMOUT=600\n");
    std::unique_ptr<STCConfigPluginX> plugin = profilePlugin();
    EXPECT_EQ(plugin->security().shellTimeout, 300u) << "the first TMOUT= line counts";

    setTimeout(*plugin, 900);
    EXPECT_EQ(readText(paths.adminProfile), "export PATH=/bin\nalias ll='ls -l'\nTMOUT=900\n");
    EXPECT_EQ(readText(paths.adminProfile + ".old"),
              "export PATH=/bin\nTMOUT=300\nalias ll='ls -l'\nTMOUT=600\n");

    unlink(paths.adminProfile.c_str());
    setTimeout(*plugin, 60);
    EXPECT_EQ(readText(paths.adminProfile), "TMOUT=60\n");
}

// The profile belongs to the administrator, not to the daemon that rewrites
// it as root: both it and its backup stay the administrator's.
TEST_F(ConfigStore, LoginProfileAndItsBackupKeepTheOwnerAndMode) {
    writeText(paths.adminProfile, "TMOUT=300\n");
    ASSERT_EQ(chown(paths.adminProfile.c_str(), 1000, 1000), 0);
    ASSERT_EQ(chmod(paths.adminProfile.c_str(), 0600), 0);
    setTimeout(*profilePlugin(), 900);
    for (const std::string& path : {paths.adminProfile, paths.adminProfile + ".old"}) {
        struct stat st = {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_uid, 1000u) << path;
        EXPECT_EQ(st.st_gid, 1000u) << path;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
    }
    EXPECT_EQ(readText(paths.adminProfile + ".old"), "TMOUT=300\n");
}

// A link put in place of the profile leads the daemon nowhere: neither the
// file it names nor the link is rewritten, and the change is refused whole.
TEST_F(ConfigStore, LoginProfileThatIsALinkIsRefused) {
    writeText(dir / "elsewhere", "TMOUT=300\n");
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), paths.adminProfile.c_str()), 0);
    writeText(dir / "rc.conf", "as loaded\n");
    std::unique_ptr<STCConfigPluginX> plugin = profilePlugin();
    ConfigSecurity change;
    memset(&change, 0xFF, sizeof change);
    change.shellTimeout = 900;
    change.ssh = 2;
    int mask = 0;
    const ConfigSecurity before = plugin->security();
    EXPECT_EQ(plugin->set_security(&change, mask), KEEPER_FAIL);
    EXPECT_EQ(memcmp(&plugin->security(), &before, sizeof before), 0);
    EXPECT_EQ(rcConf(), "as loaded\n");
    EXPECT_EQ(readText(dir / "elsewhere"), "TMOUT=300\n");
    struct stat st = {};
    ASSERT_EQ(lstat(paths.adminProfile.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(access((paths.adminProfile + ".old").c_str(), F_OK), 0);
}

}  // namespace
