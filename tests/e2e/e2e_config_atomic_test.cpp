// Configuration changes whose files cannot be written, against the real
// daemon: each is answered 2, reads back as before, leaves every file as it
// was and runs no script; and the files it does write keep their owner.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e/config_fixture.h"

namespace e2e {
namespace {

ConfigAll security(uint32_t ping, uint32_t timeout) {
    ConfigAll all{};
    all.data.sec = ConfigSecurity{kAllOnes, kAllOnes, ping, kAllOnes, kAllOnes, timeout, kAllOnes};
    return all;
}

struct stat statOf(const std::string& path) {
    struct stat st = {};
    lstat(path.c_str(), &st);
    return st;
}

class E2eConfigAtomic : public E2eConfig {
protected:
    // Nothing published, nothing run.
    void expectNothingHappened() {
        Event event;
        EXPECT_FALSE(nextEvent(event, 300)) << "published group " << event.group;
        EXPECT_EQ(commandsLog(), "");
    }
};

// /etc/rc.d on a small tmpfs, its scripts copied in, then filled up: the
// configuration file can still be opened, but no new content fits.
TEST_F(E2eConfigAtomic, FullConfigurationFolderRefusesEveryChangeAndRunsNothing) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    const std::string hosts = readText("/etc/hosts");
    ASSERT_EQ(system("keep=$(mktemp -d) && cp -a /etc/rc.d/. $keep && "
                     "mount -t tmpfs -o size=64k vardo-full /etc/rc.d && cp -a $keep/. /etc/rc.d"),
              0);
    (void)system("dd if=/dev/zero of=/etc/rc.d/fill bs=4k 2>/dev/null");

    ConfigAll change = security(2, kAllOnes);
    EXPECT_EQ(set(CONFIG_SECURITY, change), KEEPER_FAIL);
    ConfigAll gateway{};
    gateway.data.word[0] = ip("10.0.0.254");
    EXPECT_EQ(set(CONFIG_OOB_GATEWAY, gateway), KEEPER_FAIL);
    ConfigAll route{};
    route.data.route = ConfigRoute{1, ip("10.9.0.0"), ip("255.255.0.0"), ip("10.0.0.1"), 2};
    EXPECT_EQ(set(CONFIG_ROUTE_ADD, route), KEEPER_FAIL);
    // The hosts file lies elsewhere and could be written: it is not either.
    ConfigAll address{};
    ConfigNetIf& entry = address.data.netIf;
    entry.kind = NETIF_KIND_IP;
    entry.id = 3;
    strcpy(entry.name, "ip0");
    entry.u.ip = ConfigNetIfIp{};
    entry.u.ip.vlan = kAllOnes;
    entry.u.ip.address = ip("10.0.0.7");
    entry.u.ip.mask = ip("255.255.255.0");
    EXPECT_EQ(set(CONFIG_IF, address), KEEPER_FAIL);

    ConfigAll read{};
    ASSERT_EQ(get(CONFIG_SECURITY, read), KEEPER_OK);
    EXPECT_EQ(read.data.sec.ping, 1u);
    ASSERT_EQ(get(CONFIG_OOB_GATEWAY, read), KEEPER_OK);
    EXPECT_EQ(read.data.word[0], ip("10.0.0.1"));
    read = ConfigAll{};
    ASSERT_EQ(get(CONFIG_ROUTE_GET, read), KEEPER_OK);
    EXPECT_EQ(read.data.route.destination, ip("10.1.0.0")) << "no new route in front";
    read = ConfigAll{};
    read.cursor = 2;
    ASSERT_EQ(get(CONFIG_IF, read), KEEPER_OK);
    EXPECT_EQ(read.data.netIf.u.ip.address, ip("10.0.0.2"));
    EXPECT_EQ(readText(kRcConf), kRcFile);
    EXPECT_EQ(readText("/etc/hosts"), hosts);
    ASSERT_NO_FATAL_FAILURE(expectNothingHappened());

    // Room again: the same change goes through.
    ASSERT_EQ(unlink("/etc/rc.d/fill"), 0);
    ASSERT_EQ(set(CONFIG_SECURITY, change), KEEPER_OK);
    EXPECT_TRUE(waitCommand("/etc/rc.d/rc.security "));
}

TEST_F(E2eConfigAtomic, AccessListWithoutItsDenyFileIsRefusedWhole) {
    ASSERT_EQ(unlink("/etc/hosts.deny.velto_all"), 0);
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    const std::string allow = readText("/etc/hosts.allow");
    ConfigAll acl{};
    acl.data.acl.u.address = ip("10.5.5.5");
    EXPECT_EQ(set(CONFIG_ACL_ADD, acl), KEEPER_FAIL);
    ConfigAll walk{};
    ASSERT_EQ(get(CONFIG_ACL_GET, walk), KEEPER_OK);
    EXPECT_EQ(walk.cursor, 0u) << "the list stays empty";
    EXPECT_EQ(readText("/etc/hosts.allow"), allow);
    EXPECT_EQ(readText("/etc/hosts.deny"), "");
    ASSERT_NO_FATAL_FAILURE(expectNothingHappened());
}

// The administrator's folder is an ordinary user's: a profile that is a link
// to a root-only file is neither followed nor copied, and a regular one
// stays that user's, with its mode, and so does its previous copy.
TEST_F(E2eConfigAtomic, LoginProfileIsRefusedAsALinkAndKeepsItsOwnerAndMode) {
    const std::string old = std::string(kProfile) + ".old";
    ASSERT_EQ(chown("/opt/admin", 1000, 1000), 0);
    writeText("/etc/secret", "root only\n");
    ASSERT_EQ(chmod("/etc/secret", 0600), 0);
    ASSERT_EQ(unlink(kProfile), 0);
    ASSERT_EQ(symlink("/etc/secret", kProfile), 0);
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ConfigAll change = security(kAllOnes, 900);
    EXPECT_EQ(set(CONFIG_SECURITY, change), KEEPER_FAIL);
    EXPECT_EQ(readText("/etc/secret"), "root only\n");
    EXPECT_TRUE(S_ISLNK(statOf(kProfile).st_mode));
    EXPECT_NE(access(old.c_str(), F_OK), 0) << "no copy of the secret";
    ConfigAll read{};
    ASSERT_EQ(get(CONFIG_SECURITY, read), KEEPER_OK);
    EXPECT_NE(read.data.sec.shellTimeout, 900u);
    EXPECT_EQ(readText(kRcConf), kRcFile);

    ASSERT_EQ(unlink(kProfile), 0);
    writeText(kProfile, "export PATH=/bin\nTMOUT=300\n");
    ASSERT_EQ(chown(kProfile, 1000, 1000), 0);
    ASSERT_EQ(chmod(kProfile, 0640), 0);
    ASSERT_EQ(set(CONFIG_SECURITY, change), KEEPER_OK);
    EXPECT_EQ(readText(kProfile), "export PATH=/bin\nTMOUT=900\n");
    EXPECT_EQ(readText(old), "export PATH=/bin\nTMOUT=300\n");
    for (const std::string& path : {std::string(kProfile), old}) {
        const struct stat st = statOf(path);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
        EXPECT_EQ(st.st_uid, 1000u) << path;
        EXPECT_EQ(st.st_mode & 07777, 0640u) << path;
    }
}

// The host name's files are written together: /etc/HOSTNAME, written first,
// does not change when /etc/hosts cannot be.
TEST_F(E2eConfigAtomic, HostNameWhoseHostsFileIsALinkChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    writeText("/etc/secret", "root only\n");
    ASSERT_EQ(chmod("/etc/secret", 0600), 0);
    ASSERT_TRUE(unlink("/etc/hosts") == 0 || errno == ENOENT);
    ASSERT_EQ(symlink("/etc/secret", "/etc/hosts"), 0);
    char before[64] = {};
    gethostname(before, sizeof before);

    ConfigAll host{};
    strcpy(host.data.host.hostName, "box-2");
    strcpy(host.data.host.domainName, "example.org");
    EXPECT_EQ(set(CONFIG_HOST, host), KEEPER_FAIL);
    EXPECT_EQ(readText("/etc/secret"), "root only\n");
    EXPECT_TRUE(S_ISLNK(statOf("/etc/hosts").st_mode));
    EXPECT_EQ(readText("/etc/HOSTNAME"), "vardo.test.lan\n");
    EXPECT_EQ(readText("/etc/resolv.conf"), "domain test.lan\nnameserver 10.0.0.53\n");
    ConfigAll read{};
    ASSERT_EQ(get(CONFIG_HOST, read), KEEPER_OK);
    EXPECT_EQ(wireText(read.data.host.hostName), "vardo");
    EXPECT_EQ(wireText(read.data.host.domainName), "test.lan");
    char after[64] = {};
    gethostname(after, sizeof after);
    EXPECT_STREQ(after, before);
    ASSERT_NO_FATAL_FAILURE(expectNothingHappened());
}

// A request that sets the zone and the clock: when the clock refuses, the
// zone goes back to what it was.
TEST_F(E2eConfigAtomic, ZoneGoesBackWhenTheClockCannotBeSet) {
    ASSERT_NO_FATAL_FAILURE(startWithWatcher());
    ASSERT_EQ(mkdir(clockLogPath().c_str(), 0755), 0);
    ConfigAll request{};
    request.data.time.time = 1700000000;
    strcpy(request.data.time.timeZone, "Europe/Paris");
    EXPECT_EQ(set(CONFIG_TIME, request), KEEPER_FAIL);
    char target[256] = {};
    ASSERT_GT(readlink("/etc/localtime", target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/usr/share/zoneinfo/Etc/UTC");
    ConfigAll read{};
    ASSERT_EQ(get(CONFIG_TIME, read), KEEPER_OK);
    EXPECT_EQ(wireText(read.data.time.timeZone), "Etc/UTC");
    ASSERT_NO_FATAL_FAILURE(expectNothingHappened());
}

}  // namespace
}  // namespace e2e
