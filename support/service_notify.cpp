#include "support/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string& notifyPath() {
    static std::string path;
    return path;
}

}  // namespace

void Com_takeNotifySocket() {
    const char* path = getenv("NOTIFY_SOCKET");
    if (!path) return;
    notifyPath() = path;
    unsetenv("NOTIFY_SOCKET");
}

bool Com_notifyReady() {
    const std::string& path = notifyPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // "@name" is an address in the abstract namespace.
    if (path.size() < 2 || path.size() >= sizeof addr.sun_path ||
        (path[0] != '/' && path[0] != '@'))
        return false;
    memcpy(addr.sun_path, path.data(), path.size());
    if (path[0] == '@') addr.sun_path[0] = '\0';
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    static const char kReady[] = "READY=1";
    const bool sent = sendto(fd, kReady, sizeof kReady - 1, MSG_NOSIGNAL,
                             reinterpret_cast<sockaddr*>(&addr), len) == sizeof kReady - 1;
    close(fd);
    return sent;
}
