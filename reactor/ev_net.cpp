#include <arpa/inet.h>
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
