#include "protocol/keeper_records.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<unsigned>;

// Every byte differs from its word neighbours, so a swap always shows.
Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(k * 7 + 1);
    return b;
}

// The expected image: the given words byte-reversed, everything else as is.
Bytes swapped(Bytes img, const Words& words) {
    for (unsigned w : words)
        std::swap(img[4 * w], img[4 * w + 3]), std::swap(img[4 * w + 1], img[4 * w + 2]);
    return img;
}

Words range(unsigned first, unsigned last) {
    Words w;
    for (unsigned i = first; i <= last; ++i) w.push_back(i);
    return w;
}

Words operator+(Words a, const Words& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

template <typename R>
Bytes imageOf(const R& rec) {
    const auto* p = reinterpret_cast<const uint8_t*>(&rec);
    return Bytes(p, p + sizeof rec);
}

template <typename R>
R fromImage(const Bytes& img) {
    R rec;
    std::memcpy(&rec, img.data(), sizeof rec);
    return rec;
}

void setWord(void* rec, unsigned idx, uint32_t hostValue, bool netOrder) {
    uint32_t v = netOrder ? htonl(hostValue) : hostValue;
    std::memcpy(static_cast<uint8_t*>(rec) + 4 * idx, &v, 4);
}

template <typename R>
void expectBothWays(void (*h2n)(R*), void (*n2h)(R*), const Words& words, const char* name) {
    const Bytes img = pattern(sizeof(R));
    R rec = fromImage<R>(img);
    h2n(&rec);
    EXPECT_EQ(imageOf(rec), swapped(img, words)) << name << " H2N";
    rec = fromImage<R>(img);
    n2h(&rec);
    EXPECT_EQ(imageOf(rec), swapped(img, words)) << name << " N2H";
}

TEST(Records, FixedRecordsSwapOnlyTheirIntegerWords) {
    expectBothWays(commandH2NOrder, commandN2HOrder, range(0, 2), "KeeperCommand");
    expectBothWays(config_timeH2NOrder, config_timeN2HOrder, {0}, "ConfigTime");
    expectBothWays(config_ifpairH2NOrder, config_ifpairN2HOrder, {0, 1}, "ConfigIfPair");
    expectBothWays(config_serverH2NOrder, config_serverN2HOrder, range(0, 2), "ConfigSrv");
    expectBothWays(config_routeH2NOrder, config_routeN2HOrder, {0, 4}, "ConfigRoute");
    expectBothWays(config_secH2NOrder, config_secN2HOrder, range(0, 6), "ConfigSecurity");
    expectBothWays(config_aclH2NOrder, config_aclN2HOrder, {0}, "ConfigACLHost");
    expectBothWays(config_verH2NOrder, config_verN2HOrder, {0, 1, 34}, "ConfigVersion");
    expectBothWays(config_hwH2NOrder, config_hwN2HOrder, range(0, 7), "ConfigHwStatus");
    expectBothWays(config_redundH2NOrder, config_redundN2HOrder, range(0, 6), "ConfigRedund");
    expectBothWays(config_ifstatH2NOrder, config_ifstatN2HOrder, range(0, 8), "IfStatistics");
    expectBothWays(config_sgdispH2NOrder, config_sgdispN2HOrder, range(0, 4),
                   "ConfigSGDispatching");
    expectBothWays(config_taskH2NOrder, config_taskN2HOrder, {0}, "ConfigTask");
    expectBothWays(oversubscrH2NOrder, oversubscrN2HOrder, {0, 1}, "OverSubscriptionData");
    expectBothWays(sensor_dataH2NOrder, sensor_dataN2HOrder, range(0, 3), "SensorData");
}

TEST(Records, GoldenBigEndianImages) {
    KeeperCommand cmd{COMMAND_REBOOT, SHUTDOWN_DELAY, 30};
    commandH2NOrder(&cmd);
    EXPECT_EQ(imageOf(cmd), (Bytes{0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 30}));

    ConfigRoute route{1, inet_addr("10.1.2.3"), inet_addr("255.255.0.0"), inet_addr("10.1.0.1"),
                      0x0102};
    config_routeH2NOrder(&route);
    EXPECT_EQ(imageOf(route),
              (Bytes{0, 0, 0, 1, 10, 1, 2, 3, 255, 255, 0, 0, 10, 1, 0, 1, 0, 0, 1, 2}));
}

TEST(Records, CardListsConvertWholeCardsOnly) {
    const Bytes img = pattern(3 * sizeof(CardInfo));
    Bytes buf = img;
    cadr_dataN2HOrder(reinterpret_cast<CardInfo*>(buf.data()), 0);
    EXPECT_EQ(buf, img);
    cadr_dataN2HOrder(reinterpret_cast<CardInfo*>(buf.data()), -1);
    EXPECT_EQ(buf, img);

    Words twoCards = Words{0, 1, 2, 3, 10} + Words{11, 12, 13, 14, 21};
    cadr_dataH2NOrder(reinterpret_cast<CardInfo*>(buf.data()), 2);
    EXPECT_EQ(buf, swapped(img, twoCards));

    buf = img;  // 100 bytes hold two whole cards and a fragment left alone
    dpicListN2HOrder(reinterpret_cast<CardInfo*>(buf.data()), 100);
    EXPECT_EQ(buf, swapped(img, twoCards));
}

// ConfigNetIf: what is converted depends on the kind and member counts,
// which must be read in host order in both directions.
struct NetIfCase {
    uint32_t kind;
    uint32_t countWord;  // 0: no count word
    uint32_t count;
    Words words;
};

void expectNetIf(const NetIfCase& c) {
    for (bool received : {false, true}) {
        Bytes img = pattern(sizeof(ConfigNetIf));
        setWord(img.data(), 0, c.kind, received);
        if (c.countWord != 0) setWord(img.data(), c.countWord, c.count, received);
        auto rec =
            std::make_unique<ConfigNetIf>(fromImage<ConfigNetIf>(img));  // exact heap size for ASan
        if (received)
            config_ifdataN2HOrder(rec.get());
        else
            config_ifdataH2NOrder(rec.get());
        EXPECT_EQ(imageOf(*rec), swapped(img, c.words))
            << "kind " << c.kind << (received ? " N2H" : " H2N");
    }
}

TEST(Records, NetIfConvertsByKind) {
    expectNetIf({NETIF_KIND_ETH, 0, 0, range(0, 3) + range(36, 43)});
    expectNetIf({NETIF_KIND_IP, 36, 3, range(0, 3) + range(36, 39) + Words{53}});
    expectNetIf({NETIF_KIND_IP, 36, 0, range(0, 3) + Words{36, 53}});
    expectNetIf({NETIF_KIND_PORT, 0, 0, range(0, 3) + range(36, 41)});
    expectNetIf({NETIF_KIND_GROUP, 37, 5, range(0, 3) + range(36, 42)});
    expectNetIf({7, 0, 0, range(0, 3)});
}

TEST(Records, NetIfMemberCountIsClampedToTheRoom) {
    expectNetIf({NETIF_KIND_IP, 36, 17, range(0, 3) + range(36, 53)});
    expectNetIf({NETIF_KIND_IP, 36, 0xFFFFFFFF, range(0, 3) + range(36, 53)});
    expectNetIf({NETIF_KIND_GROUP, 37, 19, range(0, 3) + range(36, 55)});
    expectNetIf({NETIF_KIND_GROUP, 37, 0x80000000, range(0, 3) + range(36, 55)});
}

// Words of ConfigAll (cursor and action are words 0 and 1) per command.
Words configWords(uint32_t cmd) {
    Words head{0, 1};
    switch (cmd) {
        case CONFIG_TIME:
            return head + Words{2};
        case CONFIG_IFPAIR:
            return head + Words{2, 3};
        case CONFIG_SRV_GET:
        case CONFIG_SRV_ADD:
        case CONFIG_SRV_DEL:
            return head + range(2, 4);
        case CONFIG_ROUTE_GET:
        case CONFIG_ROUTE_ADD:
        case CONFIG_ROUTE_DEL:
            return head + Words{2, 6};
        case CONFIG_SECURITY:
        case CONFIG_REDUNDANCY:
            return head + range(2, 8);
        case CONFIG_ACL_GET:
        case CONFIG_ACL_ADD:
        case CONFIG_ACL_DEL:
            return head + Words{2};
        case CONFIG_DEV_MODE:
        case CONFIG_BRIDGE:
        case CONFIG_SPT:
        case CONFIG_REDUNDANCY_CAP:
        case CONFIG_DOUBLE_SESS:
        case CONFIG_TARGET_BOOT_TIME:
        case CONFIG_DISPATCHING_MODE:
        case CONFIG_KA_PERIOD:
            return head + Words{2};
        case CONFIG_VERSION:
            return head + Words{2, 3, 36};
        case CONFIG_HWSTATUS:
            return head + range(2, 9);
        case CONFIG_IF_STATISTICS:
            return head + range(2, 10);
        case CONFIG_SG_DISPATCHING:
            return head + range(2, 6);
        default:
            return head;  // host, gateways, unknown commands
    }
}

TEST(Records, ConfigDataDispatchesByCommand) {
    const Bytes img = pattern(sizeof(ConfigAll));
    for (uint32_t cmd : range(0, 29) + Words{1000}) {
        if (cmd == CONFIG_IF) continue;  // by kind, below
        ConfigAll all = fromImage<ConfigAll>(img);
        config_dataH2NOrder(static_cast<ConfigCmd>(cmd), &all);
        EXPECT_EQ(imageOf(all), swapped(img, configWords(cmd))) << "command " << cmd;
        all = fromImage<ConfigAll>(img);
        config_dataN2HOrder(static_cast<ConfigCmd>(cmd), &all);
        EXPECT_EQ(imageOf(all), swapped(img, configWords(cmd))) << "command " << cmd;
    }
}

TEST(Records, ConfigHostConvertsOnlyCursorAndAction) {
    ConfigAll all{};
    all.cursor = 5;
    all.action = 1;
    std::strcpy(all.data.host.hostName, "gate");
    std::strcpy(all.data.host.domainName, "example.org");
    const Bytes before = imageOf(all);
    config_dataH2NOrder(CONFIG_HOST, &all);
    EXPECT_EQ(imageOf(all), swapped(before, {0, 1}));
    EXPECT_STREQ(all.data.host.hostName, "gate");
    EXPECT_STREQ(all.data.host.domainName, "example.org");
}

TEST(Records, ConfigIfReadsTheKindInsideTheEnvelope) {
    Bytes img = pattern(sizeof(ConfigAll));
    setWord(img.data(), 2, NETIF_KIND_IP, true);
    setWord(img.data(), 2 + 36, 3, true);
    ConfigAll all = fromImage<ConfigAll>(img);
    config_dataN2HOrder(CONFIG_IF, &all);
    EXPECT_EQ(imageOf(all), swapped(img, Words{0, 1} + range(2, 5) + range(38, 41) + Words{55}));
}

// Event data: exact lengths only; some groups only on receipt.
struct EventCase {
    uint32_t grp;
    unsigned len;
    Words sent;      // converted by event_dataH2NOrder
    Words received;  // converted by event_dataN2HOrder
};

void expectEvent(const EventCase& c) {
    const Bytes img = pattern(c.len);
    Bytes buf = img;
    event_dataH2NOrder(static_cast<EventGrp>(c.grp), buf.data(), c.len);
    EXPECT_EQ(buf, swapped(img, c.sent)) << "group " << c.grp << " len " << c.len << " H2N";
    buf = img;
    event_dataN2HOrder(static_cast<EventGrp>(c.grp), buf.data(), c.len);
    EXPECT_EQ(buf, swapped(img, c.received)) << "group " << c.grp << " len " << c.len << " N2H";
}

TEST(Records, EventDataByGroupAtExactLengths) {
    auto both = [](uint32_t grp, unsigned len, Words w) { expectEvent({grp, len, w, w}); };
    both(EVENT_GRP_TIME, 264, configWords(CONFIG_TIME));
    both(EVENT_GRP_SERVER, 264, configWords(CONFIG_SRV_ADD));
    both(EVENT_GRP_ROUTE, 264, configWords(CONFIG_ROUTE_ADD));
    both(EVENT_GRP_SECURITY, 264, configWords(CONFIG_SECURITY));
    both(EVENT_GRP_ACL, 264, configWords(CONFIG_ACL_ADD));
    for (uint32_t grp :
         {EVENT_GRP_BRIDGE_LERN, EVENT_GRP_BRIDGE_SPT, EVENT_GRP_TAP, EVENT_GRP_DOUBLE_SESS})
        both(grp, 264, configWords(CONFIG_BRIDGE));
    both(EVENT_GRP_REDUNDANCY, 264, configWords(CONFIG_REDUNDANCY));
    both(EVENT_GRP_VERSION, 264, configWords(CONFIG_VERSION));
    both(EVENT_GRP_TASK, 104, {0});
    both(EVENT_GRP_BW_OVERSUBSCRIPTION, 136, {0, 1});
    both(EVENT_GRP_SENSOR, 16, range(0, 3));
    expectEvent({EVENT_GRP_HW_STATUS, 264, {}, configWords(CONFIG_HWSTATUS)});
    expectEvent({EVENT_GRP_CARD, 100, {}, Words{0, 1, 2, 3, 10} + Words{11, 12, 13, 14, 21}});
}

TEST(Records, EventDataOfOtherLengthsOrGroupsIsLeftAlone) {
    for (unsigned len : {263u, 265u}) expectEvent({EVENT_GRP_TIME, len, {}, {}});
    expectEvent({EVENT_GRP_TASK, 100, {}, {}});
    expectEvent({EVENT_GRP_SENSOR, 20, {}, {}});
    for (uint32_t grp :
         Words{EVENT_GRP_HOST, EVENT_GRP_GATEWAY, EVENT_GRP_COMMAND, EVENT_GRP_WEB_UPDATE, 26, 63})
        expectEvent({grp, 264, {}, {}});
    event_dataN2HOrder(EVENT_GRP_TIME, nullptr, 264);  // no data: nothing to do
}

TEST(Records, IfAndLinkEventsConvertTheInterfaceByKind) {
    for (uint32_t grp : {EVENT_GRP_IF, EVENT_GRP_LINK}) {
        Bytes img = pattern(sizeof(ConfigAll));
        setWord(img.data(), 2, NETIF_KIND_ETH, false);
        Bytes buf = img;
        event_dataH2NOrder(static_cast<EventGrp>(grp), buf.data(), 264);
        EXPECT_EQ(buf, swapped(img, Words{0, 1} + range(2, 5) + range(38, 45))) << "group " << grp;
    }
}

TEST(Records, NameTables) {
    EXPECT_STREQ(devModeStr(DEVMODE_TAP), "DEVMODE_TAP");
    EXPECT_EQ(devModeStr(4), nullptr);
    EXPECT_STREQ(cardStatusStr(0), "");
    EXPECT_STREQ(cardStatusStr(CARD_STATUS_NA), "CARD_STATUS_NA");
    EXPECT_EQ(cardStatusStr(5), nullptr);
}

}  // namespace
