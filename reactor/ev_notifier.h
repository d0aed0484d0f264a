// Waking the engine from outside its loop, the engine's counters, and the
// thin socket and host-name functions the engine is built on.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "reactor/ev_handler.h"

class EvEngine;

// A connected pair whose read end sits in the engine: one byte written to
// the other end makes the engine's select return.
class EvNotifier : public EvHandler {
public:
    EvNotifier() = default;
    ~EvNotifier() override;
    EvNotifier(const EvNotifier&) = delete;
    EvNotifier& operator=(const EvNotifier&) = delete;

    // Creates the pair and registers its read end; -1 when the pair cannot
    // be made (the engine then runs without a notifier).
    int init(EvEngine* engine);
    // Wakes the loop. Never blocks and keeps errno, so a signal handler may
    // call it too.
    void notify();

    int chkBuf(unsigned char* data, int len) override;
    int handleInput(EvAdapter* sock) override;
    int handleClose(EvAdapter* sock) override;

private:
    int readEnd = -1;
    int writeEnd = -1;
};

// Counted by the engine loop, printed through EvCounters; never reset.
extern uint32_t evSelectActions;
extern uint32_t evStartTimersActions;
extern uint32_t evFinishTimersActions;
extern uint32_t evStartSocketActions;
extern uint32_t evFinishSocketActions;

// Prints the engine counters.
class EvCounters {
public:
    static EvCounters& instance();
    std::string asString() const;

private:
    EvCounters() = default;
};

std::ostream& operator<<(std::ostream& os, const EvCounters& counters);

int SxSockInit();
void SxSockEnd();
void SxPerror(const char* text);
int SxSockError();

// IPv4 address of a dotted quad or host name, in network order;
// INADDR_NONE when neither works.
in_addr_t name2ip(const char* host);
// Room for this host's name (128 bytes at most) and its NUL.
constexpr size_t DEV_NAME_LEN = 129;
// This host's name into buf, cut to fit; empty (and a line on standard
// error) when it cannot be had. Returns buf.
const char* devName(char* buf, size_t size);
// The dotted address of this host's name into buf (INET_ADDRSTRLEN bytes
// hold any), cut to fit. Returns buf.
const char* devIp(char* buf, size_t size);
// The same in static buffers shared by every thread, each call overwriting
// the text of the last: not thread-safe.
const char* devName();
const char* devIp();

// A connected pair of stream sockets, both ends non-blocking and
// close-on-exec: fds[0] is read, fds[1] written. 0, or -1 with nothing open.
int createPipe(int fds[2]);
