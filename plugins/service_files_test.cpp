// The service-file operations that clients cannot reach on their own yet,
// the access files without a hosts.allow, and the programs the changes run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "plugins/fake_daemon.h"
#include "plugins/sw_config_plugin.h"
#include "plugins/test_paths.h"
#include "support/appliance.h"
#include "support/atomic_file.h"
#include "support/test_util.h"

namespace {

ConfigAll server(uint32_t type, uint32_t order, const char* address) {
    ConfigAll all{};
    all.data.srv.type = type;
    all.data.srv.order = order;
    all.data.srv.u.address = inet_addr(address);
    return all;
}

class ServiceFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        paths = pathsIn(dir);
        plugin.set_paths(paths);
        plugin.set_starter([](ProgramRunner::Job) { return 1; });
        plugin.init(nullptr);
        ASSERT_TRUE(plugin.ready());
        writeText(paths.hostsDenyAll, "ALL: ALL\n");
        writeText(paths.hostsDenyEmpty, "# nothing denied\n");
    }

    TempDir dir;
    ConfigPaths paths;
    SWConfigPlugin plugin{(dir / "rc.conf").c_str(), dir.path().c_str()};
};

TEST_F(ServiceFiles, WebStartDescriptorGetsTheNewAddress) {
    const std::string original =
        "<?xml version=\"1.0\"?>\n"
        "<jnlp spec=\"1.0+\" codebase=\"http://10.0.0.1/app\">\n"
        "\n"
        "  <title>Mirevant One - 10.0.0.1</title>\n"
        "  <argument>10.0.0.1</argument>\n"
        "  <vendor>x</vendor>\n";
    writeText(paths.webstart, original);
    FileBatch batch;
    ASSERT_TRUE(plugin.updateJavaWebStart("10.0.0.2", batch));
    ASSERT_TRUE(batch.commit());
    EXPECT_EQ(readText(paths.webstart),
              "<?xml version=\"1.0\"?>\n"
              "<jnlp spec=\"1.0+\" codebase=\"http://10.0.0.2\">\n"
              "  <title>Mirevant One - 10.0.0.2</title>\n"
              "  <argument>10.0.0.2</argument>\n"
              "  <vendor>x</vendor>\n");

    const std::string tooLong = original + std::string(255, 'x') + "\n";
    writeText(paths.webstart, tooLong);
    FileBatch refused;
    EXPECT_FALSE(plugin.updateJavaWebStart("10.0.0.3", refused));
    EXPECT_TRUE(refused.commit()) << "nothing to write";
    EXPECT_EQ(readText(paths.webstart), tooLong) << "left as it was";
}

// A change whose files cannot all be written is refused as a whole: the
// model reads as before, no file changed and no program ran.
TEST_F(ServiceFiles, ChangeWhoseFilesCannotBeWrittenChangesNothingAndRunsNothing) {
    FakeDaemon daemon;
    daemon.serve(plugin);
    writeText(dir / "secret", "root only\n");
    ASSERT_EQ(symlink((dir / "secret").c_str(), paths.hosts.c_str()), 0);
    ConfigAll host{};
    strcpy(host.data.host.hostName, "box");
    strcpy(host.data.host.domainName, "lan");
    EXPECT_EQ(daemon.change(plugin, CONFIG_HOST, host), KEEPER_FAIL);
    EXPECT_STREQ(plugin.host().hostName, "");
    EXPECT_NE(access(paths.hostname.c_str(), F_OK), 0) << "written before the refused one";
    EXPECT_EQ(readText(dir / "secret"), "root only\n");

    ConfigAll acl{};
    acl.data.acl.u.address = inet_addr("10.1.1.1");
    ASSERT_EQ(unlink(paths.hostsDenyAll.c_str()), 0);
    EXPECT_EQ(daemon.change(plugin, CONFIG_ACL_ADD, acl), KEEPER_FAIL) << "no deny.all";
    EXPECT_TRUE(plugin.acl().empty());
    EXPECT_NE(access(paths.hostsAllow.c_str(), F_OK), 0);

    ASSERT_EQ(symlink((dir / "secret").c_str(), paths.ntp.c_str()), 0);
    ConfigAll time = server(6, 1, "10.0.0.7");
    EXPECT_EQ(daemon.change(plugin, CONFIG_SRV_ADD, time), KEEPER_FAIL);
    EXPECT_TRUE(plugin.servers().empty());

    ASSERT_EQ(symlink((dir / "secret").c_str(), (dir / "rc.conf").c_str()), 0);
    ConfigAll change{};
    memset(&change.data.sec, 0xFF, sizeof change.data.sec);
    change.data.sec.ping = 2;
    EXPECT_EQ(daemon.change(plugin, CONFIG_SECURITY, change), KEEPER_FAIL);
    EXPECT_EQ(plugin.security().ping, 0u);
    EXPECT_TRUE(daemon.jobs.empty()) << daemon.jobs.front().argv[0];
    EXPECT_EQ(readText(dir / "secret"), "root only\n");
}

TEST_F(ServiceFiles, AccessFilesAreWrittenWithoutAHostsAllow) {
    ConfigACLHost acl{};
    inet_pton(AF_INET, "10.1.1.1", &acl.u.address);
    ASSERT_EQ(plugin.add_acl(&acl), KEEPER_OK);
    EXPECT_EQ(readText(paths.hostsAllow), "ALL: localhost 10.1.1.1\n# End of hosts.allow.\n");
    EXPECT_EQ(readText(paths.hostsDeny), "ALL: ALL\n");
    ConfigACLHost byName{};
    byName.byName = 1;
    strcpy(byName.u.name, "a.b; rm -rf /");
    EXPECT_EQ(plugin.add_acl(&byName), KEEPER_FAIL);
    ASSERT_EQ(plugin.del_acl(&acl), KEEPER_OK);
    EXPECT_EQ(readText(paths.hostsAllow), "ALL: localhost\n# End of hosts.allow.\n");
    EXPECT_EQ(readText(paths.hostsDeny), "# nothing denied\n");
}

ConfigACLHost aclName(const std::string& name) {
    ConfigACLHost acl{};
    acl.byName = 1;
    snprintf(acl.u.name, sizeof acl.u.name, "%s", name.c_str());
    return acl;
}

TEST_F(ServiceFiles, AccessListHoldsEachHostOnceAndAHundredAtMost) {
    ConfigACLHost named = aclName("Admin.Example.org");
    ASSERT_EQ(plugin.add_acl(&named), KEEPER_OK);
    ConfigACLHost again = aclName("admin.example.ORG");
    EXPECT_EQ(plugin.add_acl(&again), KEEPER_NO_CHANGE);
    for (uint32_t n = 1; n < 100; ++n) {
        ConfigACLHost acl{};
        acl.u.address = htonl(0x0A000000 + n);
        ASSERT_EQ(plugin.add_acl(&acl), KEEPER_OK) << n;
    }
    const std::string full = readText(paths.hostsAllow);
    ConfigACLHost extra{};
    extra.u.address = htonl(0x0B000001);
    EXPECT_EQ(plugin.add_acl(&extra), KEEPER_FAIL);
    EXPECT_EQ(plugin.acl().size(), 100u);
    EXPECT_EQ(readText(paths.hostsAllow), full);
}

TEST_F(ServiceFiles, AccessListLineStaysShorterThanHostsAccessReads) {
    const std::string label(63, 'h');
    int added = 0;
    for (char c = 'a'; c <= 'z'; ++c) {
        ConfigACLHost acl = aclName(std::string(1, c) + label.substr(1) + "." + label);
        if (plugin.add_acl(&acl) != KEEPER_OK) break;
        ++added;
    }
    EXPECT_EQ(added, 15) << "127 bytes and a space each after \"ALL: localhost\"";
    for (const std::string& line : readLines(paths.hostsAllow)) EXPECT_LT(line.size() + 1, 2048u);
}

TEST_F(ServiceFiles, ServersAreListedOncePerTypeSixteenAtMostOfKnownTypes) {
    int mask = 0;
    ConfigAll dns = server(1, 1, "10.0.0.1");
    ASSERT_EQ(plugin.add_server(&dns, mask), KEEPER_OK);
    ConfigAll same = server(1, 2, "10.0.0.1");
    EXPECT_EQ(plugin.add_server(&same, mask), KEEPER_NO_CHANGE);
    ConfigAll sameOrder = server(1, 1, "10.0.0.1");
    EXPECT_EQ(plugin.add_server(&sameOrder, mask), KEEPER_FAIL) << "the order is taken";
    ConfigAll named = server(1, 3, "0.0.0.0");
    named.data.srv.byName = 1;
    strcpy(named.data.srv.u.name, "NS.example.org");
    ASSERT_EQ(plugin.add_server(&named, mask), KEEPER_OK);
    strcpy(named.data.srv.u.name, "ns.EXAMPLE.org");
    named.data.srv.order = 4;
    EXPECT_EQ(plugin.add_server(&named, mask), KEEPER_NO_CHANGE);
    ConfigAll time = server(6, 1, "10.0.0.1");
    EXPECT_EQ(plugin.add_server(&time, mask), KEEPER_OK) << "another type";
    ConfigAll unknown = server(7, 1, "10.0.0.9");
    EXPECT_EQ(plugin.add_server(&unknown, mask), KEEPER_FAIL);
    for (uint32_t order = 5; order < 19; ++order) {
        ConfigAll more = server(1, order, ("10.0.1." + std::to_string(order)).c_str());
        ASSERT_EQ(plugin.add_server(&more, mask), KEEPER_OK) << order;
    }
    const std::string resolv = readText(paths.resolv);
    ConfigAll seventeenth = server(1, 40, "10.0.2.1");
    EXPECT_EQ(plugin.add_server(&seventeenth, mask), KEEPER_FAIL);
    EXPECT_EQ(plugin.servers().size(), 17u) << "16 name servers and a time server";
    EXPECT_EQ(readText(paths.resolv), resolv);
}

TEST_F(ServiceFiles, ZoneIsUnchangedOnlyWhenTheLinkIsExactlyItsFile) {
    paths.zoneinfoDir = dir / "zoneinfo/";
    paths.localtime = dir / "localtime";
    plugin.set_paths(paths);
    ASSERT_EQ(mkdir(paths.zoneinfoDir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((paths.zoneinfoDir + "Etc").c_str(), 0755), 0);
    writeText(paths.zoneinfoDir + "Etc/GMT+1", "TZif");
    writeText(paths.zoneinfoDir + "Etc/GMT+10", "TZif");
    int mask = 0;
    ConfigTime request{};
    strcpy(request.timeZone, "Etc/GMT+10");
    ASSERT_EQ(plugin.set_time(&request, mask), KEEPER_OK);
    strcpy(request.timeZone, "Etc/GMT+1");
    ASSERT_EQ(plugin.set_time(&request, mask), KEEPER_OK);
    EXPECT_EQ(mask, 2);
    char target[512] = {};
    ASSERT_GT(readlink(paths.localtime.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, paths.zoneinfoDir + "Etc/GMT+1");
    EXPECT_EQ(plugin.set_time(&request, mask), KEEPER_NO_CHANGE);

    // A link that cannot be made: a folder stands where it goes.
    ASSERT_EQ(unlink(paths.localtime.c_str()), 0);
    ASSERT_EQ(mkdir(paths.localtime.c_str(), 0755), 0);
    EXPECT_EQ(plugin.set_time(&request, mask), KEEPER_FAIL);
}

using Words = std::vector<std::string>;

TEST_F(ServiceFiles, ScriptsAreNotWaitedForAndAskToRunOnceMoreAtMostWithTheLatestVerb) {
    FakeDaemon daemon;
    daemon.serve(plugin);
    ConfigAll change{};
    memset(&change.data.sec, 0xFF, sizeof change.data.sec);
    change.data.sec.ping = 2;
    change.data.sec.telnet = 2;
    EXPECT_EQ(daemon.change(plugin, CONFIG_SECURITY, change), KEEPER_OK);
    change.data.sec.telnet = 1;
    EXPECT_EQ(daemon.change(plugin, CONFIG_SECURITY, change), KEEPER_OK);
    ConfigAll server{};
    server.data.srv.type = 6;
    server.data.srv.u.address = inet_addr("10.0.0.7");
    EXPECT_EQ(daemon.change(plugin, CONFIG_SRV_ADD, server), KEEPER_OK);
    ASSERT_EQ(daemon.jobs.size(), 4u);
    EXPECT_EQ(daemon.jobs[0].argv, Words{"/etc/rc.d/rc.security"});
    EXPECT_EQ(daemon.jobs[1].argv, (Words{"/etc/rc.d/rc.inetd", "stop"}));
    EXPECT_EQ(daemon.jobs[2].argv, (Words{"/etc/rc.d/rc.inetd", "start"}));
    EXPECT_EQ(daemon.jobs[3].argv, (Words{"/etc/rc.d/rc.ntp", "restart"}));
    for (const ProgramRunner::Job& job : daemon.jobs) {
        EXPECT_EQ(job.queue, job.argv[0]) << "serialised by the script";
        EXPECT_TRUE(job.coalesce);
        EXPECT_EQ(job.deadline, APP_RUN_DEADLINE_SCRIPT);
    }
    EXPECT_FALSE(daemon.replies.any_open());
}

TEST_F(ServiceFiles, HostNameIsAnsweredWhenItsToolEndedAndFailsOnlyAtTheDeadline) {
    FakeDaemon daemon;
    daemon.serve(plugin);
    const struct {
        RunOutcome::Kind kind;
        int code;
        int answer;
    } cases[] = {{RunOutcome::Exited, 1, KEEPER_OK},
                 {RunOutcome::Signaled, 9, KEEPER_OK},
                 {RunOutcome::TimedOut, 0, KEEPER_FAIL}};
    for (const auto& c : cases) {
        ConfigAll host{};
        snprintf(host.data.host.hostName, sizeof host.data.host.hostName, "box-%d", c.kind);
        strcpy(host.data.host.domainName, "lan");
        EXPECT_EQ(daemon.change(plugin, CONFIG_HOST, host, c.kind, c.code), c.answer) << c.kind;
        EXPECT_EQ(daemon.jobs.back().argv, (Words{"hostname", host.data.host.hostName}));
        EXPECT_EQ(daemon.jobs.back().deadline, APP_RUN_DEADLINE_HOST_CMD);
        EXPECT_EQ(readText(paths.hostname), std::string(host.data.host.hostName) + ".lan\n");
    }
}

TEST_F(ServiceFiles, HostNamesAreLettersDigitsDashesAndDots) {
    const std::string longest(63, 'a'), tooLong(64, 'a');
    for (const std::string& good : {std::string("box"), std::string("a-1.example.org"), longest})
        EXPECT_TRUE(validHostName(good.c_str(), false)) << good;
    for (const char* bad : {"", "-box", "box-", "a..b", ".a", "a.", "a b", "a;b", "$(x)"})
        EXPECT_FALSE(validHostName(bad, false)) << bad;
    EXPECT_FALSE(validHostName(tooLong.c_str(), false));
    EXPECT_TRUE(validHostName("", true));
}

}  // namespace
