// Configuration requests against the real daemon: the appliance's files in
// the test namespace's private /etc and /opt are loaded at start-up, read
// back over the wire, changed by setters that rewrite them and run the
// (recorded) rc scripts, and every change reaches a subscribed program as an
// event.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "tests/e2e/config_fixture.h"

namespace e2e {
namespace {

ConfigAll security(uint32_t telnet, uint32_t ping, uint32_t tcpsec, uint32_t timeout,
                   uint32_t ssh) {
    ConfigAll all{};
    all.data.sec = ConfigSecurity{kAllOnes, telnet, ping, kAllOnes, tcpsec, timeout, ssh};
    return all;
}

TEST_F(E2eConfig, LoadedFileIsReadBackAndRewrittenWithOnlyTheChangedValue) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    // Interfaces, walked by cursor.
    ConfigAll all{};
    std::vector<std::string> names;
    for (int guard = 0; guard < 10; ++guard) {
        ASSERT_EQ(get(CONFIG_IF, all), KEEPER_OK);
        if (all.cursor == 0) break;
        names.push_back(wireText(all.data.netIf.name));
        EXPECT_EQ(all.cursor, all.data.netIf.id);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"eth0", "eth1", "ip0"}));
    all = ConfigAll{};
    all.cursor = 2;
    ASSERT_EQ(get(CONFIG_IF, all), KEEPER_OK);
    EXPECT_EQ(all.data.netIf.kind, 132u);
    EXPECT_EQ(all.data.netIf.u.ip.address, ip("10.0.0.2"));
    EXPECT_EQ(all.data.netIf.u.ip.memberCount, 1u);
    all.cursor = 77;
    ASSERT_EQ(get(CONFIG_IF, all), KEEPER_OK);
    EXPECT_EQ(all.cursor, 0u) << "a cursor naming no interface ends the walk";

    // Routes in file order, pairs, gateways, host, version.
    all = ConfigAll{};
    ASSERT_EQ(get(CONFIG_ROUTE_GET, all), KEEPER_OK);
    EXPECT_EQ(all.data.route.destination, ip("10.1.0.0"));
    EXPECT_EQ(all.data.route.type, 1u);
    EXPECT_EQ(all.data.route.device, 2u);
    ASSERT_EQ(get(CONFIG_ROUTE_GET, all), KEEPER_OK);
    EXPECT_EQ(all.data.route.destination, ip("10.2.0.7"));
    ASSERT_EQ(get(CONFIG_ROUTE_GET, all), KEEPER_OK);
    EXPECT_EQ(all.cursor, 0u);
    all = ConfigAll{};
    all.cursor = 12345;
    ASSERT_EQ(get(CONFIG_ROUTE_GET, all), KEEPER_OK);
    EXPECT_EQ(all.cursor, 0u);
    all = ConfigAll{};
    unsigned pairs = 0;
    do {
        ASSERT_EQ(get(CONFIG_IFPAIR, all), KEEPER_OK);
        if (all.cursor) ++pairs;
    } while (all.cursor && pairs < 10);
    EXPECT_EQ(pairs, 4u) << "(0,1) (0,2) (3,0) (1,3)";
    ASSERT_EQ(get(CONFIG_OOB_GATEWAY, all), KEEPER_OK);
    EXPECT_EQ(all.data.word[0], ip("10.0.0.1"));
    ASSERT_EQ(get(CONFIG_INB_GATEWAY, all), KEEPER_OK);
    EXPECT_EQ(all.data.word[0], 0u);
    ASSERT_EQ(get(CONFIG_HOST, all), KEEPER_OK);
    EXPECT_EQ(wireText(all.data.host.hostName), "vardo");
    EXPECT_EQ(wireText(all.data.host.domainName), "test.lan");
    ASSERT_EQ(get(CONFIG_VERSION, all), KEEPER_OK);
    EXPECT_EQ(wireText(all.data.ver.swVersion), "Version 7.1.2 build 44");
    ASSERT_EQ(get(CONFIG_HWSTATUS, all), KEEPER_OK);
    EXPECT_EQ(all.data.hw.word5, 1);
    ASSERT_EQ(get(CONFIG_SECURITY, all), KEEPER_OK);
    EXPECT_EQ(all.data.sec.shellTimeout, 300u) << "read from the login profile";

    // One switch changed: one line of the file differs.
    ConfigAll change = security(2, kAllOnes, kAllOnes, kAllOnes, kAllOnes);
    ASSERT_EQ(set(CONFIG_SECURITY, change), KEEPER_OK);
    std::string expected = kRcFile;
    expected.replace(expected.find("TELNET=\"1\""), 10, "TELNET=\"0\"");
    EXPECT_EQ(readText(kRcConf), expected);
    Event event;
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_SECURITY, 1, &event));
    EXPECT_EQ(event.data.data.sec.telnet, 2u);
    EXPECT_TRUE(waitCommand("/etc/rc.d/rc.inetd stop"));
}

TEST_F(E2eConfig, SecuritySwitchesRunTheirScriptsAndTheProfileKeepsOneTimeout) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll same = security(1, 1, 1, 300, 1);
    EXPECT_EQ(set(CONFIG_SECURITY, same), KEEPER_NO_CHANGE);
    ConfigAll bad = security(3, kAllOnes, kAllOnes, kAllOnes, kAllOnes);
    EXPECT_EQ(set(CONFIG_SECURITY, bad), KEEPER_FAIL);

    ConfigAll change = security(kAllOnes, 2, kAllOnes, 900, 2);
    ASSERT_EQ(set(CONFIG_SECURITY, change), KEEPER_OK);
    // The refused and unchanged requests published nothing before this one.
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_SECURITY, 4 | 32 | 128));
    EXPECT_TRUE(waitCommand("/etc/rc.d/rc.security "));
    EXPECT_TRUE(waitCommand("/etc/rc.d/rc.sshd stop"));
    EXPECT_EQ(readText(kProfile), "export PATH=/bin\nexport TMOUT\nTMOUT=900\n");
    const std::string file = readText(kRcConf);
    EXPECT_NE(file.find("PING=\"0\"\nTCPSEC=\"1\"\nSSH=\"0\"\n"), std::string::npos) << file;
    EXPECT_EQ(commandsLog().find("rc.inetd"), std::string::npos);
}

TEST_F(E2eConfig, AScriptThatRunsLongHoldsNeitherItsRequestNorAnotherConnection) {
    ASSERT_NO_FATAL_FAILURE(standIn("/etc/rc.d/rc.security", "sleep 10"));
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll change = security(kAllOnes, 2, kAllOnes, kAllOnes, kAllOnes);
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_EQ(set(CONFIG_SECURITY, change), KEEPER_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
    ASSERT_TRUE(waitCommand("/etc/rc.d/rc.security "));
    const auto listed = std::chrono::steady_clock::now();
    EXPECT_NE(psListing().find("watcher"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - listed, std::chrono::milliseconds(100));
}

TEST_F(E2eConfig, TenTimeServerAdditionsRestartTheTimeDaemonTwice) {
    // Longer than the ten requests take: they all arrive while the first
    // restart runs, and only the last of them waits for a second one.
    ASSERT_NO_FATAL_FAILURE(standIn("/etc/rc.d/rc.ntp", "sleep 1"));
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    for (uint32_t order = 1; order <= 10; ++order) {
        ConfigAll add{};
        add.data.srv.type = 6;
        add.data.srv.order = order;
        add.data.srv.u.address = ip(("10.0.6." + std::to_string(order)).c_str());
        ASSERT_EQ(set(CONFIG_SRV_ADD, add), KEEPER_OK);
    }
    auto restarts = [&] {
        const std::string log = commandsLog();
        size_t count = 0;
        for (size_t at = log.find("rc.ntp restart"); at != std::string::npos;
             at = log.find("rc.ntp restart", at + 1))
            ++count;
        return count;
    };
    EXPECT_TRUE(waitFor([&] { return restarts() == 2; }, 5000)) << commandsLog();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(restarts(), 2u) << commandsLog();
    EXPECT_NE(readText("/etc/ntp.conf").find("server 10.0.6.10\n"), std::string::npos);
}

TEST_F(E2eConfig, HostNameIsWrittenAndSetWithoutAShell) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll bad{};
    strcpy(bad.data.host.hostName, "x;touch /tmp/owned");
    strcpy(bad.data.host.domainName, "test.lan");
    EXPECT_EQ(set(CONFIG_HOST, bad), KEEPER_FAIL);
    strcpy(bad.data.host.hostName, "-n");
    EXPECT_EQ(set(CONFIG_HOST, bad), KEEPER_FAIL);
    EXPECT_EQ(readText("/etc/HOSTNAME"), "vardo.test.lan\n");
    ConfigAll same{};
    strcpy(same.data.host.hostName, "vardo");
    strcpy(same.data.host.domainName, "test.lan");
    EXPECT_EQ(set(CONFIG_HOST, same), KEEPER_NO_CHANGE);

    ConfigAll host{};
    strcpy(host.data.host.hostName, "box-2");
    strcpy(host.data.host.domainName, "example.org");
    ASSERT_EQ(set(CONFIG_HOST, host), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_HOST, 3));
    EXPECT_EQ(readText("/etc/HOSTNAME"), "box-2.example.org\n");
    EXPECT_EQ(readText("/etc/hosts"),
              "127.0.0.1       localhost\n10.0.0.2\tbox-2.example.org box-2\n");
    EXPECT_EQ(readText("/etc/resolv.conf"), "domain example.org\nnameserver 10.0.0.53\n");
    char name[64] = {};
    gethostname(name, sizeof name);
    EXPECT_STREQ(name, "box-2");

    strcpy(host.data.host.hostName, "box-3");
    writeText("/etc/resolv.conf", "untouched\n");
    ASSERT_EQ(set(CONFIG_HOST, host), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_HOST, 1));
    EXPECT_EQ(readText("/etc/resolv.conf"), "untouched\n") << "the domain did not change";
}

TEST_F(E2eConfig, ServersAreOneListSortedByTypeAndOrder) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    auto server = [](uint32_t type, uint32_t order, const char* address) {
        ConfigAll all{};
        all.data.srv.type = type;
        all.data.srv.order = order;
        all.data.srv.u.address = ip(address);
        return all;
    };
    for (uint32_t order : {5u, 1u, 3u}) {
        ConfigAll add = server(6, order, ("10.0.6." + std::to_string(order)).c_str());
        ASSERT_EQ(set(CONFIG_SRV_ADD, add), KEEPER_OK);
        EXPECT_EQ(add.action, 1u);
        Event event;
        ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_SERVER, 32, &event));
        EXPECT_EQ(event.data.data.srv.order, order);
    }
    ConfigAll twice = server(6, 3, "10.9.9.9");
    EXPECT_EQ(set(CONFIG_SRV_ADD, twice), KEEPER_FAIL);
    ConfigAll byName{};
    byName.data.srv = ConfigSrv{1, 1, 2, {}};
    strcpy(byName.data.srv.u.name, "ns2.example.org");
    ASSERT_EQ(set(CONFIG_SRV_ADD, byName), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_SERVER, 16));
    strcpy(byName.data.srv.u.name, "ns3\nserver evil");
    byName.data.srv.order = 3;
    EXPECT_EQ(set(CONFIG_SRV_ADD, byName), KEEPER_FAIL);

    EXPECT_EQ(readText("/etc/ntp.conf"),
              "server 127.127.1.0\nfudge  127.127.1.0 stratum 14\ndriftfile /etc/ntp/drift\n"
              "restrict default ignore\nrestrict 127.0.0.1\ndisable monitor stats\n"
              "server 10.0.6.1\nserver 10.0.6.3\nserver 10.0.6.5\n"
              "restrict 10.0.6.1 noquery nomodify notrap nopeer\n"
              "restrict 10.0.6.3 noquery nomodify notrap nopeer\n"
              "restrict 10.0.6.5 noquery nomodify notrap nopeer\n");
    EXPECT_EQ(readText("/etc/resolv.conf"),
              "domain test.lan\nnameserver 10.0.0.53\nnameserver ns2.example.org\n");
    EXPECT_TRUE(waitCommand("/etc/rc.d/rc.ntp restart"));

    // One walk over all types: the loaded name server first.
    std::vector<std::pair<uint32_t, uint32_t>> listed;
    ConfigAll walk{};
    for (int guard = 0; guard < 10; ++guard) {
        ASSERT_EQ(get(CONFIG_SRV_GET, walk), KEEPER_OK);
        if (walk.cursor == 0) break;
        EXPECT_EQ(walk.action, 22u);
        listed.emplace_back(walk.data.srv.type, walk.data.srv.order);
    }
    EXPECT_EQ(listed,
              (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}, {1, 2}, {6, 1}, {6, 3}, {6, 5}}));

    ConfigAll del = server(6, 3, "0.0.0.0");
    ASSERT_EQ(set(CONFIG_SRV_DEL, del), KEEPER_OK);
    EXPECT_EQ(del.action, 6u);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_SERVER, 32));
    EXPECT_EQ(readText("/etc/ntp.conf").find("10.0.6.3"), std::string::npos);
    EXPECT_EQ(set(CONFIG_SRV_DEL, del), KEEPER_NO_CHANGE);
}

TEST_F(E2eConfig, AccessListRewritesHostsAllowAndHostsDeny) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll acl{};
    acl.data.acl.u.address = ip("10.5.5.5");
    ASSERT_EQ(set(CONFIG_ACL_ADD, acl), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_ACL, 0));
    EXPECT_EQ(set(CONFIG_ACL_ADD, acl), KEEPER_NO_CHANGE);
    ConfigAll named{};
    named.data.acl.byName = 1;
    strcpy(named.data.acl.u.name, "admin.example.org");
    ASSERT_EQ(set(CONFIG_ACL_ADD, named), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_ACL, 0));
    EXPECT_EQ(readText("/etc/hosts.allow"),
              "sshd: ALL\nALL: localhost admin.example.org 10.5.5.5\n# End of hosts.allow.\n");
    EXPECT_EQ(readText("/etc/hosts.deny"), "ALL: ALL\n");

    ConfigAll walk{};
    ASSERT_EQ(get(CONFIG_ACL_GET, walk), KEEPER_OK);
    EXPECT_EQ(wireText(walk.data.acl.u.name), "admin.example.org") << "newest first";
    ASSERT_EQ(get(CONFIG_ACL_GET, walk), KEEPER_OK);
    EXPECT_EQ(walk.data.acl.u.address, ip("10.5.5.5"));
    ASSERT_EQ(get(CONFIG_ACL_GET, walk), KEEPER_OK);
    EXPECT_EQ(walk.cursor, 0u);

    // Without an ALL line the list goes just before the end marker.
    writeText("/etc/hosts.allow", "sshd: ALL\n# End of hosts.allow.\n");
    EXPECT_EQ(set(CONFIG_ACL_DEL, named), KEEPER_NO_CHANGE) << "names are never matched";
    ASSERT_EQ(set(CONFIG_ACL_DEL, acl), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_ACL, 0));
    EXPECT_EQ(readText("/etc/hosts.allow"),
              "sshd: ALL\nALL: localhost admin.example.org\n# End of hosts.allow.\n");
    EXPECT_EQ(set(CONFIG_ACL_DEL, acl), KEEPER_NO_CHANGE);
}

TEST_F(E2eConfig, AccessListTakesEachHostOnceAndAHundredAtMost) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll named{};
    named.data.acl.byName = 1;
    strcpy(named.data.acl.u.name, "Admin.example.org");
    ASSERT_EQ(set(CONFIG_ACL_ADD, named), KEEPER_OK);
    strcpy(named.data.acl.u.name, "admin.EXAMPLE.org");
    EXPECT_EQ(set(CONFIG_ACL_ADD, named), KEEPER_NO_CHANGE);
    EXPECT_EQ(readText("/etc/hosts.allow"),
              "sshd: ALL\nALL: localhost Admin.example.org\n# End of hosts.allow.\n");
    for (int n = 1; n < 100; ++n) {
        ConfigAll acl{};
        acl.data.acl.u.address = ip(("10.6.0." + std::to_string(n)).c_str());
        ASSERT_EQ(set(CONFIG_ACL_ADD, acl), KEEPER_OK) << n;
    }
    const std::string full = readText("/etc/hosts.allow");
    ConfigAll extra{};
    extra.data.acl.u.address = ip("10.7.0.1");
    EXPECT_EQ(set(CONFIG_ACL_ADD, extra), KEEPER_FAIL);
    EXPECT_EQ(readText("/etc/hosts.allow"), full);
}

TEST_F(E2eConfig, ZoneIsComparedWholeAndALinkThatCannotBeMadeSetsNothing) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll zone{};
    strcpy(zone.data.time.timeZone, "Etc/GMT+10");
    ASSERT_EQ(set(CONFIG_TIME, zone), KEEPER_OK);
    strcpy(zone.data.time.timeZone, "Etc/GMT+1");
    ASSERT_EQ(set(CONFIG_TIME, zone), KEEPER_OK);
    char target[256] = {};
    ASSERT_GT(readlink("/etc/localtime", target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/usr/share/zoneinfo/Etc/GMT+1");

    // A folder where the link goes: no link can replace it.
    ASSERT_EQ(unlink("/etc/localtime"), 0);
    ASSERT_EQ(mkdir("/etc/localtime", 0755), 0);
    zone.data.time.time = 1700000000;
    EXPECT_EQ(set(CONFIG_TIME, zone), KEEPER_FAIL);
    EXPECT_EQ(clockLog(), "") << "nor the clock";
    rmdir("/etc/localtime");
}

TEST_F(E2eConfig, TimeAndZoneAreSetAndBadZonesRefused) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll all{};
    ASSERT_EQ(get(CONFIG_TIME, all), KEEPER_OK);
    EXPECT_EQ(wireText(all.data.time.timeZone), "Etc/UTC");

    for (const char* bad : {"../../../etc/passwd", "/etc/passwd", "No/Such_Zone", "Europe"}) {
        ConfigAll zone{};
        zone.data.time.time = 1700000000;
        strcpy(zone.data.time.timeZone, bad);
        EXPECT_EQ(set(CONFIG_TIME, zone), KEEPER_FAIL) << bad;
    }
    char target[256] = {};
    ASSERT_GT(readlink("/etc/localtime", target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/usr/share/zoneinfo/Etc/UTC") << "the old link stays";
    EXPECT_EQ(clockLog(), "") << "a refused request sets no clock";

    ConfigAll clock{};
    clock.data.time.time = 1700000000;
    ASSERT_EQ(set(CONFIG_TIME, clock), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_TIME, 1));
    EXPECT_EQ(clockLog(), "settimeofday 1700000000\n");

    ConfigAll zone{};
    strcpy(zone.data.time.timeZone, "Europe/Paris");
    ASSERT_EQ(set(CONFIG_TIME, zone), KEEPER_OK);
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_TIME, 2));
    memset(target, 0, sizeof target);
    ASSERT_GT(readlink("/etc/localtime", target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/usr/share/zoneinfo/Europe/Paris");
    EXPECT_EQ(set(CONFIG_TIME, zone), KEEPER_NO_CHANGE);
    ASSERT_EQ(get(CONFIG_TIME, all), KEEPER_OK);
    EXPECT_EQ(wireText(all.data.time.timeZone), "Europe/Paris");

    unlink("/etc/localtime");
    writeText("/etc/localtime", "TZif");
    ASSERT_EQ(get(CONFIG_TIME, all), KEEPER_OK);
    EXPECT_EQ(wireText(all.data.time.timeZone), "UTC");
}

TEST_F(E2eConfig, DispatchRefusesUnknownCommandsAndPublishesVersionAndNotDeviceMode) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    for (uint32_t cmd : {21u, 22u, 27u, 200u, 2u, 6u, 17u}) EXPECT_EQ(set(cmd), KEEPER_FAIL) << cmd;
    ConfigAll all{};
    EXPECT_EQ(get(CONFIG_BRIDGE, all), KEEPER_FAIL);
    EXPECT_EQ(get(CONFIG_SRV_ADD, all), KEEPER_FAIL);

    // The device mode is answered, but announced to nobody.
    ConfigAll mode{};
    strcpy(reinterpret_cast<char*>(mode.data.raw), "active");
    EXPECT_EQ(set(CONFIG_DEV_MODE, mode), KEEPER_OK);
    ConfigAll read{};
    ASSERT_EQ(get(CONFIG_DEV_MODE, read), KEEPER_OK);
    EXPECT_EQ(wireText(reinterpret_cast<const char(&)[256]>(read.data.raw)), "active");

    ConfigAll version{};
    version.data.ver.serial = 77;
    strcpy(version.data.ver.swVersion, "sent by a client");
    ASSERT_EQ(set(CONFIG_VERSION, version), KEEPER_OK);
    Event event;
    ASSERT_NO_FATAL_FAILURE(expectEvent(EVENT_GRP_VERSION, 0, &event));
    EXPECT_EQ(event.data.data.ver.serial, 77u);
    ASSERT_EQ(get(CONFIG_VERSION, read), KEEPER_OK);
    EXPECT_EQ(wireText(read.data.ver.swVersion), "Version 7.1.2 build 44") << "unchanged";
}

// The file as the appliance's own scripts also use it: variables the daemon
// does not write and a comment, an IP interface under index 1 only that a
// route names, and 19 routes. Four starts, each with a rewrite.
TEST_F(E2eConfig, RcConfKeepsOtherLinesTwentyRoutesAndTheRoutesDevicesAcrossRestarts) {
    const std::vector<std::string> others = {"# site settings: keep", "HTTP=\"0\"",
                                             "LCDCONF=1  # panel on", "SITE_ID='north 7'"};
    std::string routes =
        "ROUTEDEV[0]=\"ip1\"\nROUTEADDR[0]=\"10.5.0.0\"\nROUTEMASK[0]=\"255.255.0.0\"\n"
        "ROUTEGWAY[0]=\"10.0.0.1\"\nROUTETYPE[0]=\"net\"\n";
    for (int n = 1; n < 19; ++n)
        routes += "ROUTEDEV[" + std::to_string(n) + "]=\"eth0\"\nROUTEADDR[" + std::to_string(n) +
                  "]=\"10.6.0." + std::to_string(n) + "\"\n";
    writeText(kRcConf,
              kHeader + others[0] + "\n" + others[1] + "\nGATEWAY[0]=\"\"\n" +
                  "IFNAME[0]=\"eth0\"\nIFTYPE[0]=\"int\"\n" + others[2] + "\n" +
                  "IPDEV[1]=\"eth0\"\nIPADDR[1]=\"10.0.0.2\"\nNETMASK[1]=\"255.255.255.0\"\n" +
                  others[3] + "\n" + routes);
    writeIni(general());
    for (int start = 0; start < 4; ++start) {
        if (start > 0) {
            client.close();
            ASSERT_TRUE(exitedWith(stopVardo(), 0));
        }
        startVardo();
        ASSERT_TRUE(client.connect(port())) << start;
        ConfigAll all{};
        ASSERT_EQ(get(CONFIG_SECURITY, all), KEEPER_OK);
        EXPECT_EQ(all.data.sec.http, 2u) << start;
        EXPECT_EQ(all.data.sec.lcdconf, 1u) << start;
        all = ConfigAll{};
        all.cursor = 1;
        ASSERT_EQ(get(CONFIG_IF, all), KEEPER_OK);
        EXPECT_EQ(wireText(all.data.netIf.name), "ip1") << start;
        uint32_t device = 0;
        all = ConfigAll{};
        for (int guard = 0; guard < 25 && get(CONFIG_ROUTE_GET, all) == KEEPER_OK && all.cursor;
             ++guard)
            if (all.data.route.destination == ip("10.5.0.0")) device = all.data.route.device;
        EXPECT_EQ(device, 2u) << "ip1 after eth0, at start " << start;

        if (start == 0) {
            ConfigAll route{};
            route.data.route = ConfigRoute{0, ip("10.7.0.1"), kAllOnes, ip("10.0.0.1"), 1};
            ASSERT_EQ(set(CONFIG_ROUTE_ADD, route), KEEPER_OK);
            const std::string twenty = readText(kRcConf);
            route.data.route.destination = ip("10.7.0.2");
            EXPECT_EQ(set(CONFIG_ROUTE_ADD, route), KEEPER_FAIL) << "the 21st";
            EXPECT_EQ(readText(kRcConf), twenty);
        } else {
            ConfigAll change = security(start % 2 ? 2 : 1, kAllOnes, kAllOnes, kAllOnes, kAllOnes);
            ASSERT_EQ(set(CONFIG_SECURITY, change), KEEPER_OK) << start;
        }
        const std::string file = readText(kRcConf);
        for (const std::string& line : others)
            EXPECT_NE(file.find("\n" + line + "\n"), std::string::npos) << line << "\n" << file;
        EXPECT_NE(file.find("IPDEV[1]=\"eth0\"\n"), std::string::npos) << file;
        // The 20th route came first: the one on ip1 is second from then on.
        EXPECT_NE(file.find("ROUTEDEV[1]=\"ip1\"\nROUTEADDR[1]=\"10.5.0.0\"\n"), std::string::npos)
            << file;
        EXPECT_EQ(file.find("ROUTEADDR[20]"), std::string::npos) << file;
    }
}

TEST_F(E2eConfig, UnreadableConfigurationRefusesEveryRequest) {
    unlink(kRcConf);
    ASSERT_EQ(mkdir(kRcConf, 0755), 0);
    writeIni(general());
    startVardo();
    ASSERT_TRUE(client.connect(port()));
    ConfigAll all{};
    EXPECT_EQ(get(CONFIG_HOST, all), KEEPER_FAIL);
    ConfigAll host{};
    strcpy(host.data.host.hostName, "box");
    EXPECT_EQ(set(CONFIG_HOST, host), KEEPER_FAIL);
    EXPECT_EQ(readText("/etc/HOSTNAME"), "vardo.test.lan\n");
}

TEST_F(E2eConfig, MissingConfigurationStartsEmptyAndIsWrittenOnChange) {
    unlink(kRcConf);
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll all{};
    ASSERT_EQ(get(CONFIG_IF, all), KEEPER_OK);
    EXPECT_EQ(all.cursor, 0u);
    ASSERT_EQ(get(CONFIG_ROUTE_GET, all), KEEPER_OK);
    EXPECT_EQ(all.cursor, 0u);
    ConfigAll change = security(kAllOnes, 2, kAllOnes, kAllOnes, kAllOnes);
    ASSERT_EQ(set(CONFIG_SECURITY, change), KEEPER_OK);
    EXPECT_EQ(readText(kRcConf), kHeader + "GATEWAY[0]=\"\"\nGATEWAY[1]=\"\"\n" +
                                     "TELNET=\"1\"\nPING=\"0\"\nTCPSEC=\"1\"\nSSH=\"1\"\n");
}

// A device mode whose task starts disabled and whose check is off: choosing
// it switches the task on at once and writes the task's and the check's
// switches back, so that both take part from the next start on.
const char kDeviceModes[] =
    "[checks/c1]\nname = /bin/true\nimplement = App\nlevel = 1\nenabled = no\n\n"
    "[modes/tap]\nactive tasks = dpi\nactive checks = c1\n";

class E2eDeviceMode : public E2eConfig {
protected:
    void startWithModes() {
        writeIni(general() + psTask("base", 1, "--record ${REC}/base") +
                 psTask("dpi", 1, "--record ${REC}/dpi", "enabled = no\nmust = no\n") +
                 kDeviceModes);
        startVardo();
        ASSERT_TRUE(waitRecords("base", "start", 1));
        ASSERT_TRUE(client.connect(port()));
    }
    uint32_t choose(const char* name) {
        ConfigAll mode{};
        setWireText(reinterpret_cast<char(&)[256]>(mode.data.raw), name);
        return set(CONFIG_DEV_MODE, mode);
    }
    std::string chosen() {
        ConfigAll read{};
        if (get(CONFIG_DEV_MODE, read) != KEEPER_OK) return "<failed>";
        return wireText(reinterpret_cast<const char(&)[256]>(read.data.raw));
    }
};

TEST_F(E2eDeviceMode, ChosenOnceWrittenBackAndRefusedAgainAlsoAfterARestart) {
    ASSERT_NO_FATAL_FAILURE(startWithModes());
    EXPECT_EQ(chosen(), "");
    actionOnPs(0, "dpi");
    settle();
    EXPECT_TRUE(records("dpi").empty()) << "disabled until the mode is chosen";

    ASSERT_EQ(choose("tap"), KEEPER_OK);
    EXPECT_EQ(chosen(), "tap");
    EXPECT_EQ(confString("vardo.ini", "general:device mode"), "tap");
    EXPECT_EQ(confBool("vardo.ini", "tasks/dpi:enabled"), 1);
    EXPECT_EQ(confBool("vardo.ini", "tasks/dpi:must"), 1);
    EXPECT_EQ(confBool("vardo.ini", "checks/c1:enabled"), 1);
    actionOnPs(0, "dpi");
    EXPECT_TRUE(waitRecords("dpi", "start", 1)) << "switched on at once";

    EXPECT_EQ(choose("active"), KEEPER_FAIL);
    EXPECT_EQ(chosen(), "tap");
    EXPECT_EQ(confString("vardo.ini", "general:device mode"), "tap");

    client.close();
    ASSERT_TRUE(exitedWith(stopVardo(), 0));
    startVardo();
    EXPECT_TRUE(waitRecords("dpi", "start", 2)) << "enabled in the file: started at boot";
    ASSERT_TRUE(client.connect(port()));
    EXPECT_EQ(chosen(), "tap");
    EXPECT_EQ(choose("active"), KEEPER_FAIL);
    EXPECT_EQ(choose("tap"), KEEPER_FAIL);
    EXPECT_EQ(confString("vardo.ini", "general:device mode"), "tap");
}

TEST_F(E2eDeviceMode, ModeThatCannotBeWrittenStaysUnchosen) {
    ASSERT_NO_FATAL_FAILURE(startWithModes());
    const std::string conf = home() + "/conf";
    const std::string before = readConf();
    // The folder read-only: the write-back's temporary file cannot be made.
    ASSERT_EQ(mount(conf.c_str(), conf.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, conf.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(choose("tap"), KEEPER_FAIL);
    EXPECT_EQ(chosen(), "");
    actionOnPs(0, "dpi");
    settle();
    EXPECT_TRUE(records("dpi").empty()) << "nothing switched on";
    ASSERT_EQ(umount(conf.c_str()), 0);
    EXPECT_EQ(readConf(), before);

    EXPECT_EQ(choose(""), KEEPER_FAIL) << "an empty name chooses nothing";
    ASSERT_EQ(choose("tap"), KEEPER_OK) << "chosen again once the file takes it";
    EXPECT_EQ(chosen(), "tap");
    EXPECT_EQ(confString("vardo.ini", "general:device mode"), "tap");
}

}  // namespace
}  // namespace e2e
