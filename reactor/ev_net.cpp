#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "reactor/ev_notifier.h"

int SxSockInit() { return 0; }

void SxSockEnd() {}

void SxPerror(const char* text) { perror(text); }

int SxSockError() { return errno; }

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

const char* devName() {
    static char name[129];
    if (gethostname(name, sizeof(name) - 1) < 0) {
        fputs("gethostname failed\n", stderr);
        name[0] = '\0';
    }
    return name;
}

const char* devIp() {
    static char ip[INET_ADDRSTRLEN];
    in_addr addr;
    addr.s_addr = name2ip(devName());
    if (!inet_ntop(AF_INET, &addr, ip, sizeof(ip))) ip[0] = '\0';
    return ip;
}

// A local socket pair rather than two loop-back TCP sockets: there is no
// listening port in between that another local process could connect to,
// and nothing depends on the loop-back interface being up.
int createPipe(int fds[2]) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) < 0) {
        SxPerror("socketpair");
        return -1;
    }
    return 0;
}
