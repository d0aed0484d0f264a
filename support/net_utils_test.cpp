#include "support/net_utils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

TEST(NetUtils, Long2IpStrMostSignificantFirst) {
    EXPECT_STREQ(long2ipstr(0xC0A80A01u), "192.168.10.1");
    EXPECT_STREQ(long2ipstr(0u), "0.0.0.0");
    EXPECT_STREQ(long2ipstr(0xFFFFFFFFu), "255.255.255.255");
}

TEST(NetUtils, IpStr2IntNetworkOrder) {
    uint32_t addr = 0;
    ASSERT_TRUE(Com_ipStr2Int("10.1.2.3", &addr));
    EXPECT_EQ(addr, htonl(0x0A010203u));
    ASSERT_TRUE(Com_ipStr2Int("localhost", &addr));
    EXPECT_EQ(addr, htonl(0x7F000001u));
    ASSERT_TRUE(Com_ipStr2Int("255.255.255.255", &addr));
    EXPECT_EQ(addr, 0xFFFFFFFFu);
    EXPECT_STREQ(long2ipstr(ntohl(addr)), "255.255.255.255");
    EXPECT_FALSE(Com_ipStr2Int("", &addr));
    EXPECT_FALSE(Com_ipStr2Int("300.1.1.1", &addr));
    EXPECT_FALSE(Com_ipStr2Int("host.example", &addr));
    EXPECT_FALSE(Com_ipStr2Int(nullptr, &addr));
}

}  // namespace
