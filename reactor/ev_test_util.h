// Helpers shared by the engine's tests.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "reactor/ev_engine.h"
#include "reactor/ev_notifier.h"
#include "reactor/ev_sock.h"

// Time that moves only when a test says so.
struct FakeClock : EvClock {
    long now = 1000;
    time_t wall = 1700000000;
    long uptime() const override { return now; }
    time_t wallTime() const override { return wall; }
};

// A connected local pair; ends not taken are closed on destruction.
struct SockPair {
    int fds[2] = {-1, -1};
    SockPair() { (void)socketpair(AF_UNIX, SOCK_STREAM, 0, fds); }
    ~SockPair() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    int take(int i) {
        int fd = fds[i];
        fds[i] = -1;
        return fd;
    }
};

// Notes what the engine does to it.
class Recorder : public EvHandler {
public:
    explicit Recorder(std::vector<std::string>* log = nullptr, std::string name = "r")
        : log(log), name(std::move(name)) {}
    int chkBuf(unsigned char*, int) override { return unit; }
    int handleOpen(EvAdapter* s) override {
        sock = s;
        ++opens;
        return 0;
    }
    int handleInput(EvAdapter*) override {
        ++inputs;
        note("input");
        return 0;
    }
    int handleClose(EvAdapter*) override {
        ++closes;
        note("close");
        return 0;
    }

    int unit = 0;  // what chkBuf announces
    EvAdapter* sock = nullptr;
    int opens = 0, inputs = 0, closes = 0;

protected:
    void note(const char* what) {
        if (log) log->push_back(name + ":" + what);
    }
    std::vector<std::string>* log;
    std::string name;
};

// Turns the loop one pass at a time without sleeping: it keeps a complete
// unit buffered and never consumes it, so every select polls. Each pass
// moves the fake clock one second; after `passes` passes it stops the
// engine.
class Ticker : public EvHandler {
public:
    Ticker(EvEngine& engine, int passes, FakeClock* clock = nullptr,
           std::vector<std::string>* log = nullptr)
        : engine(engine), passes(passes), clock(clock), log(log) {
        unsigned char byte = 0;
        (void)::write(pair.fds[1], &byte, 1);
        engine.registerSocket(pair.take(0), this, true, 0);
    }
    int chkBuf(unsigned char*, int) override { return 1; }
    int handleInput(EvAdapter*) override {
        ++ticks;
        if (log) log->push_back("tick");
        if (clock) ++clock->now;
        if (ticks >= passes) engine.requestStop();
        return 0;
    }

    int ticks = 0;

private:
    EvEngine& engine;
    int passes;
    FakeClock* clock;
    std::vector<std::string>* log;
    SockPair pair;
};
