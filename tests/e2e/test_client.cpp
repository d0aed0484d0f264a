#include "tests/e2e/test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "protocol/wire_text.h"
#include "tests/e2e/clock.h"

namespace e2e {

TestClient::~TestClient() { close(); }

bool TestClient::connect(int port, const char* from) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    // The port is chosen at connect, knowing the peer: a port picked at bind
    // may meet a connection of the same four still in TIME_WAIT on the
    // daemon's side, and the connect then stalls for a retransmission.
    const int one = 1;
    if (from) setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (from && (inet_pton(AF_INET, from, &addr.sin_addr) != 1 ||
                 bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)) {
        close();
        return false;
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    return true;
}

void TestClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TestClient::reset() {
    if (fd_ < 0) return;
    const linger abortive{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close();
}

bool TestClient::send(GeneralMsg& msg) {
    msg.msgDataH2NOrder();
    const std::vector<unsigned char> bytes = msg.toWire(counter_++);
    return sendRaw(bytes.data(), bytes.size());
}

bool TestClient::send(unsigned type, const void* payload, unsigned len) {
    const std::vector<unsigned char> bytes = keeperFrame(type, counter_++, payload, len);
    return sendRaw(bytes.data(), bytes.size());
}

bool TestClient::sendRaw(const void* data, size_t len) {
    const char* at = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t sent = ::send(fd_, at, len, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        at += sent;
        len -= static_cast<size_t>(sent);
    }
    return true;
}

bool TestClient::waitReadable(int timeoutMs) {
    pollfd pfd{fd_, POLLIN, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

bool TestClient::readFull(void* buf, size_t len, int timeoutMs) {
    char* at = static_cast<char*>(buf);
    const long long end = nowMs() + timeoutMs;
    while (len > 0) {
        const long long left = end - nowMs();
        if (left <= 0 || !waitReadable(static_cast<int>(left))) return false;
        const ssize_t got = ::recv(fd_, at, len, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        at += got;
        len -= static_cast<size_t>(got);
    }
    return true;
}

bool TestClient::read(Message& msg, int timeoutMs) {
    if (fd_ < 0) return false;
    keeper_client_header hdr{};
    if (!readFull(&hdr, sizeof hdr, timeoutMs)) return false;
    headerN2HOrder(&hdr);
    if (hdr.length > KEEPER_MAX_PAYLOAD) return false;
    msg.type = hdr.type;
    msg.id = hdr.id;
    msg.payload.assign(hdr.length, '\0');
    return hdr.length == 0 || readFull(msg.payload.data(), hdr.length, timeoutMs);
}

bool TestClient::readType(unsigned type, Message& msg, int timeoutMs) {
    const long long end = nowMs() + timeoutMs;
    for (;;) {
        const long long left = end - nowMs();
        if (left <= 0 || !read(msg, static_cast<int>(left))) return false;
        if (msg.type == type) return true;
    }
}

bool TestClient::closedByPeer(int timeoutMs) {
    const long long end = nowMs() + timeoutMs;
    std::vector<char> chunk(64 * 1024);
    while (nowMs() < end) {
        if (!waitReadable(static_cast<int>(end - nowMs()))) return false;
        const ssize_t got = ::recv(fd_, chunk.data(), chunk.size(), 0);
        if (got == 0 || (got < 0 && errno != EINTR)) return true;
    }
    return false;
}

bool TestClient::hungUpByPeer(int timeoutMs) {
    pollfd entry = {fd_, POLLRDHUP, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

bool TestClient::init(unsigned keeperType, int pid, const char* name) {
    GeneralMsg msg(KEEPER_INIT);
    msg.payload.init.keeperType = keeperType;
    msg.payload.init.pid = static_cast<uint32_t>(pid);
    setWireText(msg.payload.init.name, name);
    msg.payload.init.time = static_cast<uint32_t>(time(nullptr));
    return send(msg);
}

bool TestClient::sendValue(unsigned type, unsigned value, const char* name) {
    GeneralMsg msg(static_cast<int>(type));
    msg.payload.value.value = value;
    setWireText(msg.payload.value.name, name);
    return send(msg);
}

bool TestClient::actionOnPs(unsigned action, const char* module) {
    return sendValue(KEEPER_ACTION_ON_PS, action, module);
}

bool TestClient::actionOnCheck(unsigned action, const char* check) {
    return sendValue(KEEPER_ACTION_ON_CHECK, action, check);
}

bool TestClient::setCheck(const char* check, const char* args) {
    GeneralMsg msg(KEEPER_SET_CHECK);
    setWireText(msg.payload.setCheck.check, check);
    setWireText(msg.payload.setCheck.args, args);
    return send(msg);
}

bool TestClient::secondaryUp(const char* name) {
    GeneralMsg msg(KEEPER_SECONDARY_UP);
    setWireText(msg.payload.name, name);
    return send(msg);
}

bool TestClient::setFlag(unsigned value, const char* flag) {
    return sendValue(KEEPER_SET_FLAG, value, flag);
}

bool TestClient::setTask(unsigned mode, unsigned apply, const char* task) {
    GeneralMsg msg(KEEPER_SET_TASK);
    msg.payload.setTask.mode = mode;
    msg.payload.setTask.second = apply;
    setWireText(msg.payload.setTask.task, task);
    return send(msg);
}

bool TestClient::command(unsigned command, unsigned technique, unsigned timer) {
    GeneralMsg msg(KEEPER_COMMAND);
    msg.payload.command.type = command;
    msg.payload.command.technique = technique;
    msg.payload.command.timer = timer;
    return send(msg);
}

bool TestClient::checkAlive() {
    GeneralMsg msg(KEEPER_CHECK_ALIVE);
    return send(msg);
}

bool TestClient::registerEvent(unsigned operation, unsigned group, unsigned id) {
    GeneralMsg msg(KEEPER_REGISTER_EVENT);
    msg.payload.regEvent.operation = operation;
    msg.payload.regEvent.group = group;
    msg.payload.regEvent.id = id;
    return send(msg);
}

bool TestClient::printListing(unsigned type, Message& reply, int timeoutMs) {
    GeneralMsg msg(static_cast<int>(type));
    return send(msg) && readType(KEEPER_PRINT_ACK, reply, timeoutMs);
}

bool TestClient::printPs(Message& reply, int timeoutMs) {
    return printListing(KEEPER_PRINT_PS, reply, timeoutMs);
}

bool TestClient::printFlags(Message& reply, int timeoutMs) {
    return printListing(KEEPER_PRINT_FLAGS, reply, timeoutMs);
}

std::string listingText(const Message& reply) {
    return wireText(reply.payload.data(), reply.payload.size());
}

}  // namespace e2e
