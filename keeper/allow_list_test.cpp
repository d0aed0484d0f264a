#include "keeper/allow_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

uint32_t ip(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

TEST(AllowList, ServesTheListedAddressesAndBlocksOnly) {
    AllowList list;
    ASSERT_TRUE(list.parse(" 10.0.0.0/8 ,192.168.1.7\t"));
    EXPECT_TRUE(list.allows(ip("10.0.0.0")));
    EXPECT_TRUE(list.allows(ip("10.255.255.255")));
    EXPECT_FALSE(list.allows(ip("11.0.0.0")));
    EXPECT_FALSE(list.allows(ip("9.255.255.255")));
    EXPECT_TRUE(list.allows(ip("192.168.1.7")));
    EXPECT_FALSE(list.allows(ip("192.168.1.8")));
    EXPECT_TRUE(list.allows(ip("127.0.0.1"))) << "the supervised programs connect from it";
    EXPECT_FALSE(list.allows(ip("127.0.0.2")));
}

TEST(AllowList, PrefixEdgesMatchEveryAddressOrExactlyOne) {
    AllowList all;
    ASSERT_TRUE(all.parse("0.0.0.0/0"));
    EXPECT_TRUE(all.allows(ip("255.255.255.255")));
    EXPECT_TRUE(all.allows(ip("1.2.3.4")));
    AllowList one;
    ASSERT_TRUE(one.parse("192.168.1.7/32"));
    EXPECT_TRUE(one.allows(ip("192.168.1.7")));
    EXPECT_FALSE(one.allows(ip("192.168.1.6")));
    EXPECT_FALSE(one.allows(ip("192.168.1.255")));
}

TEST(AllowList, EmptyListServesEveryPeer) { EXPECT_TRUE(AllowList().allows(ip("203.0.113.9"))); }

TEST(AllowList, OneMalformedItemRefusesTheWholeTextAndKeepsTheList) {
    const char* const malformed[] = {
        "",
        "  ",
        "10.1",
        "host.example",
        "10.0.0.0/33",
        "10.0.0.0/",
        "10.0.0.0/+8",
        "10.0.0.0/08",
        "10.0.0.0/ 8",
        "10.0.0.1/8",
        "10.0.0.1,",
        ",10.0.0.1",
        "10.0.0.1,,10.0.0.2",
        "10.0.0.1 10.0.0.2",
    };
    for (const char* text : malformed) {
        AllowList list;
        ASSERT_TRUE(list.parse("192.168.1.7"));
        EXPECT_FALSE(list.parse(std::string("10.0.0.2, ") + text)) << "[" << text << "]";
        EXPECT_FALSE(list.allows(ip("10.0.0.2"))) << "[" << text << "]";
        EXPECT_TRUE(list.allows(ip("192.168.1.7")));
    }
}

}  // namespace
