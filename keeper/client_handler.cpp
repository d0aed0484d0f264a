#include "keeper/client_handler.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "keeper/keeper_srv.h"
#include "reactor/ev_sock.h"
#include "support/ev_debug.h"

namespace {

// How long a message that arrives in pieces may take to complete before the
// connection counts as broken; the loop waits for nobody longer than this.
const int kPieceWaitMs = 500;

// Reads exactly n bytes: n, 0 when the peer closed before sending anything,
// -1 on an error or a message cut short.
ssize_t read_exact(int fd, void* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, static_cast<char*>(buf) + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r == 0) {
            if (got == 0) return 0;
            errno = ECONNRESET;
            return -1;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd waiting = {fd, POLLIN, 0};
            if (poll(&waiting, 1, kPieceWaitMs) <= 0) {
                errno = ETIMEDOUT;
                return -1;
            }
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return static_cast<ssize_t>(got);
}

const char* type_name(unsigned type) {
    const char* name = keeperMgsTypeStr(type);
    return name ? name : "";
}

}  // namespace

int ClientHandler::handleOpen(EvAdapter* sock) {
    static_cast<EvSock*>(sock)->addFlags(EV_RAW_READ);
    socket = sock;
    return 0;
}

int ClientHandler::handleClose(EvAdapter*) {
    // However the connection ended (also a failed write), no task may keep
    // this handler once it is deleted.
    keeper->handle_client_close(this);
    task = nullptr;
    return -1;
}

int ClientHandler::handleInput(EvAdapter* sock) {
    if (sock != socket) {
        EV_TRACE(DL_ERROR, "handleInput: Socket mismatch");
        return -1;
    }
    keeper_client_header hdr;
    ssize_t r = read_exact(sock->getHandle(), &hdr, sizeof hdr);
    if (r <= 0) {
        if (r < 0) EV_TRACE(DL_WARNING, "handleInput: Read failure (%s).", strerror(errno));
        keeper->handle_client_close(this);
        return -1;
    }
    headerN2HOrder(&hdr);
    EV_TRACE(DL_USER1, "ClientHandler::handleInput, msg type:%s(%u)", type_name(hdr.type),
             hdr.type);
    if (hdr.type == KEEPER_GET_CONFIG) reply_pending = true;
    GeneralMsg msg(static_cast<int>(hdr.type));
    keeperStatus rc = read_request_data(hdr, msg);
    if (rc != KEEPER_FAIL) rc = keeper->handleRequest(msg, this);
    if (rc == KEEPER_FAIL && (hdr.type == KEEPER_GET_CONFIG || hdr.type == KEEPER_SET_CONFIG))
        msg.payload.config.status = KEEPER_FAIL;
    send_reply(msg);
    return 0;
}

keeperStatus ClientHandler::read_notify_request_data(const keeper_client_header& hdr,
                                                     GeneralMsg& msg) {
    KeeperEventMsg fixed;
    if (msg.payloadLen() > hdr.length) {
        EV_TRACE(DL_ERROR, "ClientHandler::read_notify_request_data, msg length mismatch");
        return KEEPER_FAIL;
    }
    if (read_exact(socket->getHandle(), &fixed, sizeof fixed) != sizeof fixed) {
        EV_TRACE(DL_ERROR, "ClientHandler::read_notify_request_data, Read failure (%s).",
                 strerror(errno));
        return KEEPER_FAIL;
    }
    uint32_t data_len = ntohl(fixed.length);
    if (data_len > KEEPER_MAX_EVENT_DATA) {
        EV_TRACE(DL_ERROR, "ClientHandler::read_notify_request_data, msg length mismatch");
        return KEEPER_FAIL;
    }
    std::vector<uint8_t> body(sizeof fixed + data_len);
    memcpy(body.data(), &fixed, sizeof fixed);
    if (data_len &&
        read_exact(socket->getHandle(), body.data() + sizeof fixed, data_len) != data_len) {
        EV_TRACE(DL_ERROR,
                 "ClientHandler::read_notify_request_data, failed to read event data (%s)",
                 strerror(errno));
        return KEEPER_FAIL;
    }
    keeper_client_header framed = hdr;
    framed.length = static_cast<uint32_t>(body.size());
    return msg.fromWire(framed, body.data());
}

keeperStatus ClientHandler::read_request_data(const keeper_client_header& hdr, GeneralMsg& msg) {
    if (hdr.type == KEEPER_NOTIFY_EVENT) return read_notify_request_data(hdr, msg);
    if (hdr.length != keeperFixedPayloadLen(hdr.type)) {
        EV_TRACE(DL_ERROR, "ClientHandler::read_request_data, msg length mismatch");
        return KEEPER_FAIL;
    }
    std::vector<uint8_t> body(hdr.length);
    if (hdr.length && read_exact(socket->getHandle(), body.data(), hdr.length) != hdr.length) {
        EV_TRACE(DL_ERROR, "ClientHandler::read_request_data, Read failure (%s).", strerror(errno));
        return KEEPER_FAIL;
    }
    return msg.fromWire(hdr, body.data());
}

keeperStatus ClientHandler::send_msg(EvAdapter* sock, unsigned type, unsigned len,
                                     const void* data) {
    if (!sock) return KEEPER_FAIL;
    std::vector<unsigned char> frame =
        keeperFrame(type, ++msg_counter, len ? data : nullptr, data ? len : 0);
    if (reply_pending) {
        EV_TRACE(DL_TRACE,
                 "ClientHandler::send_msg, pending message. Msg type = %s(%d), data_len= %u",
                 type_name(type), type, len);
        pending.push_back(std::move(frame));
        return KEEPER_OK;
    }
    sock->write(frame.data(), static_cast<int>(frame.size()));
    EV_TRACE(DL_USER1, "ClientHandler::send_msg, type = %s(%d), data_len= %u", type_name(type),
             type, len);
    while (!pending.empty()) {
        std::vector<unsigned char>& queued = pending.front();
        keeper_client_header hdr;
        memcpy(&hdr, queued.data(), sizeof hdr);
        headerN2HOrder(&hdr);
        sock->write(queued.data(), static_cast<int>(queued.size()));
        EV_TRACE(DL_TRACE, "ClientHandler::send_msg, pending msg, type = %s(%d), data_len= %u",
                 type_name(hdr.type), hdr.type, hdr.length);
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
            return send_msg(socket, KEEPER_PRINT_ACK, static_cast<unsigned>(msg.listing().size()),
                            msg.listing().data());
        case KEEPER_SET_CONFIG: {
            uint32_t status = msg.payload.config.status;
            msg.msgDataH2NOrder();
            keeperStatus rc =
                send_msg(socket, KEEPER_SET_CONFIG, msg.payloadLen(), msg.payload.bytes);
            // The change event carries the record as it went out, in network order.
            ConfigAll change = msg.payload.config.data;
            if ((status == KEEPER_OK || status == KEEPER_OK_REBOOT) &&
                msg.eventGrp != EVENT_GRP_NONE)
                keeper->send_event(msg.eventGrp, msg.eventId, &change, sizeof change);
            return rc;
        }
        default:
            return KEEPER_OK;
    }
}
