// Outgoing connections by host name, and the questions of this host's own
// name and address. Kept apart from the rest of the engine: only programs
// that connect out by name pull the resolver in, and a statically linked
// tool that never does stays free of it.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "reactor/ev_engine.h"
#include "reactor/ev_notifier.h"
#include "reactor/ev_socket_setup.h"
#include "support/ev_debug.h"

using namespace evsock;

in_addr_t name2ip(const char* host) {
    if (!host) return INADDR_NONE;
    in_addr addr;
    if (inet_aton(host, &addr)) return addr.s_addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return INADDR_NONE;
    in_addr_t ip = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return ip;
}

const char* devName(char* buf, size_t size) {
    if (size == 0) return buf;
    char name[DEV_NAME_LEN] = {};
    if (gethostname(name, sizeof(name) - 1) < 0) {
        fputs("gethostname failed\n", stderr);
        name[0] = '\0';
    }
    snprintf(buf, size, "%s", name);
    return buf;
}

const char* devIp(char* buf, size_t size) {
    if (size == 0) return buf;
    char name[DEV_NAME_LEN];
    in_addr addr;
    addr.s_addr = name2ip(devName(name, sizeof(name)));
    char ip[INET_ADDRSTRLEN];
    snprintf(buf, size, "%s", inet_ntop(AF_INET, &addr, ip, sizeof(ip)) ? ip : "");
    return buf;
}

const char* devName() {
    static char name[DEV_NAME_LEN];
    return devName(name, sizeof(name));
}

const char* devIp() {
    static char ip[INET_ADDRSTRLEN];
    return devIp(ip, sizeof(ip));
}

EvAdapter* EvEngine::Connect(const char* host, int port, EvHandler* h) {
    in_addr_t ip = name2ip(host);
    if (ip == INADDR_NONE) return nullptr;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_in addr = ipv4(ip, port);
    // Blocking connect: the caller learns at once whether the peer is there.
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        EV_TRACE(DL_DEBUG, "EvEngine::Connect, %s:%d: %s", host, port, strerror(errno));
        close(fd);
        return nullptr;
    }
    if (!setNonBlocking(fd)) {
        close(fd);
        return nullptr;
    }
    setNoDelay(fd);
    return registerSocket(fd, h, false, 0);
}

EvAdapter* EvEngine::evConnect(const char* host, int port, EvHandler* h) {
    return Connect(host, port, h);
}

EvAdapter* EvEngine::evConnectSSL(const char* host, int port, EvHandler* h) {
    return isLocal(host) ? nullptr : Connect(host, port, h);
}

bool EvEngine::isLocal(const char* host) {
    if (!host) return false;
    char name[DEV_NAME_LEN];
    char ip[INET_ADDRSTRLEN];
    return strcmp(host, devName(name, sizeof(name))) == 0 ||
           strcmp(host, devIp(ip, sizeof(ip))) == 0 || strcmp(host, "localhost") == 0 ||
           strcmp(host, "127.0.0.1") == 0;
}
