#include "reactor/ev_notifier.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "reactor/ev_engine.h"
#include "support/ev_debug.h"

namespace {

constexpr int kDrainChunk = 128;

}  // namespace

EvNotifier::~EvNotifier() {
    if (readEnd == -1) return;
    close(readEnd);
    close(writeEnd);
}

int EvNotifier::init(EvEngine* engine) {
    int fds[2];
    if (createPipe(fds) < 0) {
        EV_TRACE(DL_ERROR, "EvNotifier::init, no pair, the engine runs without notifier");
        return -1;
    }
    readEnd = fds[0];
    writeEnd = fds[1];
    if (!engine->registerSocket(readEnd, this, true, 0)) {
        // registerSocket has closed the read end already.
        close(writeEnd);
        readEnd = writeEnd = -1;
        return -1;
    }
    return 0;
}

void EvNotifier::notify() {
    if (writeEnd == -1) return;
    int savedErrno = errno;
    unsigned char wake = 1;
    // A full pair already guarantees a wake-up, so a failed send is fine.
    (void)send(writeEnd, &wake, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    errno = savedErrno;
}

int EvNotifier::chkBuf(unsigned char*, int) { return 1; }

int EvNotifier::handleInput(EvAdapter* sock) {
    unsigned char byte;
    sock->read(&byte, 1);
    // Every pending wake-up is answered by this one pass.
    unsigned char rest[kDrainChunk];
    while (recv(sock->getHandle(), rest, sizeof(rest), MSG_DONTWAIT) == kDrainChunk) {
    }
    return 0;
}

int EvNotifier::handleClose(EvAdapter*) {
    // The engine has closed the read end already.
    close(writeEnd);
    readEnd = writeEnd = -1;
    return 0;
}
