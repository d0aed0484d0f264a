#include "client/fake_keeper.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "protocol/wire_text.h"

uint32_t FakeMessage::word(unsigned n) const {
    uint32_t value = 0;
    if (body.size() >= 4 * (n + 1)) memcpy(&value, body.data() + 4 * n, 4);
    return ntohl(value);
}

std::string FakeMessage::text(unsigned at) const {
    if (at >= body.size()) return "";
    size_t width = body.size() - at < KEEPER_NAME_LEN ? body.size() - at : KEEPER_NAME_LEN;
    return wireText(reinterpret_cast<const char*>(body.data() + at), width);
}

FakeKeeper::FakeKeeper() {
    listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listenFd, 4);
    socklen_t len = sizeof addr;
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    listenPort = ntohs(addr.sin_port);
}

FakeKeeper::~FakeKeeper() {
    hangUp();
    close();
}

void FakeKeeper::writeIni(const std::string& home, const std::string& base) const {
    mkdir(home.c_str(), 0755);
    mkdir((home + "/conf").c_str(), 0755);
    std::ofstream ini(home + "/conf/" + base);
    ini << "[general]\nkeeper ip = 127.0.0.1\nkeeper port = " << listenPort << "\n";
}

bool FakeKeeper::accept() {
    pollfd entry = {listenFd, POLLIN, 0};
    if (poll(&entry, 1, 1000) != 1) return false;
    hangUp();
    connFd = ::accept(listenFd, nullptr, nullptr);
    return connFd >= 0;
}

void FakeKeeper::hangUp() {
    if (connFd >= 0) ::close(connFd);
    connFd = -1;
}

void FakeKeeper::close() {
    if (listenFd >= 0) ::close(listenFd);
    listenFd = -1;
}

bool FakeKeeper::readFull(void* buf, size_t n, int waitMs) {
    unsigned char* at = static_cast<unsigned char*>(buf);
    for (size_t got = 0; got < n;) {
        pollfd entry = {connFd, POLLIN, 0};
        if (poll(&entry, 1, waitMs) != 1) return false;
        ssize_t r = read(connFd, at + got, n - got);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

bool FakeKeeper::next(FakeMessage& msg, int waitMs) {
    if (!readFull(&msg.header, sizeof msg.header, waitMs)) return false;
    headerN2HOrder(&msg.header);
    msg.body.assign(msg.header.length, 0);
    return msg.header.length == 0 || readFull(msg.body.data(), msg.header.length, waitMs);
}

bool FakeKeeper::quiet(int waitMs) {
    pollfd entry = {connFd, POLLIN, 0};
    return poll(&entry, 1, waitMs) == 0;
}

void FakeKeeper::send(uint32_t type, const void* data, uint32_t len, uint32_t id) {
    std::vector<unsigned char> frame = keeperFrame(type, id, data, len);
    sendRaw(frame.data(), frame.size());
}

void FakeKeeper::sendRaw(const void* data, size_t len) {
    if (::send(connFd, data, len, MSG_NOSIGNAL) != ssize_t(len)) perror("FakeKeeper::send");
}
