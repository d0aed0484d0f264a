// Fuzz target: the client library's reply reader. The input is what a daemon
// sends; a keeperClient connected over loopback reads and dispatches it
// message by message until the stream ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/keeper_client.h"

namespace {

int listener = -1;
int port = 0;

void openListener() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        abort();
    port = ntohs(addr.sin_port);
}

keeperStatus onEvent(unsigned, unsigned, void*, size_t) { return KEEPER_OK; }
keeperStatus onList(char*, unsigned) { return KEEPER_OK; }
keeperStatus onCallback(void*) { return KEEPER_OK; }
void onHook() {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    if (listener < 0) openListener();
    keeperClient client(nullptr, "fuzz", static_cast<int>(htonl(INADDR_LOOPBACK)), port);
    int daemon = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (daemon < 0) abort();
    client.set_quit_hook(onHook);
    client.set_list_hook(onList);
    client.set_keep_alive_hook(onHook);
    client.register_event(EVENT_GRP_ALL, 0xFFFFFFFF, onEvent);
    client.register_callback("cb", "", onCallback, nullptr);
    for (size_t sent = 0; sent < size;) {
        ssize_t n = send(daemon, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    shutdown(daemon, SHUT_WR);
    // Whole messages the library already received wait in its buffer, where
    // FIONREAD does not count them.
    for (int pending = 1;
         (pending > 0 || client.has_buffered_message()) && client.get_keeperSock() >= 0;) {
        union {
            ConfigAll config;
            CardListReply cards;
        } out;
        memset(&out, 0, sizeof out);
        unsigned type = ~0u;
        client.read_callback(&type, &out);
        if (type == KEEPER_GET_UNIT_LIST) delete[] out.cards.cards;
        if (ioctl(client.get_keeperSock(), FIONREAD, &pending) != 0) break;
    }
    // A reset instead of an orderly close leaves no connection waiting.
    linger abort_close = {1, 0};
    setsockopt(daemon, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
    close(daemon);
    return 0;
}
