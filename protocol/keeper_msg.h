// Framing of keeper messages: the header, the message types with their fixed
// payloads, result codes, the acknowledgement record, the in-memory message
// GeneralMsg and the names used in traces.
//
// Nothing here does I/O: the daemon and the client read and write the bytes
// themselves and use these types to frame, check and convert them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/keeper_records.h"

// Precedes every message; all three words travel in network order.
struct keeper_client_header {
    uint32_t type;    // keeperMsgType
    uint32_t id;      // the sender's own message counter
    uint32_t length;  // payload bytes that follow
};
constexpr unsigned KEEPER_HEADER_LEN = sizeof(keeper_client_header);

void headerH2NOrder(keeper_client_header* hdr);
void headerN2HOrder(keeper_client_header* hdr);

enum keeperMsgType : uint32_t {
    KEEPER_SECONDARY_UP = 0,
    KEEPER_START_SEQ = 1,
    KEEPER_INIT = 2,
    KEEPER_REGISTER_CB = 3,
    KEEPER_RUN_CB = 4,
    KEEPER_PRINT_PS = 5,
    KEEPER_PRINT_FLAGS = 6,
    KEEPER_PRINT_CB = 7,
    KEEPER_PRINT_ACK = 8,
    KEEPER_UNREGISTER_CB = 9,
    KEEPER_CHECK_ALIVE = 10,
    KEEPER_REGISTER_EVENT = 11,
    KEEPER_NOTIFY_EVENT = 12,
    KEEPER_SET_TASK = 13,
    KEEPER_SET_CHECK = 14,
    KEEPER_SET_FLAG = 15,
    KEEPER_ACTION_ON_PS = 16,
    KEEPER_ACTION_ON_CHECK = 17,
    KEEPER_QUIT = 18,
    KEEPER_GET_CONFIG = 19,
    KEEPER_SET_CONFIG = 20,
    KEEPER_COMMAND = 21,
    KEEPER_UNIT_STATUS = 22,
    KEEPER_UNIT_LIST = 23,
    KEEPER_GET_UNIT_LIST = 24,
    KEEPER_GET_STATISTICS = 25,
    KEEPER_GET_IF = 26,
    KEEPER_MSG_ACKNOWLEDGE = 27,
    KEEPER_GET_ACTIVE_DPICS = 28,
    KEEPER_PRINT_STATUS = 29,
    KEEPER_RELOAD = 30,
};
constexpr unsigned KEEPER_MSG_TYPES = 31;

// Result of every keeper operation, and the status word on the wire.
enum keeperStatus : uint32_t {
    KEEPER_OK = 0,
    KEEPER_OK_REBOOT = 1,  // done; the host must reboot for it to take effect
    KEEPER_FAIL = 2,
    KEEPER_CLOSED = 3,  // the peer closed the connection
    KEEPER_NO_CHANGE = 4,
};

// Event data a receiver accepts at most: a peer must not choose how much
// memory we allocate.
constexpr unsigned KEEPER_MAX_EVENT_DATA = 512;
// Largest payload of any message (listings included) a receiver accepts.
constexpr unsigned KEEPER_MAX_PAYLOAD = 1u << 20;

// Fixed payload length of a type; 0 for types without one and unknown ones.
unsigned keeperFixedPayloadLen(unsigned type);
// Types whose payload goes on past the fixed part: listings and unit lists.
bool keeperIsListType(unsigned type);

// Framing of a byte stream: how many payload bytes follow this header
// (host order), or -1 when no receiver may accept the message and the
// connection cannot be kept in step (oversized event data or payload).
// Whether the length suits the type is GeneralMsg::fromWire's business.
int keeperWireBodyLen(const keeper_client_header& hdr);

// For EvHandler::chkBuf on a framed socket: the size of the next unit in
// `data` (network order as received): the header first, then header and
// payload. A message that keeperWireBodyLen refuses is announced as its
// header alone, so that the handler sees it and closes the connection.
int keeperChkBuf(const unsigned char* data, int len);

// One message as sent: header in network order, then len bytes of data
// (already in network order) when data is given.
std::vector<unsigned char> keeperFrame(uint32_t type, uint32_t id, const void* data, uint32_t len);

// Payload of KEEPER_MSG_ACKNOWLEDGE.
struct ack_msg {
    uint32_t status;  // keeperStatus
    uint32_t type;    // acknowledged message type
    uint32_t value;   // a value of the acknowledged operation
    uint32_t id;      // acknowledged message id
};
void acknowledgeH2NOrder(ack_msg* ack);
void acknowledgeN2HOrder(ack_msg* ack);

// ---------------------------------------------------------------------------
// Values of the payload words that select what a request does.

// Keeper type announced in KEEPER_INIT. The daemon binds the connection to a
// task for a program or a reconnect, accepts a quiet announcement without
// binding anything and refuses any other type, none included.
enum KeeperInitType : uint32_t {
    KEEPER_INIT_NONE = 0,       // not chosen yet
    KEEPER_INIT_PROGRAM = 1,    // a program of the system
    KEEPER_INIT_RECONNECT = 2,  // sent after a reconnect when none was chosen
    KEEPER_INIT_QUIET = 3,
};

// Whose callbacks KEEPER_RUN_CB and KEEPER_PRINT_CB address.
enum CallbackKind : uint32_t {
    CB_KIND_KEEPER = 0,   // the daemon's own
    CB_KIND_REFUSED = 1,  // always refused
    CB_KIND_TASK = 2,     // the named task's (as is any other value)
};

// KEEPER_ACTION_ON_PS.
enum TaskAction : uint32_t {
    TASK_ACTION_START = 0,
    TASK_ACTION_KILL = 1,
    TASK_ACTION_RESTART = 2,
};

// KEEPER_ACTION_ON_CHECK; any other value does nothing.
enum CheckAction : uint32_t {
    CHECK_ACTION_START = 0,
    CHECK_ACTION_STOP = 1,
};

// KEEPER_PRINT_STATUS: how the status is written; any other value is a table.
enum StatusForm : uint32_t {
    STATUS_FORM_TABLE = 0,
    STATUS_FORM_JSON = 1,
};

// KEEPER_REGISTER_EVENT.
enum EventOperation : uint32_t {
    EVENT_OP_REGISTER = 0,
    EVENT_OP_UNREGISTER = 1,
};

// ---------------------------------------------------------------------------
// Fixed payloads by type.

struct KeeperInitMsg {    // KEEPER_INIT
    uint32_t keeperType;  // KeeperInitType
    uint32_t pid;
    char name[KEEPER_NAME_LEN];
    uint32_t time;  // seconds since the epoch
};

struct KeeperCbMsg {  // KEEPER_REGISTER_CB, KEEPER_UNREGISTER_CB
    uint32_t cbId;
    char name[KEEPER_NAME_LEN];
    char name2[KEEPER_NAME_LEN];
};

struct KeeperRunCbMsg {  // KEEPER_RUN_CB, client to daemon
    uint32_t kind;       // CallbackKind
    char task[KEEPER_NAME_LEN];
    char callback[KEEPER_NAME_LEN];
    char args[KEEPER_NAME_LEN];
};

struct KeeperRunCbReply {  // KEEPER_RUN_CB, daemon to client (at most 104 bytes)
    uint32_t cbId;
    char args[KEEPER_NAME_LEN];
};

// KEEPER_PRINT_CB (kind, task), KEEPER_SET_FLAG (value, flag),
// KEEPER_ACTION_ON_PS and KEEPER_ACTION_ON_CHECK (action, name).
struct KeeperValueMsg {
    uint32_t value;
    char name[KEEPER_NAME_LEN];
};

struct KeeperRegEventMsg {  // KEEPER_REGISTER_EVENT
    uint32_t operation;     // EventOperation
    uint32_t group;
    uint32_t id;
};

struct KeeperEventMsg {  // fixed part of KEEPER_NOTIFY_EVENT
    uint32_t id;
    uint32_t group;
    uint32_t length;  // event data bytes that follow
};

struct KeeperSetTaskMsg {  // KEEPER_SET_TASK
    uint32_t mode;
    uint32_t second;
    char task[KEEPER_NAME_LEN];
};

struct KeeperSetCheckMsg {  // KEEPER_SET_CHECK
    char check[KEEPER_NAME_LEN];
    char args[KEEPER_NAME_LEN];
};

struct KeeperConfigMsg {  // KEEPER_GET_CONFIG, KEEPER_SET_CONFIG
    uint32_t cmd;         // ConfigCmd
    uint32_t status;      // keeperStatus
    ConfigAll data;
};

struct KeeperStatusMsg {  // KEEPER_PRINT_STATUS
    uint32_t form;        // StatusForm
};

// KEEPER_RELOAD: the request has no payload; the daemon answers with a
// message of the same type carrying this, once it has decided the reload
// and before it stops any program. The status is KEEPER_OK (applied),
// KEEPER_FAIL (refused, nothing changed) or KEEPER_NO_CHANGE.
struct KeeperReloadReply {
    uint32_t status;  // keeperStatus
};

struct KeeperListMsg {  // fixed part of KEEPER_UNIT_STATUS, _UNIT_LIST, _GET_IF
    uint32_t status;
    uint32_t count;
};

constexpr unsigned KEEPER_PAYLOAD_LEN = sizeof(KeeperRunCbMsg);  // the largest fixed payload
// KEEPER_GET_STATISTICS carries this many bytes that nothing here reads.
constexpr unsigned KEEPER_STATISTICS_LEN = 40;

union KeeperPayload {
    uint8_t bytes[KEEPER_PAYLOAD_LEN];
    uint32_t word[KEEPER_PAYLOAD_LEN / 4];
    char name[KEEPER_NAME_LEN];  // KEEPER_SECONDARY_UP
    KeeperInitMsg init;
    KeeperCbMsg cb;
    KeeperRunCbMsg runCb;
    KeeperRunCbReply runCbReply;
    KeeperValueMsg value;
    KeeperRegEventMsg regEvent;
    KeeperEventMsg event;
    KeeperSetTaskMsg setTask;
    KeeperSetCheckMsg setCheck;
    KeeperConfigMsg config;
    KeeperCommand command;
    KeeperListMsg list;
    KeeperStatusMsg status;
    ack_msg ack;
};

// ---------------------------------------------------------------------------

// One received request or outgoing reply. Its variable parts (event data,
// list, listing text) are owned buffers kept outside the payload, so the
// payload holds wire bytes only and looks the same on every host.
class GeneralMsg {
public:
    explicit GeneralMsg(int type);
    virtual ~GeneralMsg();
    GeneralMsg(const GeneralMsg&) = delete;
    GeneralMsg& operator=(const GeneralMsg&) = delete;

    uint32_t type() const { return type_; }

    // KEEPER_NOTIFY_EVENT: taken from the payload. KEEPER_SET_CONFIG: the
    // configuration-change event to broadcast (eventId holds the change mask).
    uint32_t eventGrp = 0;
    uint32_t eventId = 0;
    // KEEPER_SET_CONFIG in the daemon, never on the wire: when not 0, the
    // reply waits for a program under this token (keeper/pending_replies.h).
    uint32_t replyToken = 0;
    KeeperPayload payload;

    uint32_t eventDataLen() const { return eventDataLen_; }
    // The fixed payload length of the type, or, once a list is attached, the
    // fixed part and the list together.
    uint32_t payloadLen() const { return payloadLen_; }

    void _set_msg_struct_len();

    // Converts the fixed payload by type after receiving / before sending.
    // msgDataH2NOrder is the exact mirror of msgDataN2HOrder.
    void msgDataN2HOrder();
    void msgDataH2NOrder();

    // KEEPER_NOTIFY_EVENT, after its 12-byte fixed payload was read and
    // converted: moves group and id into their fields, clears the payload and
    // allocates the event data. Refuses (KEEPER_FAIL, nothing allocated) other
    // types and data longer than KEEPER_MAX_EVENT_DATA.
    keeperStatus allocEventDataBuff();
    uint8_t* eventData() { return eventData_.get(); }
    const uint8_t* eventData() const { return eventData_.get(); }

    // List types: attaches a zeroed list of total - fixed payload bytes and
    // makes total the payload length; a count >= 0 goes into the payload's
    // count word (host order: msgDataH2NOrder converts it with the rest).
    keeperStatus allocDataListBuff(unsigned total, int count = -1);
    uint8_t* listData() { return list_.get(); }
    const uint8_t* listData() const { return list_.get(); }
    uint32_t listLen() const { return listLen_; }

    // Listing text answered with KEEPER_PRINT_ACK (copied).
    void setListing(const char* text, size_t len);
    const std::string& listing() const { return listing_; }

    // Sender side of KEEPER_NOTIFY_EVENT: copies data as given (convert it
    // with event_dataH2NOrder first where the group asks for it). Refuses a
    // group >= 64, data longer than KEEPER_MAX_EVENT_DATA, and data and len
    // not both present or both absent.
    keeperStatus setEvent(uint32_t group, uint32_t id, const void* data, uint32_t len);

    // Receiver side of one complete message: hdr in host order, body holding
    // hdr.length bytes. Checks the length against the type, copies, converts
    // and fills the variable part. KEEPER_FAIL leaves the message unusable.
    keeperStatus fromWire(const keeper_client_header& hdr, const uint8_t* body);

    // The message as sent: header, payload (already in network order), then
    // the variable part (event data, list, or for KEEPER_PRINT_ACK the
    // listing). A daemon answering KEEPER_PRINT_* frames the request's
    // listing() with keeperFrame(KEEPER_PRINT_ACK, ...).
    std::vector<unsigned char> toWire(uint32_t id) const;

private:
    void convertPayload(bool toHost);
    std::vector<unsigned char> wireBody() const;

    uint32_t type_;
    uint32_t eventDataLen_ = 0;
    uint32_t payloadLen_ = 0;
    std::unique_ptr<uint8_t[]> eventData_;
    std::unique_ptr<uint8_t[]> list_;
    uint32_t listLen_ = 0;
    std::string listing_;
};

// ---------------------------------------------------------------------------
// Names for traces: constant texts, or null when out of range.

// "Mgs" as the system's interface spells it.
const char* keeperMgsTypeStr(unsigned type);
const char* configCmdStr(unsigned cmd);
const char* eventGrpStr(unsigned group);
// Room for the text of keeperCommandStr.
constexpr size_t KEEPER_COMMAND_STR_LEN = 128;
// "command type:%s(%u), technique:%s(%u), timer:%u" into buf, cut to fit;
// empty for a null command or an unknown type or technique. Returns buf.
const char* keeperCommandStr(const KeeperCommand* cmd, char* buf, size_t size);
// The same in a static buffer shared by every thread, each call overwriting
// the text of the last: not thread-safe.
const char* keeperCommandStr(const KeeperCommand* cmd);
