#include "reactor/ev_sock.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reactor/ev_handler.h"
#include "support/ev_debug.h"

namespace {

// Buffers grow by this much beyond what is needed right now, so that a
// stream of small units does not realloc on every one.
constexpr int kGrowSlack = 10000;
// A drained buffer up to this size is kept for the next unit: a socket that
// carries a small message now and then (an event fanned out to a hundred
// clients) then costs no allocation and no fresh pages for each, while an
// idle socket that once carried a large unit keeps no more than this.
constexpr int kKeptSize = 512;

// Would-block and interrupted calls leave the socket usable.
bool transient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

void confused() { fputs("Socket confused\n", stderr); }

// Capacity for `needed` bytes plus slack, or -1 when that overflows an int
// (a peer announcing an absurd length must not wrap the size around).
int withSlack(int needed) { return needed > INT_MAX - kGrowSlack ? -1 : needed + kGrowSlack; }

// Capacity for `needed` bytes: the kept size while that suffices, else with
// slack.
int sizeFor(int needed) { return needed <= kKeptSize ? kKeptSize : withSlack(needed); }

}  // namespace

void EvBuf::init() {
    clear();
    chunk = -1;
}

void EvBuf::clear() {
    free(data);
    data = nullptr;
    wanted = done = used = capacity = 0;
}

void EvBuf::drained() {
    if (capacity > kKeptSize) {
        clear();
        return;
    }
    wanted = done = used = 0;
}

bool EvBuf::grow(int size) {
    if (size < 0) return false;
    auto* bigger = static_cast<unsigned char*>(realloc(data, size));
    if (!bigger) return false;
    data = bigger;
    capacity = size;
    return true;
}

void EvBuf::compact() {
    if (used == 0) return;
    memmove(data, data + used, static_cast<size_t>(done - used));
    done -= used;
    used = 0;
}

EvSock::EvSock(int id, int fd, EvHandler* h)
    : id(id), fd(fd), handler(h), ahead(h && h->readsAhead()) {}

EvSock::~EvSock() { sclose(); }

int EvSock::read(unsigned char* buf, int n) {
    if (n < 0 || n > in.done - in.used) {
        confused();
        sclose();
        return -1;
    }
    memcpy(buf, in.data + in.used, n);
    in.used += n;
    if (in.used == in.done) in.drained();
    return n;
}

int EvSock::peek(unsigned char* buf, int n) {
    if (n < 0 || n > in.done - in.used) {
        confused();
        return -1;
    }
    if (buf && n >= 1) memcpy(buf, in.data + in.used, n);
    return in.done - in.used;
}

int EvSock::write(unsigned char* buf, int n) {
    // Output queued on a closed socket could never leave.
    if (fd == -1 || n < 0) return -1;
    if (n > out.capacity - out.used) {
        int size = n > INT_MAX - out.capacity ? -1 : sizeFor(out.capacity + n);
        if (!out.grow(size)) {
            EV_TRACE(DL_ERROR, "EvSock::write, no memory for %d bytes on socket %d", n, id);
            sclose();
            return -1;
        }
    }
    if (n > 0) memcpy(out.data + out.used, buf, n);
    out.used += n;
    return n;
}

void EvSock::chkState() {
    flags &= ~(EV_WANT_READ | EV_INPUT_READY);
    if (fd == -1) return;
    // What a handler that reads ahead left belongs to the next unit, which
    // chkBuf reads from the front.
    if (ahead) in.compact();
    in.wanted = handler->chkBuf(in.data, in.done);
    if (in.wanted > in.done)
        flags |= EV_WANT_READ;
    else if (in.wanted > 0)
        flags |= EV_INPUT_READY;
    if (out.used > out.done) flags |= EV_WANT_WRITE;
}

bool EvSock::fetchChunk(EvBuf& buf, int option) {
    if (buf.chunk >= 1) return true;
    socklen_t len = sizeof(buf.chunk);
    if (getsockopt(fd, SOL_SOCKET, option, &buf.chunk, &len) < 0 || buf.chunk < 1) {
        EV_TRACE(DL_DEBUG, "EvSock::fetchChunk, socket %d: no buffer size (%s)", id,
                 strerror(errno));
        buf.chunk = -1;
        return false;
    }
    return true;
}

ssize_t EvSock::receive(unsigned char* at, int n) {
    if (!countAsked) {
        countAsked = true;
        // Fails harmlessly on anything but TCP, which then keeps plain recv.
        int on = 1;
        countQueued = setsockopt(fd, IPPROTO_TCP, TCP_INQ, &on, sizeof(on)) == 0;
    }
    if (!countQueued) {
        queuedAfterRead = -1;
        return recv(fd, at, n, MSG_DONTWAIT);
    }
    iovec iov{at, static_cast<size_t>(n)};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t got = recvmsg(fd, &msg, MSG_DONTWAIT);
    queuedAfterRead = got < 0 && transient(errno) ? 0 : -1;
    if (got <= 0) return got;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_TCP && c->cmsg_type == TCP_CM_INQ)
            memcpy(&queuedAfterRead, CMSG_DATA(c), sizeof(queuedAfterRead));
    return got;
}

int EvSock::sread() {
    if (in.done >= in.wanted) return 1;
    if (in.wanted > in.capacity && !in.grow(sizeFor(in.wanted))) {
        EV_TRACE(DL_ERROR, "EvSock::sread, no memory for %d bytes on socket %d", in.wanted, id);
        sclose();
        return -1;
    }
    if (!fetchChunk(in, SO_RCVBUF)) {
        sclose();
        return -1;
    }
    int want = in.wanted - in.done;
    // Past the announced unit only into room the buffer already has, and
    // only for a handler that leaves what follows its unit in place.
    if (ahead && in.capacity - in.done > want) want = in.capacity - in.done;
    ssize_t got = receive(in.data + in.done, want < in.chunk ? want : in.chunk);
    if (got < 0 && transient(errno)) return 0;
    if (got <= 0) {
        EV_TRACE(DL_DEBUG, "EvSock::sread, socket %d closed (%s)", id,
                 got == 0 ? "peer closed" : strerror(errno));
        sclose();
        return -1;
    }
    in.done += static_cast<int>(got);
    return in.done >= in.wanted ? 1 : 0;
}

int EvSock::swrite() {
    // Nothing queued is nothing to fail at.
    if (out.used == out.done) {
        flags &= ~EV_WANT_WRITE;
        out.drained();
        return 1;
    }
    if (!fetchChunk(out, SO_SNDBUF)) {
        sclose();
        return -1;
    }
    int left = out.used - out.done;
    // MSG_NOSIGNAL: a peer that has gone must cost this socket, not the
    // whole process by SIGPIPE.
    ssize_t sent = send(fd, out.data + out.done, left < out.chunk ? left : out.chunk,
                        MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && transient(errno)) return 0;
    if (sent <= 0) {
        EV_TRACE(DL_DEBUG, "EvSock::swrite, socket %d closed (%s)", id,
                 sent == 0 ? "nothing sent" : strerror(errno));
        sclose();
        return -1;
    }
    out.done += static_cast<int>(sent);
    if (out.done < out.used) return 0;
    flags &= ~EV_WANT_WRITE;
    out.drained();
    return 1;
}

void EvSock::sclose() {
    if (fd != -1) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
        fd = -1;
    }
    in.init();
    out.init();
    flags = 0;
}

void EvSock::sdetach() {
    fd = -1;
    handler = nullptr;
}

int EvSock::handleClose() {
    if (!handler) return 0;
    int result = handler->handleClose(this);
    if (result < 0) {
        delete handler;
        handler = nullptr;
    }
    return result;
}
