#include "keeper/client_handler.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "keeper/keeper_srv.h"
#include "reactor/ev_engine.h"
#include "reactor/ev_sock.h"
#include "support/ev_debug.h"

namespace {

// The largest request the daemon reads whole: an event with all its data.
// Every fixed payload is smaller; a longer message is refused unread.
const uint32_t kLargestRequest = sizeof(KeeperEventMsg) + KEEPER_MAX_EVENT_DATA;

// A refused payload is read away in pieces of at most this size, so that a
// connection never holds more than this for it.
const uint32_t kDiscardChunk = 64 * 1024;

const char* type_name(unsigned type) {
    const char* name = keeperMgsTypeStr(type);
    return name ? name : "";
}

// The change event carries the record as the reply took it out, in network
// order.
void announce_change(KeeperSrv* keeper, const GeneralMsg& wire_msg, uint32_t status) {
    ConfigAll change = wire_msg.payload.config.data;
    if ((status == KEEPER_OK || status == KEEPER_OK_REBOOT) && wire_msg.eventGrp != EVENT_GRP_NONE)
        keeper->send_event(wire_msg.eventGrp, wire_msg.eventId, &change, sizeof change);
}

keeper_client_header host_header(const unsigned char* data) {
    keeper_client_header hdr;
    memcpy(&hdr, data, sizeof hdr);
    headerN2HOrder(&hdr);
    return hdr;
}

}  // namespace

int ClientHandler::handleOpen(EvAdapter* sock) {
    socket = sock;
    ++keeper->get_daemon_counters().clients;
    // Refused before a byte is read: a stranger gets no answer at all.
    if (!keeper->admits(sock)) engine->evClose(sock);
    return 0;
}

int ClientHandler::handleClose(EvAdapter*) {
    // However the connection ended (also a failed write), no task may keep
    // this handler once it is deleted.
    if (deadline_timer >= 0) engine->delTimer(deadline_timer);
    deadline_timer = -1;
    // A reply still waiting for its program is dropped when the program
    // ends; the change event of a change made then still goes out.
    std::function<void(keeperStatus)> leftover;
    if (deferred) {
        std::shared_ptr<GeneralMsg> change(std::move(deferred));
        KeeperSrv* owner = keeper;
        leftover = [owner, change](keeperStatus status) {
            change->payload.config.status = status;
            change->msgDataH2NOrder();
            announce_change(owner, *change, status);
        };
    }
    keeper->get_replies().forget(this, leftover);
    keeper->handle_client_close(this);
    --keeper->get_daemon_counters().clients;
    task = nullptr;
    return -1;
}

// A header first; then the header with its payload when the payload is one
// the daemon may accept, or the header alone when it is to be read away (or
// is too long for any message, which closes the connection).
int ClientHandler::chkBuf(unsigned char* data, int len) {
    if (held()) return 0;
    if (len > 0 || discard_left) start_message();
    if (discard_left) return static_cast<int>(std::min(discard_left, kDiscardChunk));
    if (!data || len < static_cast<int>(KEEPER_HEADER_LEN)) return KEEPER_HEADER_LEN;
    keeper_client_header hdr = host_header(data);
    if (hdr.length > kLargestRequest) return KEEPER_HEADER_LEN;
    return static_cast<int>(KEEPER_HEADER_LEN + hdr.length);
}

void ClientHandler::start_message() {
    if (in_message) return;
    in_message = true;
    message_start = engine->getClock().uptime();
    if (deadline_timer < 0)
        deadline_timer =
            engine->addTimer(kMessageDeadline, this, &ClientHandler::message_deadline, nullptr, -1);
}

int ClientHandler::message_deadline(void*) {
    deadline_timer = -1;
    if (!in_message || !socket || socket->getHandle() < 0) return 0;
    long elapsed = engine->getClock().uptime() - message_start;
    if (elapsed < kMessageDeadline) {
        deadline_timer = engine->addTimer(kMessageDeadline - elapsed, this,
                                          &ClientHandler::message_deadline, nullptr, -1);
        return 0;
    }
    EV_TRACE(DL_WARNING, "ClientHandler::message_deadline, message incomplete after %d s, closed",
             kMessageDeadline);
    engine->evClose(socket);
    return 0;
}

int ClientHandler::handleInput(EvAdapter* sock) {
    if (sock != socket) {
        EV_TRACE(DL_ERROR, "handleInput: Socket mismatch");
        return -1;
    }
    if (discard_left) {
        discard(sock);
        return 0;
    }
    unsigned char head[KEEPER_HEADER_LEN];
    int avail = sock->peek(nullptr, 0);
    if (avail < static_cast<int>(sizeof head) || sock->peek(head, sizeof head) < 0) return 0;
    keeper_client_header hdr = host_header(head);
    if (hdr.length > KEEPER_MAX_PAYLOAD) {
        EV_TRACE(DL_WARNING, "handleInput: length %u beyond any message, connection closed",
                 hdr.length);
        return -1;
    }
    bool readable = hdr.length <= kLargestRequest;
    if (readable && avail < static_cast<int>(KEEPER_HEADER_LEN + hdr.length)) return 0;
    if (waits_turn(hdr)) return 0;
    sock->read(head, sizeof head);
    EV_TRACE(DL_USER1, "ClientHandler::handleInput, msg type:%s(%u)", type_name(hdr.type),
             hdr.type);
    if (!readable) discard_left = hdr.length;
    serve(hdr, readable);
    if (hdr.type == KEEPER_SET_CONFIG) keeper->get_replies().leave(this);
    if (!discard_left) in_message = false;
    return 0;
}

bool ClientHandler::waits_turn(const keeper_client_header& hdr) {
    if (hdr.type != KEEPER_SET_CONFIG || keeper->get_replies().may_change(this)) return false;
    // The message is complete: no deadline runs while it waits.
    in_message = false;
    return true;
}

bool ClientHandler::held() {
    if (deferred) return true;
    PendingReplies& replies = keeper->get_replies();
    return replies.in_line(this) && !replies.may_change(this);
}

void ClientHandler::serve(const keeper_client_header& hdr, bool readable) {
    if (hdr.type == KEEPER_GET_CONFIG) reply_pending = true;
    GeneralMsg msg(static_cast<int>(hdr.type));
    keeperStatus rc = KEEPER_FAIL;
    if (readable)
        rc = read_request_data(hdr, msg);
    else
        EV_TRACE(DL_ERROR, "ClientHandler::read_request_data, msg length mismatch");
    if (rc != KEEPER_FAIL) rc = keeper->handleRequest(msg, this);
    if (rc == KEEPER_FAIL && (hdr.type == KEEPER_GET_CONFIG || hdr.type == KEEPER_SET_CONFIG))
        msg.payload.config.status = KEEPER_FAIL;
    if (msg.replyToken)
        defer(msg);
    else
        send_reply(msg);
}

void ClientHandler::defer(const GeneralMsg& msg) {
    deferred.reset(new GeneralMsg(static_cast<int>(msg.type())));
    deferred->payload = msg.payload;
    deferred->eventGrp = msg.eventGrp;
    deferred->eventId = msg.eventId;
    keeper->get_replies().attach(msg.replyToken, this);
}

void ClientHandler::reply_ready(keeperStatus status) {
    std::unique_ptr<GeneralMsg> msg = std::move(deferred);
    if (!msg) return;
    msg->payload.config.status = status;
    send_reply(*msg);
}

void ClientHandler::discard(EvAdapter* sock) {
    unsigned char scrap[4096];
    for (int left = sock->peek(nullptr, 0); left > 0 && discard_left > 0;) {
        int n = std::min(left, static_cast<int>(sizeof scrap));
        n = static_cast<int>(std::min<uint32_t>(static_cast<uint32_t>(n), discard_left));
        if (sock->read(scrap, n) != n) return;
        left -= n;
        discard_left -= static_cast<uint32_t>(n);
    }
    if (!discard_left) in_message = false;
}

// The payload is buffered whole (the framing asked for it): it is always
// taken, so that a refused request leaves nothing behind to be read as the
// next header.
keeperStatus ClientHandler::read_notify_request_data(const keeper_client_header& hdr,
                                                     GeneralMsg& msg) {
    std::vector<uint8_t> body(hdr.length);
    if (hdr.length && socket->read(body.data(), static_cast<int>(hdr.length)) < 0) {
        EV_TRACE(DL_ERROR, "ClientHandler::read_notify_request_data, Read failure (%s).",
                 "incomplete message");
        return KEEPER_FAIL;
    }
    if (msg.fromWire(hdr, body.data()) != KEEPER_OK) {
        EV_TRACE(DL_ERROR, "ClientHandler::read_notify_request_data, msg length mismatch");
        return KEEPER_FAIL;
    }
    return KEEPER_OK;
}

keeperStatus ClientHandler::read_request_data(const keeper_client_header& hdr, GeneralMsg& msg) {
    if (hdr.type == KEEPER_NOTIFY_EVENT) return read_notify_request_data(hdr, msg);
    std::vector<uint8_t> body(hdr.length);
    if (hdr.length && socket->read(body.data(), static_cast<int>(hdr.length)) < 0) {
        EV_TRACE(DL_ERROR, "ClientHandler::read_request_data, Read failure (%s).",
                 "incomplete message");
        return KEEPER_FAIL;
    }
    if (hdr.length != keeperFixedPayloadLen(hdr.type) ||
        msg.fromWire(hdr, body.data()) != KEEPER_OK) {
        EV_TRACE(DL_ERROR, "ClientHandler::read_request_data, msg length mismatch");
        return KEEPER_FAIL;
    }
    return KEEPER_OK;
}

size_t ClientHandler::queued_output(EvAdapter* sock) const {
    const EvBuf& out = static_cast<EvSock*>(sock)->outBuf();
    return static_cast<size_t>(out.used - out.done) + pending_bytes;
}

keeperStatus ClientHandler::send_msg(EvAdapter* sock, unsigned type, unsigned len,
                                     const void* data) {
    if (!sock || sock->getHandle() < 0) return KEEPER_FAIL;
    unsigned wire_len = data ? len : 0;
    size_t frame_size = KEEPER_HEADER_LEN + wire_len;
    if (queued_output(sock) + frame_size > kMaxQueuedOutput) {
        // A client that does not read must not make the daemon hold its
        // replies and events without end.
        EV_TRACE(DL_ERROR, "ClientHandler::send_msg, over %zu bytes wait for the client, closed",
                 kMaxQueuedOutput);
        pending.clear();
        pending_bytes = 0;
        engine->evClose(sock);
        return KEEPER_FAIL;
    }
    if (reply_pending) {
        EV_TRACE(DL_TRACE,
                 "ClientHandler::send_msg, pending message. Msg type = %s(%d), data_len= %u",
                 type_name(type), type, len);
        pending_bytes += frame_size;
        pending.push_back(keeperFrame(type, ++msg_counter, data, wire_len));
        return KEEPER_OK;
    }
    // Straight into the connection's output: an event fanned out to many
    // clients costs each a copy, not an allocation.
    keeper_client_header head{type, ++msg_counter, wire_len};
    headerH2NOrder(&head);
    sock->write(reinterpret_cast<unsigned char*>(&head), KEEPER_HEADER_LEN);
    if (wire_len && sock->getHandle() >= 0)
        sock->write(static_cast<unsigned char*>(const_cast<void*>(data)),
                    static_cast<int>(wire_len));
    EV_TRACE(DL_USER1, "ClientHandler::send_msg, type = %s(%d), data_len= %u", type_name(type),
             type, len);
    while (!pending.empty()) {
        std::vector<unsigned char>& queued = pending.front();
        keeper_client_header hdr = host_header(queued.data());
        sock->write(queued.data(), static_cast<int>(queued.size()));
        EV_TRACE(DL_TRACE, "ClientHandler::send_msg, pending msg, type = %s(%d), data_len= %u",
                 type_name(hdr.type), hdr.type, hdr.length);
        pending_bytes -= queued.size();
        pending.pop_front();
    }
    return KEEPER_OK;
}

keeperStatus ClientHandler::send_reply(GeneralMsg& msg) {
    switch (msg.type()) {
        case KEEPER_GET_CONFIG:
            msg.msgDataH2NOrder();
            reply_pending = false;
            return send_msg(socket, KEEPER_GET_CONFIG, msg.payloadLen(), msg.payload.bytes);
        case KEEPER_PRINT_PS:
        case KEEPER_PRINT_FLAGS:
        case KEEPER_PRINT_CB:
        case KEEPER_PRINT_STATUS:
            return send_msg(socket, KEEPER_PRINT_ACK, static_cast<unsigned>(msg.listing().size()),
                            msg.listing().data());
        case KEEPER_SET_CONFIG: {
            uint32_t status = msg.payload.config.status;
            msg.msgDataH2NOrder();
            keeperStatus rc =
                send_msg(socket, KEEPER_SET_CONFIG, msg.payloadLen(), msg.payload.bytes);
            announce_change(keeper, msg, status);
            return rc;
        }
        default:
            return KEEPER_OK;
    }
}
