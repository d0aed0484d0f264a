#include "plugins/link_utils.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "support/test_util.h"

namespace {

const char kNetDev[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n"
    "    lo:     500       5    0    0    0     0          0         0      500       5    0 "
    "   0    0     0       0          0\n"
    " veth1:    7000      70    0    0    0     0          0         0     7000      70    0 "
    "   0    0     0       0          0\n"
    "  eth1:    1000      10    3    4    0     0          0         6     2000      20    7 "
    "   8    0     0       0          0\n"
    " eth10:99999999      99    0    0    0     0          0         0 99999999      99    0 "
    "   0    0     0       0          0\n";

unsigned long counter(const std::string& file, const char* name, int kind) {
    unsigned long value = 12345;
    EXPECT_EQ(0, hwu_link_data_from(file.c_str(), name, kind, &value)) << name << " kind " << kind;
    return value;
}

// Runs the rest of the test in a network namespace of its own, where it may
// add ports; false when this process may not make one.
bool privateNetwork() { return unshare(CLONE_NEWNET) == 0; }

}  // namespace

TEST(LinkUtils, CountersOfThePortNamedExactlyWithFrameOverhead) {
    TempDir dir;
    writeText(dir / "dev", kNetDev);
    std::string file = dir / "dev";
    EXPECT_EQ(2000ul + 4 * 20, counter(file, "eth1", 0));
    EXPECT_EQ(1000ul + 18 * 10, counter(file, "eth1", 1));
    EXPECT_EQ(20ul, counter(file, "eth1", 2));
    EXPECT_EQ(10ul, counter(file, "eth1", 3));
    EXPECT_EQ(0ul, counter(file, "eth1", 4));
    EXPECT_EQ(6ul, counter(file, "eth1", 5));
    EXPECT_EQ(7ul, counter(file, "eth1", 8));
    EXPECT_EQ(3ul, counter(file, "eth1", 9));
    EXPECT_EQ(8ul, counter(file, "eth1", 10));
    EXPECT_EQ(4ul, counter(file, "eth1", 11));
    // "eth10:" with no blank after its colon is still its own port.
    EXPECT_EQ(99999999ul + 18 * 99, counter(file, "eth10", 1));

    unsigned long value = 0;
    EXPECT_EQ(1, hwu_link_data_from(file.c_str(), "eth", 1, &value));
    EXPECT_EQ(1, hwu_link_data_from(file.c_str(), "eth1", 12, &value));
    EXPECT_EQ(1, hwu_link_data_from(file.c_str(), "eth1", -1, &value));
    EXPECT_EQ(1, hwu_link_data_from(file.c_str(), nullptr, 1, &value));
    EXPECT_EQ(1, hwu_link_data_from((dir / "none").c_str(), "eth1", 1, &value));
}

TEST(LinkUtils, PortStateReadFromTheKernel) {
    TempDir home;
    ASSERT_EQ(0, mkdir((home / "log").c_str(), 0755));
    setenv("VELTO_HOME", home.path().c_str(), 1);
    ASSERT_EQ(0, hwu_logger_init_file());
    if (!privateNetwork()) GTEST_SKIP() << "no private network namespace";
    ASSERT_EQ(0, system("ip link add v0 type veth peer name v1 && ip tuntap add t0 mode tap"));

    // A veth port reports 10000 Mbit/s full duplex: a speed the appliance's
    // ports never run at, so the link does not count as up.
    int status = 0, speed = 0, duplex = -1;
    EXPECT_EQ(0, hwu_link_status("v0", &status));
    EXPECT_EQ(HWU_LINK_DOWN, status);
    EXPECT_EQ(0, hwu_link_speed("v0", &speed));
    EXPECT_EQ(10000, speed);
    EXPECT_EQ(0, hwu_link_duplex("v0", &duplex));
    EXPECT_EQ(1, duplex);

    // A tap port keeps the settings written to it: at 1000 Mbit/s half
    // duplex its link is up.
    EXPECT_EQ(0, hwu_link_set_speed_duplex("t0", 1000, 0, 0));
    EXPECT_EQ(0, hwu_link_status("t0", &status));
    EXPECT_EQ(HWU_LINK_UP, status);
    EXPECT_EQ(0, hwu_link_speed("t0", &speed));
    EXPECT_EQ(1000, speed);
    // Negotiation on leaves speed and duplex as they are.
    EXPECT_EQ(0, hwu_link_set_speed_duplex("t0", 10, 1, 1));
    EXPECT_EQ(0, hwu_link_duplex("t0", &duplex));
    EXPECT_EQ(0, duplex);
    EXPECT_EQ(0, hwu_link_config("t0", 0));
    EXPECT_EQ(0, hwu_link_speed("t0", &speed));
    EXPECT_EQ(1000, speed);

    unsigned char mac[6] = {0};
    ASSERT_EQ(0, hwu_link_hwAddr("v0", mac));
    char text[64];
    snprintf(text, sizeof text, "ip link show v0 | grep -q %02x:%02x:%02x:%02x:%02x:%02x", mac[0],
             mac[1], mac[2], mac[3], mac[4], mac[5]);
    EXPECT_EQ(0, system(text)) << text;

    // A port without settings, a name too long for a request, a missing port.
    EXPECT_EQ(1, hwu_link_speed("lo", &speed));
    EXPECT_EQ(1, hwu_link_status("v0-with-a-long-name", &status));
    EXPECT_EQ(1, hwu_link_hwAddr("nosuch0", mac));
    EXPECT_EQ(1, hwu_link_set("v0", 3));
    int count = 7;
    EXPECT_EQ(1, hwu_link_bridge_ports(&count));
    EXPECT_EQ(0, count);

    std::string log =
        readText(home / ("log/hwu." + std::string(program_invocation_short_name) + ".log"));
    EXPECT_NE(std::string::npos, log.find("__hwu_link_speed: failed fetching interface settings"));
    EXPECT_NE(std::string::npos, log.find("hwu_link_set: entered. link v0, mode 3"));
    EXPECT_NE(std::string::npos, log.find("hwu_link_set: invalid mode"));
}
