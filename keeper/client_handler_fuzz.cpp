// Fuzz target: the daemon's request reader. The input is the byte stream a
// client sends, delivered over a socket pair to a ClientHandler of a bare
// supervisor (no configuration, no tasks), through the real event loop.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "keeper/client_handler.h"
#include "keeper/keeper_srv.h"
#include "reactor/ev_engine.h"
#include "reactor/ev_notifier.h"

namespace {

// Stops the loop when the connection is gone.
class LastHandler : public ClientHandler {
public:
    explicit LastHandler(EvEngine* engine, KeeperSrv* keeper)
        : ClientHandler(engine, keeper), loop(engine) {}
    int handleClose(EvAdapter* sock) override {
        loop->requestStop();
        loop->notifier().notify();
        return ClientHandler::handleClose(sock);
    }

private:
    EvEngine* loop;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The whole stream must fit in the pair's buffer before the loop runs.
    if (size > 64 * 1024) return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    int room = 1 << 20;
    for (int fd : fds) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
    for (size_t sent = 0; sent < size;) {
        ssize_t n = write(fds[1], data + sent, size - sent);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR);
    {
        EvEngine engine;
        KeeperSrv keeper(&engine);
        engine.registerSocket(fds[0], new LastHandler(&engine, &keeper), true, 0);
        engine.run();
    }
    close(fds[1]);
    return 0;
}
