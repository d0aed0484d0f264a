// A connection as the event engine sees it: a descriptor, its mode flags,
// framed input and queued output. Private to the engine and the programs of
// this tree; handlers see it as an EvAdapter.
#pragma once

#include <sys/types.h>

#include "reactor/ev_handler.h"

// One input or output buffer of a socket; the memory comes from malloc so
// that it can grow in place with realloc.
struct EvBuf {
    int wanted = 0;    // input: length the buffer must reach
    int done = 0;      // input: bytes received; output: bytes sent
    int used = 0;      // input: bytes consumed by read; output: bytes queued
    int capacity = 0;  // bytes allocated
    int chunk = -1;    // largest single recv/send, from the socket's buffer size
    unsigned char* data = nullptr;

    EvBuf() = default;
    EvBuf(const EvBuf&) = delete;
    EvBuf& operator=(const EvBuf&) = delete;
    ~EvBuf() { init(); }

    // Frees the memory and returns to the state of a new buffer.
    void init();
    // Frees the memory and forgets the bytes, but keeps the chunk size
    // learned from the socket, which does not change while it is open.
    void clear();
    // Forgets the bytes once all were consumed or sent; keeps the memory
    // only when it is small.
    void drained();
    // Grows the memory to `size` bytes; false (buffer unchanged) when no
    // memory is left.
    bool grow(int size);
    // Moves the bytes not yet consumed to the front.
    void compact();
};

class EvSock : public EvAdapter {
public:
    EvSock(int id, int fd, EvHandler* h);
    ~EvSock() override;
    EvSock(const EvSock&) = delete;
    EvSock& operator=(const EvSock&) = delete;

    // Handler side.
    int getHandle() override { return fd; }
    // Takes n bytes of the received unit; reading past it closes the socket.
    int read(unsigned char* buf, int n) override;
    // Unconsumed input bytes; copies n of them when buf is given.
    int peek(unsigned char* buf, int n) override;
    // Queues n bytes; they are sent when the socket becomes writable.
    int write(unsigned char* buf, int n) override;

    int getId() const { return id; }
    int getFlags() const { return flags; }
    void addFlags(int f) { flags |= f; }
    void clearFlags(int f) { flags &= ~f; }
    EvHandler* getHandler() const { return handler; }
    const EvBuf& inBuf() const { return in; }
    const EvBuf& outBuf() const { return out; }

    // Engine side.
    // Recomputes want-read, input-ready and want-write.
    void chkState();
    // 1 the announced unit is complete, 0 more is needed, -1 closed.
    int sread();
    // True when the last receive found nothing left behind it, so another
    // one now would only come back empty. Known for TCP only; false when
    // unknown.
    bool inputDrained() const { return queuedAfterRead == 0; }
    // 1 everything queued has gone, 0 some is left, -1 closed.
    int swrite();
    void sclose();
    // Forgets descriptor and handler without closing: both now belong to
    // whoever asked.
    void sdetach();
    // Tells the handler its socket is gone; deletes the handler when it
    // asks for that with a negative result.
    int handleClose();

private:
    bool fetchChunk(EvBuf& buf, int option);
    // recv() of up to n bytes that also learns, on TCP, how many bytes the
    // kernel still holds after them.
    ssize_t receive(unsigned char* at, int n);

    int id;
    int fd;
    int flags = 0;
    EvBuf in;
    EvBuf out;
    EvHandler* handler;
    // Receives past the announced unit (the handler reads ahead).
    bool ahead;
    // The kernel's count of received bytes not yet read, as of the last
    // receive; -1 unknown.
    int queuedAfterRead = -1;
    // TCP reports that count with every receive once asked to (TCP_INQ).
    bool countQueued = false;
    bool countAsked = false;
};
