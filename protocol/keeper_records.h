// Payload records of the keeper protocol and their byte-order converters.
//
// Every record is a flat run of 32-bit words, IPv4 addresses and fixed
// character arrays, laid out identically by 32-bit and 64-bit builds (only
// fixed-width types, no pointers, no `long`). Converters work in place and
// swap integer words only: addresses stay in network order and texts are
// never touched, so H2N and N2H differ only where a record's own words
// (a kind or a member count) decide what else gets swapped.
#pragma once

#include <cstddef>
#include <cstdint>

// Width of the name and argument texts carried in messages.
constexpr size_t KEEPER_NAME_LEN = 100;

// ---------------------------------------------------------------------------
// Enumerations. A fixed underlying type makes every 32-bit value read from the
// wire a valid value of the enumeration, named or not.

enum ConfigCmd : uint32_t {
    CONFIG_TIME = 0,
    CONFIG_IF = 1,
    CONFIG_IFPAIR = 2,
    CONFIG_HOST = 3,
    CONFIG_INB_GATEWAY = 4,
    CONFIG_OOB_GATEWAY = 5,
    CONFIG_SRV_GET = 6,
    CONFIG_SRV_ADD = 7,
    CONFIG_SRV_DEL = 8,
    CONFIG_ROUTE_GET = 9,
    CONFIG_ROUTE_ADD = 10,
    CONFIG_ROUTE_DEL = 11,
    CONFIG_SECURITY = 12,
    CONFIG_ACL_GET = 13,
    CONFIG_ACL_ADD = 14,
    CONFIG_ACL_DEL = 15,
    CONFIG_DEV_MODE = 16,
    CONFIG_BRIDGE = 17,
    CONFIG_SPT = 18,
    CONFIG_REDUNDANCY_CAP = 19,
    CONFIG_VERSION = 20,
    CONFIG_HWSTATUS = 21,
    CONFIG_REDUNDANCY = 22,
    CONFIG_DOUBLE_SESS = 23,
    CONFIG_TARGET_BOOT_TIME = 24,
    CONFIG_DISPATCHING_MODE = 25,
    CONFIG_IF_STATISTICS = 26,
    CONFIG_SG_DISPATCHING = 27,
    // Unnamed on purpose (no trace name): asks the daemon for the client's
    // keep-alive period, answered in the first word of the record.
    CONFIG_KA_PERIOD = 28,
};
constexpr unsigned CONFIG_CMD_NAMED = 28;  // commands 0..27 have names

enum EventGrp : uint32_t {
    EVENT_GRP_TIME = 0,
    EVENT_GRP_IF = 1,
    EVENT_GRP_HOST = 2,
    EVENT_GRP_GATEWAY = 3,
    EVENT_GRP_SERVER = 4,
    EVENT_GRP_ROUTE = 5,
    EVENT_GRP_SECURITY = 6,
    EVENT_GRP_ACL = 7,
    EVENT_GRP_BRIDGE_LERN = 8,
    EVENT_GRP_BRIDGE_SPT = 9,
    EVENT_GRP_TAP = 10,
    EVENT_GRP_REDUNDANCY = 11,
    EVENT_GRP_LINK = 12,
    EVENT_GRP_TASK = 13,
    EVENT_GRP_VERSION = 14,
    EVENT_GRP_COMMAND = 15,
    EVENT_GRP_MANAGEMENT_MODE = 16,
    EVENT_GRP_DOUBLE_SESS = 17,
    EVENT_GRP_PS_COMMUNICATION = 18,
    EVENT_GRP_BW_OVERSUBSCRIPTION = 19,
    EVENT_GRP_HW_STATUS = 20,
    EVENT_GRP_CARD = 21,
    EVENT_GRP_NETSEGMENT = 22,
    EVENT_GRP_SG_DISPATCHING = 23,
    EVENT_GRP_WEB_UPDATE = 24,
    EVENT_GRP_SENSOR = 25,
    EVENT_GRP_ALL = 63,
};
constexpr unsigned EVENT_GRP_NAMED = 26;  // groups 0..25 have names
constexpr unsigned EVENT_GRP_LIMIT = 64;  // every group is below this
// Event ids are bits of a mask; this one stands for every id of a group.
constexpr uint32_t EVENT_ID_ALL = 0xFFFFFFFF;

enum CommandType : uint32_t {
    COMMAND_SHUTDOWN = 0,
    COMMAND_REBOOT = 1,
    COMMAND_BYPASS = 2,
    COMMAND_ACTIVE = 3,
    COMMAND_QUIT = 4,
    COMMAND_LINK_UP = 5,
    COMMAND_LINK_DOWN = 6,
    COMMAND_CREATE_SNAPSHOT = 7,
    COMMAND_REBOOT_DPICS = 8,
    COMMAND_RESTART_NTP = 9,
};

enum ShtdwnTechnique : uint32_t {
    SHUTDOWN_STOP = 0,
    SHUTDOWN_KILL = 1,
    SHUTDOWN_DELAY = 2,
};

enum DevMode : uint32_t {
    UNKNOWN_DEVMODE = 0,
    DEVMODE_ACTIVE = 1,
    DEVMODE_TAP = 2,
    DEVMODE_NA = 3,
};
constexpr unsigned DEVMODE_COUNT = 4;
extern const char* const gDevmodeStr[DEVMODE_COUNT];

enum CardSysStatus : uint32_t {
    CARD_STATUS_BYPASS = 1,
    CARD_STATUS_ACTIVE = 2,
    CARD_STATUS_STANDBY = 3,
    CARD_STATUS_NA = 4,
};
constexpr unsigned CARD_STATUS_COUNT = 5;  // index 0 has the empty name
extern const char* const gCardSysStatusStr[CARD_STATUS_COUNT];

// Bounded look-ups in the two tables above: null when out of range.
const char* devModeStr(unsigned mode);
const char* cardStatusStr(unsigned status);

// ---------------------------------------------------------------------------
// Records.

struct KeeperCommand {
    uint32_t type;       // CommandType
    uint32_t technique;  // ShtdwnTechnique
    uint32_t timer;      // seconds
};

struct ConfigTime {
    uint32_t time;  // seconds since the epoch; 0 = leave the clock alone
    char timeZone[252];
};

// Interface kinds and the room for their member lists.
constexpr uint32_t NETIF_KIND_ETH = 6;
constexpr uint32_t NETIF_KIND_IP = 132;
constexpr uint32_t NETIF_KIND_PORT = 172;  // port written without link settings
constexpr uint32_t NETIF_KIND_GROUP = 209;
constexpr uint32_t NETIF_IP_MEMBERS = 16;
constexpr uint32_t NETIF_GROUP_MEMBERS = 18;
// Live link state of an Ethernet port.
constexpr uint32_t NETIF_LINK_UP = 0;
constexpr uint32_t NETIF_LINK_DOWN = 1;

struct ConfigNetIfEth {  // kinds 6 and 172 (172 carries the first six words)
    uint32_t autoneg;
    uint32_t speed;
    uint32_t duplex;
    uint32_t liveSpeed;  // Mbit/s << 20
    uint32_t liveDuplex;
    uint32_t action;
    uint32_t linkState;  // NETIF_LINK_UP or NETIF_LINK_DOWN
    uint32_t supported;  // capability mask
    uint8_t hwAddr[6];
    uint8_t spare[42];
};

struct ConfigNetIfIp {  // kind 132
    uint32_t memberCount;
    uint32_t member[NETIF_IP_MEMBERS];  // the first is the underlying port
    uint32_t vlan;                      // all ones = none
    uint32_t address;                   // IPv4, network order
    uint32_t mask;                      // IPv4, network order
};

struct ConfigNetIfGroup {  // kind 209
    uint32_t sourceId;
    uint32_t memberCount;
    uint32_t member[NETIF_GROUP_MEMBERS];
};

struct ConfigNetIf {
    uint32_t kind;
    uint32_t role;
    uint32_t adminStatus;  // all ones in a request = leave unchanged
    uint32_t id;           // position in the interface table + 1
    char descr[128];
    union {
        ConfigNetIfEth eth;
        ConfigNetIfIp ip;
        ConfigNetIfGroup group;
        uint32_t word[20];
    } u;
    char name[16];
};

struct ConfigIfPair {
    uint32_t first;
    uint32_t second;
};

struct ConfigHost {
    char hostName[128];
    char domainName[128];
};

// Server types of ConfigSrv.
constexpr uint32_t SRV_TYPE_DNS = 1;
constexpr uint32_t SRV_TYPE_NTP = 6;

struct ConfigSrv {
    uint32_t type;    // SRV_TYPE_DNS, SRV_TYPE_NTP or another
    uint32_t byName;  // non-zero: name holds the server's name
    uint32_t order;
    union {
        uint32_t address;  // IPv4, network order
        char name[244];
    } u;
};

constexpr uint32_t ROUTE_TYPE_HOST = 0;
constexpr uint32_t ROUTE_TYPE_NET = 1;

struct ConfigRoute {
    uint32_t type;         // ROUTE_TYPE_HOST or ROUTE_TYPE_NET
    uint32_t destination;  // IPv4, network order
    uint32_t mask;         // IPv4, network order
    uint32_t gateway;      // IPv4, network order
    uint32_t device;       // device index
};

struct ConfigSecurity {
    uint32_t http;
    uint32_t telnet;
    uint32_t ping;
    uint32_t lcdconf;
    uint32_t tcpsec;
    uint32_t shellTimeout;  // seconds
    uint32_t ssh;
};

struct ConfigACLHost {
    uint32_t byName;  // non-zero: name holds the host's name
    union {
        uint32_t address;  // IPv4, network order
        char name[128];
    } u;
};

struct ConfigVersion {
    uint32_t serial;
    uint32_t word1;
    char swVersion[128];
    uint32_t word34;
};

// Words 1 to 3 are percentages, -1 when not measurable.
struct ConfigHwStatus {
    int32_t word0;
    int32_t memUsage;
    int32_t cpuUsage;
    int32_t diskUsage;
    int32_t word4;
    int32_t word5;
    int32_t word6;
    int32_t word7;
};

// Records that nothing in this system fills: their words carry no meaning
// here, only their conversion is fixed.
struct ConfigRedund {
    uint32_t word[7];
};
struct IfStatistics {
    uint32_t word[9];
};
struct ConfigSGDispatching {
    uint32_t word[5];
};
struct OverSubscriptionData {
    uint32_t word[2];
    uint8_t data[128];
};
struct SensorData {
    uint32_t word[4];
};
struct CardInfo {
    uint32_t word[4];
    uint8_t info[24];
    uint32_t word10;
};

// Status carried by a task-status event (EVENT_GRP_TASK).
enum ConfigTaskStatus : uint32_t { TASK_STATUS_UP = 1, TASK_STATUS_DOWN = 2 };

struct ConfigTask {
    uint32_t status;  // ConfigTaskStatus
    char task[KEEPER_NAME_LEN];
};

// Change masks: the id of a configuration-change event says what changed.
constexpr uint32_t TIME_CHANGED_CLOCK = 1;
constexpr uint32_t TIME_CHANGED_ZONE = 2;
constexpr uint32_t HOST_CHANGED_NAME = 1;
constexpr uint32_t HOST_CHANGED_DOMAIN = 2;
constexpr uint32_t IF_CHANGED_ADMIN = 1;
constexpr uint32_t IF_CHANGED_SPEED = 2;
constexpr uint32_t IF_CHANGED_DUPLEX = 4;
constexpr uint32_t IF_CHANGED_ACTION = 8;
constexpr uint32_t GATEWAY_CHANGED_OOB = 4;
constexpr uint32_t GATEWAY_CHANGED_INB = 8;
constexpr uint32_t SEC_CHANGED_TELNET = 1;
constexpr uint32_t SEC_CHANGED_PING = 4;
constexpr uint32_t SEC_CHANGED_TCPSEC = 16;
constexpr uint32_t SEC_CHANGED_SHELL_TIMEOUT = 32;
constexpr uint32_t SEC_CHANGED_SSH = 128;

// What a change to a list did, in ConfigAll's action word.
constexpr uint32_t CONFIG_ACTION_ADD = 1;
constexpr uint32_t CONFIG_ACTION_DEL = 6;

// Body of configuration requests and of configuration-change events.
struct ConfigAll {
    uint32_t cursor;
    uint32_t action;  // CONFIG_ACTION_ADD or _DEL after a list change
    union {
        uint8_t raw[256];
        uint32_t word[64];
        ConfigTime time;
        ConfigNetIf netIf;
        ConfigIfPair ifPair;
        ConfigHost host;
        ConfigSrv srv;
        ConfigRoute route;
        ConfigSecurity sec;
        ConfigACLHost acl;
        ConfigVersion ver;
        ConfigHwStatus hw;
        ConfigRedund redund;
        IfStatistics ifStat;
        ConfigSGDispatching sgDisp;
    } data;
};

// ---------------------------------------------------------------------------
// In-place converters: H2NOrder just before sending, N2HOrder right after
// receiving.

void commandH2NOrder(KeeperCommand* cmd);
void commandN2HOrder(KeeperCommand* cmd);
void config_timeH2NOrder(ConfigTime* rec);
void config_timeN2HOrder(ConfigTime* rec);
void config_ifdataH2NOrder(ConfigNetIf* rec);
void config_ifdataN2HOrder(ConfigNetIf* rec);
void config_ifpairH2NOrder(ConfigIfPair* rec);
void config_ifpairN2HOrder(ConfigIfPair* rec);
void config_serverH2NOrder(ConfigSrv* rec);
void config_serverN2HOrder(ConfigSrv* rec);
void config_routeH2NOrder(ConfigRoute* rec);
void config_routeN2HOrder(ConfigRoute* rec);
void config_secH2NOrder(ConfigSecurity* rec);
void config_secN2HOrder(ConfigSecurity* rec);
void config_aclH2NOrder(ConfigACLHost* rec);
void config_aclN2HOrder(ConfigACLHost* rec);
void config_verH2NOrder(ConfigVersion* rec);
void config_verN2HOrder(ConfigVersion* rec);
void config_hwH2NOrder(ConfigHwStatus* rec);
void config_hwN2HOrder(ConfigHwStatus* rec);
void config_redundH2NOrder(ConfigRedund* rec);
void config_redundN2HOrder(ConfigRedund* rec);
void config_ifstatH2NOrder(IfStatistics* rec);
void config_ifstatN2HOrder(IfStatistics* rec);
void config_sgdispH2NOrder(ConfigSGDispatching* rec);
void config_sgdispN2HOrder(ConfigSGDispatching* rec);
void config_taskH2NOrder(ConfigTask* rec);
void config_taskN2HOrder(ConfigTask* rec);
void oversubscrH2NOrder(OverSubscriptionData* rec);
void oversubscrN2HOrder(OverSubscriptionData* rec);
void sensor_dataH2NOrder(SensorData* rec);
void sensor_dataN2HOrder(SensorData* rec);
void cadr_dataH2NOrder(CardInfo* cards, int count);
void cadr_dataN2HOrder(CardInfo* cards, int count);
// Converts the whole cards that fit in `bytes`.
void dpicListN2HOrder(CardInfo* cards, unsigned bytes);

// Cursor and action, then the command's record (commands above 28 have none).
void config_dataH2NOrder(ConfigCmd cmd, ConfigAll* all);
void config_dataN2HOrder(ConfigCmd cmd, ConfigAll* all);

// Event data by group. Data of a length other than the group's own is left
// as it is; so are groups above 25.
void event_dataH2NOrder(EventGrp grp, void* data, unsigned len);
void event_dataN2HOrder(EventGrp grp, void* data, unsigned len);
