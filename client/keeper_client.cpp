// keeperClient: connection, framing and the request side.
#include "client/keeper_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "client/ini_keeper_cli.h"
#include "client/reconnect_delay.h"
#include "protocol/wire_text.h"
#include "reactor/ev_sock.h"
#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/proc_utils.h"

namespace {

// INI base name by keeper type, for a program the daemon did not start.
const char* const default_keeper[] = {"keeper", "vardo"};

std::string ip_text(uint32_t ip) {
    char text[INET_ADDRSTRLEN];
    in_addr addr;
    addr.s_addr = ip;
    return inet_ntop(AF_INET, &addr, text, sizeof text) ? text : "?";
}

// The receive buffer: a few hundred events of a busy subscriber.
constexpr size_t kInBufSize = 16384;

// Sets a flag for the life of a scope, then puts back what it was.
class FlagScope {
public:
    explicit FlagScope(bool& flag) : flag(flag), saved(flag) { flag = true; }
    ~FlagScope() { flag = saved; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag;
    bool saved;
};

// poll() of one descriptor until `end`, resumed after a signal with the time
// that is left: > 0 ready, 0 time-out, < 0 error.
int poll_until(pollfd& entry, std::chrono::steady_clock::time_point end) {
    for (;;) {
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                .count();
        int rc = poll(&entry, 1, left > 0 ? int(left) : 0);
        if (rc >= 0 || errno != EINTR) return rc;
    }
}

// The words from argv[first] on, joined with single blanks.
std::string join_words(char** argv, int first, int argc) {
    std::string text;
    for (int i = first; i < argc; ++i) {
        if (i > first) text += ' ';
        text += argv[i];
    }
    return text;
}

}  // namespace

void (*keeperClient::_keep_alive_signal_foo)() = nullptr;

void keeperClient::_clear() {
    memset(name, 0, sizeof name);
    memset(eventCallbacks, 0, sizeof eventCallbacks);
    memset(eventIds, 0, sizeof eventIds);
}

keeperClient::keeperClient(EvEngine* eng, keeperType type) : engine(eng) {
    _clear();
    struct sigaction action = {};
    action.sa_handler = _check_alive_signal_handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGUSR2, &action, nullptr) != 0)
        EV_TRACE(DL_ERROR, "Can't reset signal handling for SIGUSER2");
    setWireText(name, Com_getPidName());
    _get_keeper_properties(type);
    if (!_connect_keeper()) _schedule_reconnect();
}

keeperClient::keeperClient(EvEngine* eng, const char* clientName, int ip, int port)
    : engine(eng), keeperIp(uint32_t(ip)), keeperPort(port), keeper_type(KEEPER_INIT_PROGRAM) {
    _clear();
    setWireText(name, clientName);
    if (!_connect_keeper()) _schedule_reconnect();
}

keeperClient::~keeperClient() {
    if (!engine) {
        delete socket;
        return;
    }
    if (reconnectTimer) engine->delTimer(reconnectTimer);
    // The engine must not call back into a client that no longer exists; the
    // descriptor is closed here so the daemon sees the client go.
    if (socket) {
        int fd = engine->evDetach(socket);
        if (fd >= 0) close(fd);
    }
}

void keeperClient::_get_keeper_properties(keeperType type) {
    const std::string home = Com_appHome();
    std::string parent = Com_getPpidName();
    auto path = [&](const std::string& base, const char* ending) {
        return home + "/" + APP_CONF_SUBDIR + "/" + base + ending;
    };

    // The daemon that started this program is its parent, and its INI file
    // is named after it.
    std::unique_ptr<iniKeeper_cli> ini(new iniKeeper_cli(path(parent, APP_INI_SUFFIX).c_str()));
    if (ini->parse_ini_file() != KEEPER_OK) {
        EV_TRACE(DL_DEBUG, "keeperClient: Failed parse ini file, reading backup");
        ini.reset(new iniKeeper_cli(path(parent, ".ini.backup").c_str()));
    }
    if (ini->parse_ini_file() != KEEPER_OK) {
        EV_TRACE(DL_DEBUG, "keeperClient: Failed parse ini backup file:%s. Try default",
                 ini->get_path());
        if (type >= sizeof default_keeper / sizeof default_keeper[0]) return;
        ini.reset(new iniKeeper_cli(path(default_keeper[type], APP_INI_SUFFIX).c_str()));
    }
    if (ini->parse_ini_file() != KEEPER_OK) {
        EV_TRACE(DL_ERROR, "keeperClient: Failed parse ini default file:%s", ini->get_path());
        return;
    }
    keeperIp = ini->get_keeper_ip();
    keeperPort = ini->get_keeper_port();
}

bool keeperClient::_connect_keeper() {
    EV_TRACE(DL_DEBUG, "keeperClient: Trying to connect to keeper ip:%s, port %d",
             ip_text(keeperIp).c_str(), keeperPort);
    if (keeperPort < 1) {
        EV_TRACE(DL_ERROR, "keeperClient::_connect_keeper, invalid parameters: ip:%s, port %d",
                 ip_text(keeperIp).c_str(), keeperPort);
        return true;
    }
    // Close-on-exec: a child of the program must not keep the connection
    // open after the program itself is gone.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        EV_TRACE(DL_ERROR, "keeperClient::_connect_keeper: Socket failed (%s)", strerror(errno));
        return false;
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(keeperPort));
    addr.sin_addr.s_addr = keeperIp;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        EV_TRACE(DL_ERROR, "keeperClient::_connect_keeper: Connect failed (%s)", strerror(errno));
        close(fd);
        return false;
    }
    // Requests are small and each is sent whole; Nagle's algorithm would only
    // delay the next one until the daemon's delayed acknowledgement.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (engine) {
        socket = static_cast<EvSock*>(engine->registerSocket(fd, this, false, EV_RAW_READ));
        if (!socket) return false;
    } else {
        socket = new EvSock(fd, fd, this);
    }
    // Nothing of an earlier connection may be taken for this one's.
    inHead = inTail = 0;
    EV_TRACE(DL_NOTIFY, "keeperClient connected to keeper on sock %d", fd);
    return true;
}

int keeperClient::get_keeperSock() { return socket ? socket->getHandle() : -1; }

bool keeperClient::_connected(const char* who) {
    if (get_keeperSock() >= 0) return true;
    EV_TRACE(DL_ERROR, "keeperClient<%s>: Not connected", who);
    return false;
}

keeperStatus keeperClient::init(unsigned type) {
    if (!_connected("init")) return KEEPER_FAIL;
    if (keeper_type == KEEPER_INIT_NONE) keeper_type = type;
    KeeperInitMsg msg = {};
    msg.keeperType = htonl(keeper_type);
    msg.pid = htonl(uint32_t(getpid()));
    setWireText(msg.name, name);
    msg.time = htonl(uint32_t(time(nullptr)));
    EV_TRACE(DL_DEBUG, "keeperClient send INIT to keeper");
    return _send_msg(KEEPER_INIT, sizeof msg, &msg);
}

int keeperClient::reconnect_keeper() {
    _connect_keeper();
    int fd = get_keeperSock();
    if (fd >= 0) init(KEEPER_INIT_RECONNECT);
    return fd;
}

int keeperClient::reconnect_keeper_cb(void*) {
    if (!_connect_keeper()) return 1;
    reconnectTimer = 0;
    if (get_keeperSock() > 0) {
        init(KEEPER_INIT_RECONNECT);
        _reregister_keeper();
    }
    return 0;
}

void keeperClient::_schedule_reconnect() {
    if (!engine || reconnectTimer) return;
    const int delay = client_reconnect_delay();
    reconnectTimer =
        engine->addTimer(delay, this, &keeperClient::reconnect_keeper_cb, nullptr, delay);
}

int keeperClient::handleInput(EvAdapter*) {
    // A late configuration reply carries its own status, and a malformed
    // message is read away whole: neither says anything about the
    // connection. Only a broken stream ends it, and the read that found it
    // has dropped it already. Every whole message the receive brought is
    // served now: select() would not report them again.
    do {
        if (read_callback(nullptr, nullptr) != KEEPER_OK && get_keeperSock() < 0) return -1;
    } while (has_buffered_message());
    return 0;
}

int keeperClient::handleClose(EvAdapter* sock) {
    // A socket dropped after a failed write is already forgotten; the one in
    // use now may be a newer connection.
    if (sock == socket) {
        socket->sdetach();
        socket = nullptr;
        inHead = inTail = 0;
    }
    return 0;
}

// Detached rather than closed through the engine: the engine may never run
// again (vardoctl) and must not call back a client that may be gone by the
// time it would reap the socket.
void keeperClient::_connection_lost() {
    inHead = inTail = 0;
    if (engine) {
        int fd = engine->evDetach(socket);
        if (fd >= 0) close(fd);
        _schedule_reconnect();
    } else {
        delete socket;
    }
    socket = nullptr;
}

keeperStatus keeperClient::_send_msg(unsigned type, unsigned len, const void* data) {
    uint32_t id = msgCounter++;
    EV_TRACE(DL_USER1, "keeperClient::_send_msg, msg type:%s(%d), len:%u, id:%u",
             keeperMgsTypeStr(type), type, len, id);
    std::vector<unsigned char> frame;
    try {
        frame = keeperFrame(type, id, data, len);
    } catch (const std::bad_alloc&) {
        EV_TRACE(DL_ERROR, "keeperClient<_send>: malloc failed");
        return KEEPER_FAIL;
    }
    // MSG_NOSIGNAL: a daemon that went away must fail the request, not kill
    // the program with SIGPIPE.
    for (size_t sent = 0; sent < frame.size();) {
        ssize_t n = send(get_keeperSock(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            EV_TRACE(DL_ERROR, "keeperClient<_send>: Write failed (%s)", strerror(errno));
            _connection_lost();
            return KEEPER_FAIL;
        }
        sent += size_t(n);
    }
    return KEEPER_OK;
}

keeperStatus keeperClient::_send_ack_message(keeperStatus status, keeperMsgType type,
                                             unsigned value, unsigned ackId) {
    if (!_connected("_send_ack_message")) return KEEPER_FAIL;
    ack_msg ack = {uint32_t(status), uint32_t(type), value, ackId};
    acknowledgeH2NOrder(&ack);
    EV_TRACE(DL_USER1, "keeperClient::_send_ack_message, msg type:%s(%d), ack_id %d",
             keeperMgsTypeStr(type), type, ackId);
    return _send_msg(KEEPER_MSG_ACKNOWLEDGE, sizeof ack, &ack);
}

// Part of a message read and the rest missing leaves no way to find where
// the next one starts: every failure here ends the connection. The wait
// ends at readEnd, so a daemon that stalls in the middle of a message
// holds the program no longer than a request's wait.
keeperStatus keeperClient::_read_full(void* buf, size_t n, const char* who) {
    unsigned char* at = static_cast<unsigned char*>(buf);
    for (size_t got = _take(at, n); got < n; got += _take(at + got, n - got)) {
        keeperStatus rc = _receive(n - got, who);
        if (rc != KEEPER_OK) return rc;
    }
    return KEEPER_OK;
}

size_t keeperClient::_take(unsigned char* to, size_t n) {
    size_t count = std::min(n, inTail - inHead);
    if (count == 0) return 0;
    memcpy(to, inBuf.get() + inHead, count);
    inHead += count;
    return count;
}

bool keeperClient::has_buffered_message() const {
    size_t unread = inTail - inHead;
    if (unread < KEEPER_HEADER_LEN) return false;
    return size_t(keeperChkBuf(inBuf.get() + inHead, int(unread))) <= unread;
}

// One receive takes every byte that has arrived, however many messages they
// hold; poll() is asked only when none are there, so a busy subscriber
// makes one system call for many events.
keeperStatus keeperClient::_receive(size_t wanted, const char* who) {
    if (!inBuf) inBuf.reset(new unsigned char[kInBufSize]);
    // What is left is the start of a message (the rest was taken): moved to
    // the front, so the receive has the whole buffer behind it.
    if (inHead > 0) memmove(inBuf.get(), inBuf.get() + inHead, inTail - inHead);
    inTail -= inHead;
    inHead = 0;
    size_t room = kInBufSize - inTail;
    size_t ask = exactReads ? std::min(wanted, room) : room;
    for (;;) {
        ssize_t r = recv(get_keeperSock(), inBuf.get() + inTail, ask, MSG_DONTWAIT);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd entry = {get_keeperSock(), POLLIN, 0};
            int ready = poll_until(entry, readEnd);
            if (ready > 0) continue;
            if (ready == 0) {
                EV_TRACE(DL_ERROR, "keeperClient<%s>: Read timed out", who);
                _connection_lost();
                return KEEPER_FAIL;
            }
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            EV_TRACE(DL_ERROR, "keeperClient<%s>: Read failed (%s)", who, strerror(errno));
            _connection_lost();
            return KEEPER_FAIL;
        }
        if (r == 0) {
            EV_TRACE(DL_ERROR, "keeperClient<%s>: Keeper disconnect", who);
            _connection_lost();
            return KEEPER_CLOSED;
        }
        inTail += size_t(r);
        return KEEPER_OK;
    }
}

keeperClient::Clock::time_point keeperClient::_wait_end() const {
    return Clock::now() + std::chrono::milliseconds(replyWaitMs);
}

keeperStatus keeperClient::read_callback(unsigned* typeOut, void* out) {
    return _read_message(typeOut, out, _wait_end());
}

keeperStatus keeperClient::_read_message(unsigned* typeOut, void* out, Clock::time_point end) {
    if (!_connected("_read_callback")) return KEEPER_FAIL;
    readEnd = end;
    keeper_client_header header;
    keeperStatus rc = _read_full(&header, sizeof header, "_read_callback");
    if (rc != KEEPER_OK) return rc;
    headerN2HOrder(&header);
    EV_TRACE(DL_USER1, "keeperClient::read_callback, recieved msg type:%s(%u)",
             keeperMgsTypeStr(header.type), header.type);
    // Refused before anything is allocated for it: no daemon sends such a
    // message, and on a 32-bit build a length near 4 GiB wraps the size of
    // the buffer that would hold it.
    if (keeperWireBodyLen(header) < 0) {
        EV_TRACE(DL_ERROR, "keeperClient<_read_callback>: msg type %u of length %u refused",
                 header.type, header.length);
        _connection_lost();
        return KEEPER_FAIL;
    }
    if (typeOut) *typeOut = header.type;
    return _handle_callback(header, out);
}

keeperStatus keeperClient::_handle_callback(keeper_client_header& header, void* out) {
    switch (header.type) {
        case KEEPER_START_SEQ:
            _handle_seq();
            break;
        case KEEPER_RUN_CB:
            _handle_run_cb(header);
            break;
        case KEEPER_PRINT_ACK:
            _handle_list_reply(header);
            break;
        case KEEPER_CHECK_ALIVE:
            _handle_check_alive();
            break;
        case KEEPER_NOTIFY_EVENT:
            _handle_event(header);
            break;
        case KEEPER_QUIT:
            _handle_quit();
            break;
        case KEEPER_GET_CONFIG:
        case KEEPER_SET_CONFIG:
            return _handle_conf_result(header, out);
        case KEEPER_GET_UNIT_LIST:
            _handle_get_card_list(header, out);
            break;
        case KEEPER_RELOAD:
            return _handle_reload_result(header);
        default:
            _handle_unknown_msg(header);
            break;
    }
    return KEEPER_OK;
}

keeperStatus keeperClient::_handle_list_reply(keeper_client_header& header) {
    // One byte more than announced, so the hook always gets a terminated
    // text even when the daemon's listing is not.
    std::unique_ptr<char[]> text(new (std::nothrow) char[size_t(header.length) + 1]);
    if (!text) {
        _handle_unknown_msg(header);
        return KEEPER_FAIL;
    }
    if (_read_full(text.get(), header.length, "_handle_list_reply") != KEEPER_OK)
        return KEEPER_FAIL;
    text[header.length] = '\0';
    if (listHook) listHook(text.get(), header.length);
    return KEEPER_OK;
}

keeperStatus keeperClient::_handle_conf_result(keeper_client_header& header, void* out) {
    KeeperConfigMsg reply;
    if (header.length != sizeof reply) {
        EV_TRACE(
            DL_ERROR,
            "keeperClient::_handle_conf_result, invalid response, message discarded. msg_type= %d",
            header.type);
        _handle_unknown_msg(header);
        return KEEPER_FAIL;
    }
    if (_read_full(&reply, sizeof reply, "_handle_conf_result") != KEEPER_OK) {
        EV_TRACE(DL_ERROR, "keeperClient::_handle_conf_result, failed to read, error:%s",
                 strerror(errno));
        return KEEPER_FAIL;
    }
    reply.cmd = ntohl(reply.cmd);
    reply.status = ntohl(reply.status);
    if (out) {
        config_dataN2HOrder(ConfigCmd(reply.cmd), &reply.data);
        memcpy(out, &reply.data, sizeof reply.data);
    }
    return keeperStatus(reply.status);
}

keeperStatus keeperClient::_handle_get_card_list(keeper_client_header& header, void* out) {
    KeeperListMsg head;
    if (header.length < sizeof head) {
        EV_TRACE(DL_ERROR,
                 "keeperClient::_handle_get_card_list, invalid response, message discarded. "
                 "msg_type= %d",
                 header.type);
        _handle_unknown_msg(header);
        return KEEPER_FAIL;
    }
    if (_read_full(&head, sizeof head, "_handle_get_card_list") != KEEPER_OK) {
        EV_TRACE(DL_ERROR, "keeperClient::_handle_get_card_list, failed to read, error:%s",
                 strerror(errno));
        return KEEPER_FAIL;
    }
    uint32_t status = ntohl(head.status);
    uint32_t count = ntohl(head.count);
    // The cards must fit in the announced length; whatever the header
    // announced beyond them is read away so the next message starts right.
    uint32_t room = (header.length - sizeof head) / sizeof(CardInfo);
    if (count > room) count = room;
    std::unique_ptr<CardInfo[]> cards(new (std::nothrow) CardInfo[count ? count : 1]);
    if (!cards ||
        _read_full(cards.get(), count * sizeof(CardInfo), "_handle_get_card_list") != KEEPER_OK) {
        EV_TRACE(DL_ERROR, "keeperClient::_handle_get_card_list, failed to read, error:%s",
                 strerror(errno));
        return KEEPER_FAIL;
    }
    keeper_client_header rest = header;
    rest.length = header.length - sizeof head - count * sizeof(CardInfo);
    if (rest.length) _handle_unknown_msg(rest);
    cadr_dataN2HOrder(cards.get(), int(count));
    if (out) {
        CardListReply* list = static_cast<CardListReply*>(out);
        list->status = status;
        list->count = count;
        list->cards = cards.release();
    }
    return keeperStatus(status);
}

keeperStatus keeperClient::_handle_reload_result(keeper_client_header& header) {
    KeeperReloadReply reply;
    if (header.length != sizeof reply) {
        EV_TRACE(DL_ERROR, "keeperClient::_handle_reload_result, invalid response of %u bytes",
                 header.length);
        _handle_unknown_msg(header);
        return KEEPER_FAIL;
    }
    if (_read_full(&reply, sizeof reply, "_handle_reload_result") != KEEPER_OK) return KEEPER_FAIL;
    return keeperStatus(ntohl(reply.status));
}

keeperStatus keeperClient::_handle_unknown_msg(keeper_client_header& header) {
    EV_TRACE(DL_WARNING, "keeperClient receive unknown message. type =%d, id= %d, len= %u",
             header.type, header.id, header.length);
    unsigned char chunk[512];
    for (uint32_t left = header.length; left > 0;) {
        uint32_t n = left < sizeof chunk ? left : uint32_t(sizeof chunk);
        if (_read_full(chunk, n, "_handle_unknown_msg") != KEEPER_OK) return KEEPER_FAIL;
        left -= n;
    }
    return KEEPER_OK;
}

int keeperClient::wait_for_io_or_timeout(int fd, int forRead) {
    if (forRead && fd == get_keeperSock() && has_buffered_message()) return 0;
    return _wait_io(fd, forRead, _wait_end());
}

int keeperClient::_wait_io(int fd, int forRead, Clock::time_point end) {
    static const char* const who = "int keeperClient::wait_for_io_or_timeout(int, int)";
    pollfd entry = {fd, short(forRead ? POLLIN : POLLOUT), 0};
    int rc = poll_until(entry, end);
    if (rc == 0) {
        EV_TRACE(DL_WARNING, "%s: timeout", who);
        return -1;
    }
    if (rc < 0) {
        EV_TRACE(DL_ERROR, "%s: poll error %s", who, strerror(errno));
        return -1;
    }
    return (entry.revents & entry.events) ? 0 : -1;
}

// Reads and dispatches messages until one of type `wanted` arrives; other
// messages (events, probes) are served on the way. 0 when the reply came,
// its status in *reply; otherwise 2 (time-out, read error) or 3 (closed):
// an event followed by silence is no answer. The whole reply must come
// within one wait, however the daemon spreads what it sends meanwhile.
keeperStatus keeperClient::_wait_reply(unsigned wanted, void* out, keeperStatus* reply) {
    Clock::time_point end = _wait_end();
    FlagScope exact(exactReads);
    // Bytes already received are read before anything is polled for: they
    // may hold the reply itself.
    while (get_keeperSock() >= 0 && (inTail > inHead || _wait_io(get_keeperSock(), 1, end) == 0)) {
        unsigned type = ~0u;
        keeperStatus rc = _read_message(&type, out, end);
        if (get_keeperSock() < 0) return rc != KEEPER_OK ? rc : KEEPER_FAIL;
        if (type == wanted) {
            *reply = rc;
            return KEEPER_OK;
        }
        if (rc != KEEPER_OK) return rc;
    }
    return KEEPER_FAIL;
}

// ---------------------------------------------------------------- requests

namespace {

// A text that does not fit its fixed wire field is refused rather than cut:
// a cut name could address another module.
bool fits(const char* who, const char* text) {
    if (!text || strlen(text) < KEEPER_NAME_LEN) return true;
    EV_TRACE(DL_ERROR, "keeperClient<%s>: text too long for its %u-byte field", who,
             unsigned(KEEPER_NAME_LEN));
    return false;
}

}  // namespace

// The requests made of a word and a name: actions, flags, callback lists.
keeperStatus keeperClient::_send_value(keeperMsgType type, uint32_t value, const char* text) {
    KeeperValueMsg msg = {};
    msg.value = htonl(value);
    setWireText(msg.name, text);
    return _send_msg(type, sizeof msg, &msg);
}

keeperStatus keeperClient::act_on_ps(const char* module, unsigned action) {
    if (!_connected("act_on_ps") || !fits("act_on_ps", module)) return KEEPER_FAIL;
    return _send_value(KEEPER_ACTION_ON_PS, action, module);
}

keeperStatus keeperClient::act_on_check(const char* check, unsigned action) {
    if (!_connected("act_on_check") || !fits("act_on_check", check)) return KEEPER_FAIL;
    return _send_value(KEEPER_ACTION_ON_CHECK, action, check);
}

keeperStatus keeperClient::set_check(const char* check, const char* args) {
    if (!_connected("set_check") || !fits("set_check", check) || !fits("set_check", args))
        return KEEPER_FAIL;
    KeeperSetCheckMsg msg = {};
    setWireText(msg.check, check);
    setWireText(msg.args, args);
    return _send_msg(KEEPER_SET_CHECK, sizeof msg, &msg);
}

keeperStatus keeperClient::set_check(char** argv, int argc) {
    if (argc < 2) return KEEPER_FAIL;
    return set_check(argv[0], join_words(argv, 1, argc).c_str());
}

keeperStatus keeperClient::set_flag_mode(const char* flag, bool value) {
    if (!_connected("set_flag_mode") || !fits("set_flag_mode", flag)) return KEEPER_FAIL;
    return _send_value(KEEPER_SET_FLAG, value ? 1 : 0, flag);
}

keeperStatus keeperClient::set_task_mode(const char* task, bool mode, bool second) {
    if (!_connected("set_task_mode") || !fits("set_task_mode", task)) return KEEPER_FAIL;
    KeeperSetTaskMsg msg = {};
    msg.mode = htonl(mode ? 1 : 0);
    msg.second = htonl(second ? 1 : 0);
    setWireText(msg.task, task);
    return _send_msg(KEEPER_SET_TASK, sizeof msg, &msg);
}

keeperStatus keeperClient::_request_listing(const char* who, keeperMsgType type, unsigned len,
                                            const void* data, ListHook hook) {
    if (!_connected(who)) return KEEPER_FAIL;
    if (hook) listHook = hook;
    return _send_msg(type, len, data);
}

keeperStatus keeperClient::list_procs(ListHook hook) {
    return _request_listing("list_procs", KEEPER_PRINT_PS, 0, nullptr, hook);
}

keeperStatus keeperClient::list_flags(ListHook hook) {
    return _request_listing("list_flags", KEEPER_PRINT_FLAGS, 0, nullptr, hook);
}

keeperStatus keeperClient::list_status(unsigned form, ListHook hook) {
    const KeeperStatusMsg msg = {htonl(form)};
    return _request_listing("list_status", KEEPER_PRINT_STATUS, sizeof msg, &msg, hook);
}

keeperStatus keeperClient::list_callbacks(unsigned kind, const char* task, ListHook hook) {
    if (!_connected("list_callbacks") || !fits("list_callbacks", task)) return KEEPER_FAIL;
    if (hook) listHook = hook;
    return _send_value(KEEPER_PRINT_CB, kind, task);
}

keeperStatus keeperClient::activate_callback(unsigned kind, const char* task, const char* cb,
                                             const char* args) {
    if (!_connected("activate_callback") || !fits("activate_callback", task) ||
        !fits("activate_callback", cb) || !fits("activate_callback", args))
        return KEEPER_FAIL;
    KeeperRunCbMsg msg = {};
    msg.kind = htonl(kind);
    setWireText(msg.task, task);
    setWireText(msg.callback, cb);
    setWireText(msg.args, args);
    return _send_msg(KEEPER_RUN_CB, sizeof msg, &msg);
}

keeperStatus keeperClient::activate_callback(char** argv, int argc) {
    if (argc < 2) return KEEPER_FAIL;
    return activate_callback(CB_KIND_TASK, argv[0], argv[1], join_words(argv, 2, argc).c_str());
}

keeperStatus keeperClient::send_command(KeeperCommand& command) {
    if (!_connected("send_command")) return KEEPER_FAIL;
    char text[KEEPER_COMMAND_STR_LEN];
    EV_TRACE(DL_NOTIFY, "keeperClient::send_command, %s",
             keeperCommandStr(&command, text, sizeof text));
    KeeperCommand wire = command;
    commandH2NOrder(&wire);
    return _send_msg(KEEPER_COMMAND, sizeof wire, &wire);
}

keeperStatus keeperClient::request_boot(CommandType type, ShtdwnTechnique technique,
                                        unsigned timer) {
    KeeperCommand command = {};
    command.type = type;
    command.technique = technique;
    command.timer = timer;
    return send_command(command);
}

keeperStatus keeperClient::_send_conf(keeperMsgType type, int cmd, ConfigAll* data, void* out) {
    KeeperConfigMsg request = {};
    request.cmd = htonl(uint32_t(cmd));
    request.status = 0;
    if (type == KEEPER_SET_CONFIG) {
        request.data = *data;
        config_dataH2NOrder(ConfigCmd(cmd), &request.data);
    } else if (data) {
        // A read names what it wants in the record's first word only.
        uint32_t first;
        memcpy(&first, data, sizeof first);
        first = htonl(first);
        memcpy(&request.data, &first, sizeof first);
    }
    if (_send_msg(type, sizeof request, &request) != KEEPER_OK) return KEEPER_FAIL;
    keeperStatus reply = KEEPER_FAIL;
    keeperStatus rc = _wait_reply(type, out, &reply);
    return rc != KEEPER_OK ? rc : reply;
}

keeperStatus keeperClient::get_conf(int cmd, ConfigAll* data) {
    if (!_connected("get_conf")) return KEEPER_FAIL;
    return _send_conf(KEEPER_GET_CONFIG, cmd, data, data);
}

keeperStatus keeperClient::set_conf(int cmd, ConfigAll* data) {
    if (!_connected("set_conf") || !data) return KEEPER_FAIL;
    return _send_conf(KEEPER_SET_CONFIG, cmd, data, nullptr);
}

keeperStatus keeperClient::request_reload() {
    if (!_connected("request_reload")) return KEEPER_FAIL;
    return _send_msg(KEEPER_RELOAD, 0, nullptr);
}

keeperStatus keeperClient::reload() {
    if (request_reload() != KEEPER_OK) return KEEPER_FAIL;
    keeperStatus reply = KEEPER_FAIL;
    keeperStatus rc = _wait_reply(KEEPER_RELOAD, nullptr, &reply);
    return rc != KEEPER_OK ? rc : reply;
}

keeperStatus keeperClient::get_card_list(int* count, CardInfo** list) {
    *count = 0;
    *list = nullptr;
    if (!_connected("get_card_list") || _send_msg(KEEPER_GET_UNIT_LIST, 0, nullptr) != KEEPER_OK)
        return KEEPER_FAIL;
    CardListReply reply = {};
    keeperStatus status = KEEPER_FAIL;
    keeperStatus rc = _wait_reply(KEEPER_GET_UNIT_LIST, &reply, &status);
    if (rc != KEEPER_OK) {
        delete[] reply.cards;
        return rc;
    }
    if (reply.status != KEEPER_OK) {
        delete[] reply.cards;
        return KEEPER_OK;
    }
    *count = int(reply.count);
    *list = reply.cards;
    return KEEPER_OK;
}
