// Round trips per second of a 12-byte message between two sockets driven by
// one EvEngine, beside the same round trips with plain blocking read/write.
//
//   engine_bench [round trips] [unix|tcp]

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reactor/ev_engine.h"

namespace {

constexpr int kMsgSize = 12;  // one keeper header

using Clock = std::chrono::steady_clock;

bool tcpPair(int fds[2]) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bool ok = listener >= 0 &&
              bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
              listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    fds[0] = ok ? socket(AF_INET, SOCK_STREAM, 0) : -1;
    ok =
        ok && fds[0] >= 0 && connect(fds[0], reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    fds[1] = ok ? accept(listener, nullptr, nullptr) : -1;
    if (listener >= 0) close(listener);
    if (fds[1] < 0) return false;
    // Without it every small reply would wait for the delayed ACK.
    int on = 1;
    for (int i = 0; i < 2; ++i) setsockopt(fds[i], IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return true;
}

bool makePair(bool tcp, int fds[2]) {
    return tcp ? tcpPair(fds) : socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Answers every message with itself.
class Echo : public EvHandler {
public:
    int chkBuf(unsigned char*, int) override { return kMsgSize; }
    int handleInput(EvAdapter* sock) override {
        unsigned char msg[kMsgSize];
        sock->read(msg, kMsgSize);
        sock->write(msg, kMsgSize);
        return 0;
    }
};

// Sends a message, and the next one when the answer is back.
class Pinger : public EvHandler {
public:
    Pinger(EvEngine& engine, long rounds) : engine(engine), rounds(rounds) {}
    int chkBuf(unsigned char*, int) override { return kMsgSize; }
    int handleOpen(EvAdapter* sock) override {
        unsigned char msg[kMsgSize] = {};
        sock->write(msg, kMsgSize);
        return 0;
    }
    int handleInput(EvAdapter* sock) override {
        unsigned char msg[kMsgSize];
        sock->read(msg, kMsgSize);
        if (++done == rounds)
            engine.requestStop();
        else
            sock->write(msg, kMsgSize);
        return 0;
    }
    long done = 0;

private:
    EvEngine& engine;
    long rounds;
};

double engineRate(bool tcp, long rounds) {
    int fds[2];
    if (!makePair(tcp, fds)) return 0;
    EvEngine engine;
    Echo echo;
    Pinger pinger(engine, rounds);
    engine.registerSocket(fds[1], &echo, true, 0);
    Clock::time_point start = Clock::now();
    engine.registerSocket(fds[0], &pinger, true, 0);
    engine.run();
    double seconds = secondsSince(start);
    return pinger.done == rounds ? rounds / seconds : 0;
}

// Sends msg from `from` to `to`.
bool pass(int from, int to, unsigned char* msg) {
    return write(from, msg, kMsgSize) == kMsgSize && read(to, msg, kMsgSize) == kMsgSize;
}

double blockingRate(bool tcp, long rounds) {
    int fds[2];
    if (!makePair(tcp, fds)) return 0;
    unsigned char msg[kMsgSize] = {};
    long done = 0;
    Clock::time_point start = Clock::now();
    while (done < rounds && pass(fds[0], fds[1], msg) && pass(fds[1], fds[0], msg)) ++done;
    double seconds = secondsSince(start);
    close(fds[0]);
    close(fds[1]);
    return done == rounds ? rounds / seconds : 0;
}

}  // namespace

int main(int argc, char** argv) {
    long rounds = argc > 1 ? atol(argv[1]) : 100000;
    bool tcp = argc > 2 && strcmp(argv[2], "tcp") == 0;
    if (rounds < 1) {
        fprintf(stderr, "usage: %s [round trips] [unix|tcp]\n", argv[0]);
        return 2;
    }
    double engine = engineRate(tcp, rounds);
    double blocking = blockingRate(tcp, rounds);
    if (engine <= 0 || blocking <= 0) {
        fprintf(stderr, "engine_bench: a run failed\n");
        return 1;
    }
    printf("%ld round trips of %d bytes over %s sockets\n", rounds, kMsgSize,
           tcp ? "loop-back TCP" : "local");
    printf("EvEngine:        %12.0f round trips/s\n", engine);
    printf("blocking I/O:    %12.0f round trips/s\n", blocking);
    printf("engine/blocking: %12.2f\n", engine / blocking);
    return 0;
}
