// The service-file operations that clients cannot reach on their own yet,
// and the access files without a hosts.allow.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "plugins/sw_config_plugin.h"
#include "plugins/test_paths.h"
#include "support/test_util.h"

namespace {

class ServiceFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        paths = pathsIn(dir);
        plugin.set_paths(paths);
        plugin.set_runner([](const char* const*, bool) { return 0; });
        plugin.init(nullptr);
        ASSERT_TRUE(plugin.ready());
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
    ASSERT_TRUE(plugin.updateJavaWebStart("10.0.0.2"));
    EXPECT_EQ(readText(paths.webstart),
              "<?xml version=\"1.0\"?>\n"
              "<jnlp spec=\"1.0+\" codebase=\"http://10.0.0.2\">\n"
              "  <title>Mirevant One - 10.0.0.2</title>\n"
              "  <argument>10.0.0.2</argument>\n"
              "  <vendor>x</vendor>\n");

    const std::string tooLong = original + std::string(255, 'x') + "\n";
    writeText(paths.webstart, tooLong);
    EXPECT_FALSE(plugin.updateJavaWebStart("10.0.0.3"));
    EXPECT_EQ(readText(paths.webstart), tooLong) << "left as it was";
}

TEST_F(ServiceFiles, AccessFilesAreWrittenWithoutAHostsAllow) {
    writeText(paths.hostsDenyAll, "ALL: ALL\n");
    writeText(paths.hostsDenyEmpty, "# nothing denied\n");
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
