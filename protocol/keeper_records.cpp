#include "protocol/keeper_records.h"

#include <algorithm>

#include "protocol/wire_words.h"

using wire::Dir;
using wire::hostWord;
using wire::swapWords;

// The layout is the contract with 32-bit peers: pin every size and offset.
static_assert(sizeof(KeeperCommand) == 12, "KeeperCommand");
static_assert(offsetof(KeeperCommand, technique) == 4 && offsetof(KeeperCommand, timer) == 8,
              "KeeperCommand");
static_assert(sizeof(ConfigAll) == 264, "ConfigAll");
static_assert(offsetof(ConfigAll, action) == 4 && offsetof(ConfigAll, data) == 8, "ConfigAll");
static_assert(sizeof(ConfigTime) == 256 && offsetof(ConfigTime, timeZone) == 4, "ConfigTime");
static_assert(sizeof(ConfigNetIf) == 240, "ConfigNetIf");
static_assert(offsetof(ConfigNetIf, role) == 4 && offsetof(ConfigNetIf, adminStatus) == 8 &&
                  offsetof(ConfigNetIf, id) == 12 && offsetof(ConfigNetIf, descr) == 16 &&
                  offsetof(ConfigNetIf, u) == 144 && offsetof(ConfigNetIf, name) == 224,
              "ConfigNetIf");
static_assert(offsetof(ConfigNetIf, u.eth.autoneg) == 4 * 36 &&
                  offsetof(ConfigNetIf, u.eth.liveSpeed) == 4 * 39 &&
                  offsetof(ConfigNetIf, u.eth.linkState) == 4 * 42 &&
                  offsetof(ConfigNetIf, u.eth.supported) == 4 * 43 &&
                  offsetof(ConfigNetIf, u.eth.hwAddr) == 176,
              "ConfigNetIf Ethernet part");
static_assert(offsetof(ConfigNetIf, u.ip.memberCount) == 4 * 36 &&
                  offsetof(ConfigNetIf, u.ip.member) == 4 * 37 &&
                  offsetof(ConfigNetIf, u.ip.vlan) == 4 * 53,
              "ConfigNetIf IP part");
static_assert(offsetof(ConfigNetIf, u.group.sourceId) == 4 * 36 &&
                  offsetof(ConfigNetIf, u.group.memberCount) == 4 * 37 &&
                  offsetof(ConfigNetIf, u.group.member) == 4 * 38 && sizeof(ConfigNetIfGroup) == 80,
              "ConfigNetIf link-group part");
static_assert(sizeof(ConfigIfPair) == 8, "ConfigIfPair");
static_assert(sizeof(ConfigHost) == 256 && offsetof(ConfigHost, domainName) == 128, "ConfigHost");
static_assert(sizeof(ConfigSrv) == 256 && offsetof(ConfigSrv, order) == 8 &&
                  offsetof(ConfigSrv, u) == 12,
              "ConfigSrv");
static_assert(sizeof(ConfigRoute) == 20 && offsetof(ConfigRoute, destination) == 4 &&
                  offsetof(ConfigRoute, mask) == 8 && offsetof(ConfigRoute, gateway) == 12 &&
                  offsetof(ConfigRoute, device) == 16,
              "ConfigRoute");
static_assert(sizeof(ConfigSecurity) == 28 && offsetof(ConfigSecurity, ssh) == 24,
              "ConfigSecurity");
static_assert(sizeof(ConfigACLHost) == 132 && offsetof(ConfigACLHost, u) == 4, "ConfigACLHost");
static_assert(sizeof(ConfigVersion) == 140 && offsetof(ConfigVersion, swVersion) == 8 &&
                  offsetof(ConfigVersion, word34) == 4 * 34,
              "ConfigVersion");
static_assert(sizeof(ConfigHwStatus) == 32 && offsetof(ConfigHwStatus, memUsage) == 4,
              "ConfigHwStatus");
static_assert(sizeof(ConfigRedund) == 28, "ConfigRedund");
static_assert(sizeof(IfStatistics) == 36, "IfStatistics");
static_assert(sizeof(ConfigSGDispatching) == 20, "ConfigSGDispatching");
static_assert(sizeof(ConfigTask) == 104 && offsetof(ConfigTask, task) == 4, "ConfigTask");
static_assert(sizeof(OverSubscriptionData) == 136 && offsetof(OverSubscriptionData, data) == 8,
              "OverSubscriptionData");
static_assert(sizeof(SensorData) == 16, "SensorData");
static_assert(sizeof(CardInfo) == 44 && offsetof(CardInfo, info) == 16 &&
                  offsetof(CardInfo, word10) == 40,
              "CardInfo");

const char* const gDevmodeStr[DEVMODE_COUNT] = {"UNKNOWN_DEVMODE", "DEVMODE_ACTIVE", "DEVMODE_TAP",
                                                "DEVMODE_NA"};
const char* const gCardSysStatusStr[CARD_STATUS_COUNT] = {
    "", "CARD_STATUS_BYPASS", "CARD_STATUS_ACTIVE", "CARD_STATUS_STANDBY", "CARD_STATUS_NA"};

const char* devModeStr(unsigned mode) { return mode < DEVMODE_COUNT ? gDevmodeStr[mode] : nullptr; }
const char* cardStatusStr(unsigned status) {
    return status < CARD_STATUS_COUNT ? gCardSysStatusStr[status] : nullptr;
}

namespace {

// The words of records whose conversion does not depend on their content.
enum class Rec {
    None,
    OneWord,
    Command,
    Time,
    IfPair,
    Srv,
    Route,
    Sec,
    Acl,
    Ver,
    Hw,
    Redund,
    IfStat,
    SgDisp,
    Task,
    Oversub,
    Sensor,
    Card
};

struct Span {
    uint8_t first;
    uint8_t count;
};

struct Layout {
    Span a;
    Span b;  // second run of words, count 0 when there is none
};

Layout layoutOf(Rec rec) {
    switch (rec) {
        case Rec::None:
            return {{0, 0}, {0, 0}};
        case Rec::OneWord:
        case Rec::Time:
        case Rec::Acl:
        case Rec::Task:
            return {{0, 1}, {0, 0}};
        case Rec::Command:
        case Rec::Srv:
            return {{0, 3}, {0, 0}};
        case Rec::IfPair:
        case Rec::Oversub:
            return {{0, 2}, {0, 0}};
        case Rec::Route:
            return {{0, 1}, {4, 1}};
        case Rec::Sec:
        case Rec::Redund:
            return {{0, 7}, {0, 0}};
        case Rec::Ver:
            return {{0, 2}, {34, 1}};
        case Rec::Hw:
            return {{0, 8}, {0, 0}};
        case Rec::IfStat:
            return {{0, 9}, {0, 0}};
        case Rec::SgDisp:
            return {{0, 5}, {0, 0}};
        case Rec::Sensor:
            return {{0, 4}, {0, 0}};
        case Rec::Card:
            return {{0, 4}, {10, 1}};
    }
    return {{0, 0}, {0, 0}};
}

void convert(Rec rec, void* data) {
    Layout l = layoutOf(rec);
    swapWords(data, l.a.first, l.a.count);
    swapWords(data, l.b.first, l.b.count);
}

// Kind and member counts are read in host order whichever way we go, and a
// count is never trusted beyond the room the record has for members.
void convertNetIf(void* rec, Dir d) {
    uint32_t kind = hostWord(rec, 0, d);
    swapWords(rec, 0, 4);
    switch (kind) {
        case NETIF_KIND_ETH:
            swapWords(rec, 36, 8);
            break;
        case NETIF_KIND_IP: {
            uint32_t members = std::min(hostWord(rec, 36, d), NETIF_IP_MEMBERS);
            swapWords(rec, 36, 1 + members);
            swapWords(rec, 53, 1);
            break;
        }
        case NETIF_KIND_PORT:
            swapWords(rec, 36, 6);
            break;
        case NETIF_KIND_GROUP: {
            uint32_t members = std::min(hostWord(rec, 37, d), NETIF_GROUP_MEMBERS);
            swapWords(rec, 36, 2 + members);
            break;
        }
        default:
            break;
    }
}

Rec recordOfCommand(uint32_t cmd) {
    switch (cmd) {
        case CONFIG_TIME:
            return Rec::Time;
        case CONFIG_IFPAIR:
            return Rec::IfPair;
        case CONFIG_SRV_GET:
        case CONFIG_SRV_ADD:
        case CONFIG_SRV_DEL:
            return Rec::Srv;
        case CONFIG_ROUTE_GET:
        case CONFIG_ROUTE_ADD:
        case CONFIG_ROUTE_DEL:
            return Rec::Route;
        case CONFIG_SECURITY:
            return Rec::Sec;
        case CONFIG_ACL_GET:
        case CONFIG_ACL_ADD:
        case CONFIG_ACL_DEL:
            return Rec::Acl;
        case CONFIG_DEV_MODE:
        case CONFIG_BRIDGE:
        case CONFIG_SPT:
        case CONFIG_REDUNDANCY_CAP:
        case CONFIG_DOUBLE_SESS:
        case CONFIG_TARGET_BOOT_TIME:
        case CONFIG_DISPATCHING_MODE:
        case CONFIG_KA_PERIOD:
            return Rec::OneWord;
        case CONFIG_VERSION:
            return Rec::Ver;
        case CONFIG_HWSTATUS:
            return Rec::Hw;
        case CONFIG_REDUNDANCY:
            return Rec::Redund;
        case CONFIG_IF_STATISTICS:
            return Rec::IfStat;
        case CONFIG_SG_DISPATCHING:
            return Rec::SgDisp;
        default:
            return Rec::None;  // CONFIG_HOST and the gateways: texts and addresses
    }
}

// Byte arithmetic rather than member access: event data may sit anywhere.
void convertConfig(uint32_t cmd, void* all, Dir d) {
    void* record = static_cast<unsigned char*>(all) + offsetof(ConfigAll, data);
    if (cmd == CONFIG_IF)
        convertNetIf(record, d);
    else
        convert(recordOfCommand(cmd), record);
    swapWords(all, 0, 2);
}

void convertCards(void* cards, size_t count) {
    auto* bytes = static_cast<unsigned char*>(cards);
    for (size_t i = 0; i < count; ++i) convert(Rec::Card, bytes + i * sizeof(CardInfo));
}

// How the data of each event group is converted.
enum class EvData { Opaque, Config, Task, Oversub, Sensor, Cards };

struct EventRule {
    EvData kind;
    uint32_t cmd;        // for EvData::Config: the command whose record it holds
    bool onReceiptOnly;  // the sender puts these in network order itself
};

constexpr EventRule kOpaque{EvData::Opaque, 0, false};

EventRule eventRule(uint32_t grp) {
    switch (grp) {
        case EVENT_GRP_TIME:
            return {EvData::Config, CONFIG_TIME, false};
        case EVENT_GRP_IF:
        case EVENT_GRP_LINK:
            return {EvData::Config, CONFIG_IF, false};
        case EVENT_GRP_SERVER:
            return {EvData::Config, CONFIG_SRV_GET, false};
        case EVENT_GRP_ROUTE:
            return {EvData::Config, CONFIG_ROUTE_GET, false};
        case EVENT_GRP_SECURITY:
            return {EvData::Config, CONFIG_SECURITY, false};
        case EVENT_GRP_ACL:
            return {EvData::Config, CONFIG_ACL_GET, false};
        case EVENT_GRP_BRIDGE_LERN:
        case EVENT_GRP_BRIDGE_SPT:
        case EVENT_GRP_TAP:
        case EVENT_GRP_DOUBLE_SESS:
            return {EvData::Config, CONFIG_BRIDGE, false};
        case EVENT_GRP_REDUNDANCY:
            return {EvData::Config, CONFIG_REDUNDANCY, false};
        case EVENT_GRP_VERSION:
            return {EvData::Config, CONFIG_VERSION, false};
        case EVENT_GRP_HW_STATUS:
            return {EvData::Config, CONFIG_HWSTATUS, true};
        case EVENT_GRP_TASK:
            return {EvData::Task, 0, false};
        case EVENT_GRP_BW_OVERSUBSCRIPTION:
            return {EvData::Oversub, 0, false};
        case EVENT_GRP_CARD:
            return {EvData::Cards, 0, true};
        case EVENT_GRP_SENSOR:
            return {EvData::Sensor, 0, false};
        default:
            return kOpaque;
    }
}

void convertEvent(uint32_t grp, void* data, unsigned len, Dir d) {
    EventRule rule = eventRule(grp);
    if (data == nullptr || (rule.onReceiptOnly && d == Dir::ToNet)) return;
    switch (rule.kind) {
        case EvData::Config:
            if (len == sizeof(ConfigAll)) convertConfig(rule.cmd, data, d);
            break;
        case EvData::Task:
            if (len == sizeof(ConfigTask)) convert(Rec::Task, data);
            break;
        case EvData::Oversub:
            if (len == sizeof(OverSubscriptionData)) convert(Rec::Oversub, data);
            break;
        case EvData::Sensor:
            if (len == sizeof(SensorData)) convert(Rec::Sensor, data);
            break;
        case EvData::Cards:
            convertCards(data, len / sizeof(CardInfo));
            break;
        case EvData::Opaque:
            break;
    }
}

}  // namespace

void commandH2NOrder(KeeperCommand* cmd) { convert(Rec::Command, cmd); }
void commandN2HOrder(KeeperCommand* cmd) { convert(Rec::Command, cmd); }
void config_timeH2NOrder(ConfigTime* rec) { convert(Rec::Time, rec); }
void config_timeN2HOrder(ConfigTime* rec) { convert(Rec::Time, rec); }
void config_ifdataH2NOrder(ConfigNetIf* rec) { convertNetIf(rec, Dir::ToNet); }
void config_ifdataN2HOrder(ConfigNetIf* rec) { convertNetIf(rec, Dir::ToHost); }
void config_ifpairH2NOrder(ConfigIfPair* rec) { convert(Rec::IfPair, rec); }
void config_ifpairN2HOrder(ConfigIfPair* rec) { convert(Rec::IfPair, rec); }
void config_serverH2NOrder(ConfigSrv* rec) { convert(Rec::Srv, rec); }
void config_serverN2HOrder(ConfigSrv* rec) { convert(Rec::Srv, rec); }
void config_routeH2NOrder(ConfigRoute* rec) { convert(Rec::Route, rec); }
void config_routeN2HOrder(ConfigRoute* rec) { convert(Rec::Route, rec); }
void config_secH2NOrder(ConfigSecurity* rec) { convert(Rec::Sec, rec); }
void config_secN2HOrder(ConfigSecurity* rec) { convert(Rec::Sec, rec); }
void config_aclH2NOrder(ConfigACLHost* rec) { convert(Rec::Acl, rec); }
void config_aclN2HOrder(ConfigACLHost* rec) { convert(Rec::Acl, rec); }
void config_verH2NOrder(ConfigVersion* rec) { convert(Rec::Ver, rec); }
void config_verN2HOrder(ConfigVersion* rec) { convert(Rec::Ver, rec); }
void config_hwH2NOrder(ConfigHwStatus* rec) { convert(Rec::Hw, rec); }
void config_hwN2HOrder(ConfigHwStatus* rec) { convert(Rec::Hw, rec); }
void config_redundH2NOrder(ConfigRedund* rec) { convert(Rec::Redund, rec); }
void config_redundN2HOrder(ConfigRedund* rec) { convert(Rec::Redund, rec); }
void config_ifstatH2NOrder(IfStatistics* rec) { convert(Rec::IfStat, rec); }
void config_ifstatN2HOrder(IfStatistics* rec) { convert(Rec::IfStat, rec); }
void config_sgdispH2NOrder(ConfigSGDispatching* rec) { convert(Rec::SgDisp, rec); }
void config_sgdispN2HOrder(ConfigSGDispatching* rec) { convert(Rec::SgDisp, rec); }
void config_taskH2NOrder(ConfigTask* rec) { convert(Rec::Task, rec); }
void config_taskN2HOrder(ConfigTask* rec) { convert(Rec::Task, rec); }
void oversubscrH2NOrder(OverSubscriptionData* rec) { convert(Rec::Oversub, rec); }
void oversubscrN2HOrder(OverSubscriptionData* rec) { convert(Rec::Oversub, rec); }
void sensor_dataH2NOrder(SensorData* rec) { convert(Rec::Sensor, rec); }
void sensor_dataN2HOrder(SensorData* rec) { convert(Rec::Sensor, rec); }

void cadr_dataH2NOrder(CardInfo* cards, int count) {
    convertCards(cards, count > 0 ? unsigned(count) : 0);
}
void cadr_dataN2HOrder(CardInfo* cards, int count) {
    convertCards(cards, count > 0 ? unsigned(count) : 0);
}
void dpicListN2HOrder(CardInfo* cards, unsigned bytes) {
    convertCards(cards, bytes / sizeof(CardInfo));
}

void config_dataH2NOrder(ConfigCmd cmd, ConfigAll* all) { convertConfig(cmd, all, Dir::ToNet); }
void config_dataN2HOrder(ConfigCmd cmd, ConfigAll* all) { convertConfig(cmd, all, Dir::ToHost); }

void event_dataH2NOrder(EventGrp grp, void* data, unsigned len) {
    convertEvent(grp, data, len, Dir::ToNet);
}
void event_dataN2HOrder(EventGrp grp, void* data, unsigned len) {
    convertEvent(grp, data, len, Dir::ToHost);
}
