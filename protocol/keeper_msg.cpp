#include "protocol/keeper_msg.h"

#include <cstdio>
#include <cstring>

#include "protocol/wire_words.h"

using wire::Dir;
using wire::hostWord;
using wire::swapWords;

static_assert(sizeof(keeper_client_header) == 12, "keeper_client_header");
static_assert(offsetof(keeper_client_header, id) == 4 &&
                  offsetof(keeper_client_header, length) == 8,
              "keeper_client_header");
static_assert(sizeof(ack_msg) == 16 && offsetof(ack_msg, type) == 4 &&
                  offsetof(ack_msg, value) == 8 && offsetof(ack_msg, id) == 12,
              "ack_msg");
static_assert(sizeof(KeeperInitMsg) == 112 && offsetof(KeeperInitMsg, name) == 8 &&
                  offsetof(KeeperInitMsg, time) == 108,
              "KeeperInitMsg");
static_assert(sizeof(KeeperCbMsg) == 204 && offsetof(KeeperCbMsg, name2) == 104, "KeeperCbMsg");
static_assert(sizeof(KeeperRunCbMsg) == 304 && offsetof(KeeperRunCbMsg, callback) == 104 &&
                  offsetof(KeeperRunCbMsg, args) == 204,
              "KeeperRunCbMsg");
static_assert(sizeof(KeeperRunCbReply) == 104 && offsetof(KeeperRunCbReply, args) == 4,
              "KeeperRunCbReply");
static_assert(sizeof(KeeperValueMsg) == 104 && offsetof(KeeperValueMsg, name) == 4,
              "KeeperValueMsg");
static_assert(sizeof(KeeperRegEventMsg) == 12 && sizeof(KeeperEventMsg) == 12, "event messages");
static_assert(offsetof(KeeperEventMsg, group) == 4 && offsetof(KeeperEventMsg, length) == 8,
              "KeeperEventMsg");
static_assert(sizeof(KeeperSetTaskMsg) == 108 && offsetof(KeeperSetTaskMsg, task) == 8,
              "KeeperSetTaskMsg");
static_assert(sizeof(KeeperSetCheckMsg) == 200 && offsetof(KeeperSetCheckMsg, args) == 100,
              "KeeperSetCheckMsg");
static_assert(sizeof(KeeperConfigMsg) == 272 && offsetof(KeeperConfigMsg, status) == 4 &&
                  offsetof(KeeperConfigMsg, data) == 8,
              "KeeperConfigMsg");
static_assert(sizeof(KeeperListMsg) == 8, "KeeperListMsg");
static_assert(sizeof(KeeperStatusMsg) == 4, "KeeperStatusMsg");
static_assert(sizeof(KeeperReloadReply) == 4, "KeeperReloadReply");
static_assert(sizeof(KeeperPayload) == KEEPER_PAYLOAD_LEN, "KeeperPayload");

namespace {

// By type, in the order of keeperMsgType; 0 where nothing fixed travels.
constexpr unsigned kFixedLen[KEEPER_MSG_TYPES] = {
    KEEPER_NAME_LEN,            // KEEPER_SECONDARY_UP
    0,                          // KEEPER_START_SEQ
    sizeof(KeeperInitMsg),      // KEEPER_INIT
    sizeof(KeeperCbMsg),        // KEEPER_REGISTER_CB
    sizeof(KeeperRunCbMsg),     // KEEPER_RUN_CB
    0,                          // KEEPER_PRINT_PS
    0,                          // KEEPER_PRINT_FLAGS
    sizeof(KeeperValueMsg),     // KEEPER_PRINT_CB
    0,                          // KEEPER_PRINT_ACK
    sizeof(KeeperCbMsg),        // KEEPER_UNREGISTER_CB
    0,                          // KEEPER_CHECK_ALIVE
    sizeof(KeeperRegEventMsg),  // KEEPER_REGISTER_EVENT
    sizeof(KeeperEventMsg),     // KEEPER_NOTIFY_EVENT
    sizeof(KeeperSetTaskMsg),   // KEEPER_SET_TASK
    sizeof(KeeperSetCheckMsg),  // KEEPER_SET_CHECK
    sizeof(KeeperValueMsg),     // KEEPER_SET_FLAG
    sizeof(KeeperValueMsg),     // KEEPER_ACTION_ON_PS
    sizeof(KeeperValueMsg),     // KEEPER_ACTION_ON_CHECK
    0,                          // KEEPER_QUIT
    sizeof(KeeperConfigMsg),    // KEEPER_GET_CONFIG
    sizeof(KeeperConfigMsg),    // KEEPER_SET_CONFIG
    sizeof(KeeperCommand),      // KEEPER_COMMAND
    sizeof(KeeperListMsg),      // KEEPER_UNIT_STATUS
    sizeof(KeeperListMsg),      // KEEPER_UNIT_LIST
    0,                          // KEEPER_GET_UNIT_LIST
    KEEPER_STATISTICS_LEN,      // KEEPER_GET_STATISTICS
    sizeof(KeeperListMsg),      // KEEPER_GET_IF
    sizeof(ack_msg),            // KEEPER_MSG_ACKNOWLEDGE
    0,                          // KEEPER_GET_ACTIVE_DPICS
    sizeof(KeeperStatusMsg),    // KEEPER_PRINT_STATUS
    0,                          // KEEPER_RELOAD (the request; see KeeperReloadReply)
};

const char* const kMsgTypeNames[KEEPER_MSG_TYPES] = {
    "KEEPER_SECONDARY_UP",
    "KEEPER_START_SEQ",
    "KEEPER_INIT",
    "KEEPER_REGISTER_CB",
    "KEEPER_RUN_CB",
    "KEEPER_PRINT_PS",
    "KEEPER_PRINT_FLAGS",
    "KEEPER_PRINT_CB",
    "KEEPER_PRINT_ACK",
    "KEEPER_UNREGISTER_CB",
    "KEEPER_CHECK_ALIVE",
    "KEEPER_REGISTER_EVENT",
    "KEEPER_NOTIFY_EVENT",
    "KEEPER_SET_TASK",
    "KEEPER_SET_CHECK",
    "KEEPER_SET_FLAG",
    "KEEPER_ACTION_ON_PS",
    "KEEPER_ACTION_ON_CHECK",
    "KEEPER_QUIT",
    "KEEPER_GET_CONFIG",
    "KEEPER_SET_CONFIG",
    "KEEPER_COMMAND",
    "KEEPER_UNIT_STATUS",
    "KEEPER_UNIT_LIST",
    "KEEPER_GET_UNIT_LIST",
    "KEEPER_GET_STATISTICS",
    "KEEPER_GET_IF",
    "KEEPER_MSG_ACKNOWLEDGE",
    "KEEPER_GET_ACTIVE_DPICS",
    "KEEPER_PRINT_STATUS",
    "KEEPER_RELOAD",
};

const char* const kConfigCmdNames[CONFIG_CMD_NAMED] = {
    "CONFIG_TIME",
    "CONFIG_IF",
    "CONFIG_IFPAIR",
    "CONFIG_HOST",
    "CONFIG_INB_GATEWAY",
    "CONFIG_OOB_GATEWAY",
    "CONFIG_SRV_GET",
    "CONFIG_SRV_ADD",
    "CONFIG_SRV_DEL",
    "CONFIG_ROUTE_GET",
    "CONFIG_ROUTE_ADD",
    "CONFIG_ROUTE_DEL",
    "CONFIG_SECURITY",
    "CONFIG_ACL_GET",
    "CONFIG_ACL_ADD",
    "CONFIG_ACL_DEL",
    "CONFIG_DEV_MODE",
    "CONFIG_BRIDGE",
    "CONFIG_SPT",
    "CONFIG_REDUNDANCY_CAP",
    "CONFIG_VERSION",
    "CONFIG_HWSTATUS",
    "CONFIG_REDUNDANCY",
    "CONFIG_DOUBLE_SESS",
    "CONFIG_TARGET_BOOT_TIME",
    "CONFIG_DISPATCHING_MODE",
    "CONFIG_IF_STATISTICS",
    "CONFIG_SG_DISPATCHING",
};

const char* const kEventGrpNames[EVENT_GRP_NAMED] = {
    "EVENT_GRP_TIME",
    "EVENT_GRP_IF",
    "EVENT_GRP_HOST",
    "EVENT_GRP_GATEWAY",
    "EVENT_GRP_SERVER",
    "EVENT_GRP_ROUTE",
    "EVENT_GRP_SECURITY",
    "EVENT_GRP_ACL",
    "EVENT_GRP_BRIDGE_LERN",
    "EVENT_GRP_BRIDGE_SPT",
    "EVENT_GRP_TAP",
    "EVENT_GRP_REDUNDANCY",
    "EVENT_GRP_LINK",
    "EVENT_GRP_TASK",
    "EVENT_GRP_VERSION",
    "EVENT_GRP_COMMAND",
    "EVENT_GRP_MANAGEMENT_MODE",
    "EVENT_GRP_DOUBLE_SESS",
    "EVENT_GRP_PS_COMMUNICATION",
    "EVENT_GRP_BW_OVERSUBSCRIPTION",
    "EVENT_GRP_HW_STATUS",
    "EVENT_GRP_CARD",
    "EVENT_GRP_NETSEGMENT",
    "EVENT_GRP_SG_DISPATCHING",
    "EVENT_GRP_WEB_UPDATE",
    "EVENT_GRP_SENSOR",
};

const char* const kCommandNames[] = {
    "COMMAND_SHUTDOWN",     "COMMAND_REBOOT",      "COMMAND_BYPASS",    "COMMAND_ACTIVE",
    "COMMAND_QUIT",         "COMMAND_LINK_UP",     "COMMAND_LINK_DOWN", "COMMAND_CREATE_SNAPSHOT",
    "COMMAND_REBOOT_DPICS", "COMMAND_RESTART_NTP",
};
const char* const kTechniqueNames[] = {"SHUTDOWN_STOP", "SHUTDOWN_KILL", "SHUTDOWN_DELAY", "NA"};

template <typename T, size_t N>
const char* nameAt(const T (&table)[N], unsigned idx) {
    return idx < N ? table[idx] : nullptr;
}

}  // namespace

void headerH2NOrder(keeper_client_header* hdr) { swapWords(hdr, 0, 3); }
void headerN2HOrder(keeper_client_header* hdr) { swapWords(hdr, 0, 3); }
void acknowledgeH2NOrder(ack_msg* ack) { swapWords(ack, 0, 4); }
void acknowledgeN2HOrder(ack_msg* ack) { swapWords(ack, 0, 4); }

unsigned keeperFixedPayloadLen(unsigned type) {
    return type < KEEPER_MSG_TYPES ? kFixedLen[type] : 0;
}

bool keeperIsListType(unsigned type) {
    switch (type) {
        case KEEPER_UNIT_STATUS:
        case KEEPER_UNIT_LIST:
        case KEEPER_GET_UNIT_LIST:
        case KEEPER_GET_IF:
        case KEEPER_GET_ACTIVE_DPICS:
            return true;
        default:
            return false;
    }
}

int keeperWireBodyLen(const keeper_client_header& hdr) {
    unsigned limit = hdr.type == KEEPER_NOTIFY_EVENT
                         ? sizeof(KeeperEventMsg) + KEEPER_MAX_EVENT_DATA
                         : KEEPER_MAX_PAYLOAD;
    return hdr.length <= limit ? static_cast<int>(hdr.length) : -1;
}

int keeperChkBuf(const unsigned char* data, int len) {
    if (data == nullptr || len < static_cast<int>(KEEPER_HEADER_LEN)) return KEEPER_HEADER_LEN;
    keeper_client_header hdr;
    std::memcpy(&hdr, data, sizeof hdr);
    headerN2HOrder(&hdr);
    int body = keeperWireBodyLen(hdr);
    return KEEPER_HEADER_LEN + (body < 0 ? 0 : body);
}

std::vector<unsigned char> keeperFrame(uint32_t type, uint32_t id, const void* data, uint32_t len) {
    keeper_client_header hdr{type, id, len};
    headerH2NOrder(&hdr);
    std::vector<unsigned char> out(KEEPER_HEADER_LEN + len);
    std::memcpy(out.data(), &hdr, sizeof hdr);
    if (data != nullptr && len != 0) std::memcpy(out.data() + KEEPER_HEADER_LEN, data, len);
    return out;
}

// ---------------------------------------------------------------------------

GeneralMsg::GeneralMsg(int type) : type_(static_cast<uint32_t>(type)) {
    std::memset(&payload, 0, sizeof payload);
    _set_msg_struct_len();
}

GeneralMsg::~GeneralMsg() = default;

void GeneralMsg::_set_msg_struct_len() { payloadLen_ = keeperFixedPayloadLen(type_); }

void GeneralMsg::msgDataN2HOrder() { convertPayload(true); }
void GeneralMsg::msgDataH2NOrder() { convertPayload(false); }

void GeneralMsg::convertPayload(bool toHost) {
    Dir d = toHost ? Dir::ToHost : Dir::ToNet;
    void* p = payload.bytes;
    switch (type_) {
        case KEEPER_INIT:
            swapWords(p, 0, 2);
            swapWords(p, offsetof(KeeperInitMsg, time) / 4, 1);
            break;
        case KEEPER_REGISTER_CB:
        case KEEPER_RUN_CB:
        case KEEPER_PRINT_CB:
        case KEEPER_UNREGISTER_CB:
        case KEEPER_SET_FLAG:
        case KEEPER_ACTION_ON_PS:
        case KEEPER_ACTION_ON_CHECK:
        case KEEPER_PRINT_STATUS:
            swapWords(p, 0, 1);
            break;
        case KEEPER_REGISTER_EVENT:
        case KEEPER_NOTIFY_EVENT:
            swapWords(p, 0, 3);
            break;
        case KEEPER_SET_TASK:
        case KEEPER_UNIT_STATUS:
        case KEEPER_UNIT_LIST:
        case KEEPER_GET_IF:
            swapWords(p, 0, 2);
            break;
        case KEEPER_GET_CONFIG:
        case KEEPER_SET_CONFIG: {
            // The command selects the record, so read it in host order first.
            auto cmd = static_cast<ConfigCmd>(hostWord(p, 0, d));
            swapWords(p, 1, 1);
            if (toHost)
                config_dataN2HOrder(cmd, &payload.config.data);
            else
                config_dataH2NOrder(cmd, &payload.config.data);
            swapWords(p, 0, 1);
            break;
        }
        case KEEPER_COMMAND:
            commandN2HOrder(&payload.command);
            break;
        case KEEPER_MSG_ACKNOWLEDGE:
            acknowledgeN2HOrder(&payload.ack);
            break;
        default:
            break;
    }
}

keeperStatus GeneralMsg::allocEventDataBuff() {
    if (type_ != KEEPER_NOTIFY_EVENT || payload.event.length > KEEPER_MAX_EVENT_DATA)
        return KEEPER_FAIL;
    eventGrp = payload.event.group;
    eventId = payload.event.id;
    eventDataLen_ = payload.event.length;
    std::memset(&payload, 0, sizeof payload);
    eventData_.reset(eventDataLen_ != 0 ? new uint8_t[eventDataLen_]() : nullptr);
    return KEEPER_OK;
}

keeperStatus GeneralMsg::allocDataListBuff(unsigned total, int count) {
    unsigned fixed = keeperFixedPayloadLen(type_);
    if (!keeperIsListType(type_) || total < fixed || total > KEEPER_MAX_PAYLOAD) return KEEPER_FAIL;
    if (total != payloadLen_) {
        listLen_ = total - fixed;
        list_.reset(listLen_ != 0 ? new uint8_t[listLen_]() : nullptr);
        payloadLen_ = total;
    }
    if (count >= 0) payload.list.count = static_cast<uint32_t>(count);
    return KEEPER_OK;
}

void GeneralMsg::setListing(const char* text, size_t len) {
    if (text == nullptr) len = 0;
    listing_.assign(text != nullptr ? text : "", len);
}

keeperStatus GeneralMsg::setEvent(uint32_t group, uint32_t id, const void* data, uint32_t len) {
    if (type_ != KEEPER_NOTIFY_EVENT || group >= EVENT_GRP_LIMIT || len > KEEPER_MAX_EVENT_DATA ||
        (data == nullptr) != (len == 0))
        return KEEPER_FAIL;
    eventGrp = group;
    eventId = id;
    eventDataLen_ = len;
    eventData_.reset(len != 0 ? new uint8_t[len] : nullptr);
    if (len != 0) std::memcpy(eventData_.get(), data, len);
    return KEEPER_OK;
}

keeperStatus GeneralMsg::fromWire(const keeper_client_header& hdr, const uint8_t* body) {
    if (hdr.type != type_ || keeperWireBodyLen(hdr) < 0 || (hdr.length != 0 && body == nullptr))
        return KEEPER_FAIL;
    if (type_ == KEEPER_NOTIFY_EVENT) {
        constexpr unsigned fixed = sizeof(KeeperEventMsg);
        if (hdr.length < fixed) return KEEPER_FAIL;
        std::memcpy(payload.bytes, body, fixed);
        msgDataN2HOrder();
        // The announced data must be exactly what the header frames.
        if (payload.event.length != hdr.length - fixed || allocEventDataBuff() != KEEPER_OK)
            return KEEPER_FAIL;
        if (eventDataLen_ != 0) std::memcpy(eventData_.get(), body + fixed, eventDataLen_);
        return KEEPER_OK;
    }
    if (type_ == KEEPER_PRINT_ACK) {
        setListing(reinterpret_cast<const char*>(body), hdr.length);
        return KEEPER_OK;
    }
    if (keeperIsListType(type_)) {
        unsigned fixed = payloadLen_;
        if (hdr.length < fixed) return KEEPER_FAIL;
        if (fixed != 0) std::memcpy(payload.bytes, body, fixed);
        msgDataN2HOrder();
        if (allocDataListBuff(hdr.length) != KEEPER_OK) return KEEPER_FAIL;
        if (listLen_ != 0) std::memcpy(list_.get(), body + fixed, listLen_);
        return KEEPER_OK;
    }
    if (hdr.length != payloadLen_) return KEEPER_FAIL;
    if (payloadLen_ != 0) std::memcpy(payload.bytes, body, payloadLen_);
    msgDataN2HOrder();
    return KEEPER_OK;
}

std::vector<unsigned char> GeneralMsg::wireBody() const {
    if (type_ == KEEPER_NOTIFY_EVENT) {
        KeeperEventMsg fixed{eventId, eventGrp, eventDataLen_};
        swapWords(&fixed, 0, 3);
        std::vector<unsigned char> body(sizeof fixed + eventDataLen_);
        std::memcpy(body.data(), &fixed, sizeof fixed);
        if (eventDataLen_ != 0)
            std::memcpy(body.data() + sizeof fixed, eventData_.get(), eventDataLen_);
        return body;
    }
    if (type_ == KEEPER_PRINT_ACK)
        return std::vector<unsigned char>(listing_.begin(), listing_.end());
    std::vector<unsigned char> body(payload.bytes, payload.bytes + (payloadLen_ - listLen_));
    if (listLen_ != 0) body.insert(body.end(), list_.get(), list_.get() + listLen_);
    return body;
}

std::vector<unsigned char> GeneralMsg::toWire(uint32_t id) const {
    std::vector<unsigned char> body = wireBody();
    return keeperFrame(type_, id, body.data(), static_cast<uint32_t>(body.size()));
}

// ---------------------------------------------------------------------------

const char* keeperMgsTypeStr(unsigned type) { return nameAt(kMsgTypeNames, type); }
const char* configCmdStr(unsigned cmd) { return nameAt(kConfigCmdNames, cmd); }

const char* eventGrpStr(unsigned group) {
    return group == EVENT_GRP_ALL ? "EVENT_GRP_ALL" : nameAt(kEventGrpNames, group);
}

const char* keeperCommandStr(const KeeperCommand* cmd, char* buf, size_t size) {
    if (size == 0) return buf;
    buf[0] = '\0';
    if (cmd == nullptr) return buf;
    const char* type = nameAt(kCommandNames, cmd->type);
    const char* technique = nameAt(kTechniqueNames, cmd->technique);
    if (type != nullptr && technique != nullptr)
        std::snprintf(buf, size, "command type:%s(%u), technique:%s(%u), timer:%u", type,
                      static_cast<unsigned>(cmd->type), technique,
                      static_cast<unsigned>(cmd->technique), static_cast<unsigned>(cmd->timer));
    return buf;
}

const char* keeperCommandStr(const KeeperCommand* cmd) {
    static char text[KEEPER_COMMAND_STR_LEN];
    return keeperCommandStr(cmd, text, sizeof text);
}
