// The single-threaded poll() reactor every program of the system runs on:
// sockets with framed input and queued output, listeners, and timers on the
// uptime clock.
#pragma once

#include <netinet/in.h>

#include <ctime>
#include <memory>
#include <string>
#include <type_traits>

#include "reactor/ev_handler.h"

// Where the engine reads the time; tests substitute their own to move time
// without sleeping.
class EvClock {
public:
    virtual ~EvClock() = default;
    // Whole seconds since boot: setting the wall clock never moves a timer.
    virtual long uptime() const;
    // Seconds since the epoch.
    virtual time_t wallTime() const;
};

using EvTimerCb = int (EvHandler::*)(void*);

class EvEngine;
class EvNotifier;

// Accepts connections and gives each a handler from its factory.
class EvListener : public EvHandler {
public:
    EvListener(EvHandlerFactory* factory, EvEngine* engine, bool secure);
    ~EvListener() override;
    EvListener(const EvListener&) = delete;
    EvListener& operator=(const EvListener&) = delete;
    int handleInput(EvAdapter* listenSock) override;
    int handleClose(EvAdapter* sock) override;

private:
    // Out of descriptors: the pending connection would keep the listener
    // readable and the loop spinning, so the spare descriptor makes room to
    // accept it and close it at once.
    void refuseOne(EvAdapter* listenSock);

    EvEngine* engine;
    EvHandlerFactory* factory;
    int spareFd;
};

// The engine's sockets, timers and loop live behind one pointer, so that
// programs built against this header keep working when they change.
class EvEngine {
public:
    // Where the loop is: run() sets RUNNING and, on return, IDLE; an owner
    // may mark STOPPING while it winds down. Informational only: nothing
    // branches on it.
    enum evState { EV_RUNNING = 0, EV_STOPPING = 1, EV_IDLE = 2 };

    EvEngine();
    ~EvEngine();
    EvEngine(const EvEngine&) = delete;
    EvEngine& operator=(const EvEngine&) = delete;

    void setState(int state);
    void setState(evState state);
    int getState() const;

    // A null clock restores the system clock. The clock is not owned.
    void setClock(const EvClock* clock);
    const EvClock& getClock() const;

    // Sockets. Each returns the new socket, or null; a descriptor handed in
    // or opened here is closed on failure.
    EvAdapter* registerSocket(int fd, EvHandler* h, bool framed, int flags);
    // Listeners bind every address unless given one (network order).
    EvAdapter* evListen(int port, EvHandler* h, in_addr_t address = htonl(INADDR_ANY));
    EvAdapter* evListen(int port, EvHandlerFactory* f, in_addr_t address = htonl(INADDR_ANY));
    EvAdapter* evListenSSL(int port, EvHandlerFactory* f);
    EvAdapter* Connect(const char* host, int port, EvHandler* h);
    EvAdapter* evConnect(const char* host, int port, EvHandler* h);
    EvAdapter* evConnectSSL(const char* host, int port, EvHandler* h);
    EvAdapter* evAccept(EvAdapter* listener, EvHandler* h);
    // Marks the socket closed; it is dropped at the end of the loop pass.
    void evClose(EvAdapter* sock);
    // Hands the descriptor to the caller; the socket is dropped at the end of
    // the pass without telling its handler.
    int evDetach(EvAdapter* sock);
    // "address:port" of the peer into `out`; the address in network order,
    // 0 when unknown.
    static in_addr_t getPeer(EvAdapter* sock, std::string& out);
    static bool isLocal(const char* host);
    static bool isLocal(EvAdapter* sock);
    void releaseNonSSL();
    void releaseSSL();
    // Drops every timer unfired and closes and drops every socket.
    void releaseAll();

    // Timers. The callback's positive result re-arms the timer one period
    // later. addTimer returns the timer's id, or -1 for a zero delay.
    int addTimer(long delay, EvHandler* h, EvTimerCb cb, void* arg, int minGap);
    // First firing at wall-clock time `when`, then every `period` seconds.
    int addTimer(long when, long period, EvHandler* h, EvTimerCb cb, void* arg, int minGap);
    // The same for a callback declared in a class derived from EvHandler.
    template <class H, class M>
    int addTimer(long delay, H* h, int (M::*cb)(void*), void* arg, int minGap) {
        static_assert(std::is_base_of<M, H>::value && std::is_base_of<EvHandler, M>::value,
                      "the timer's callback must be a member of its EvHandler");
        return addTimer(delay, static_cast<EvHandler*>(h), static_cast<EvTimerCb>(cb), arg, minGap);
    }
    template <class H, class M>
    int addTimer(long when, long period, H* h, int (M::*cb)(void*), void* arg, int minGap) {
        static_assert(std::is_base_of<M, H>::value && std::is_base_of<EvHandler, M>::value,
                      "the timer's callback must be a member of its EvHandler");
        return addTimer(when, period, static_cast<EvHandler*>(h), static_cast<EvTimerCb>(cb), arg,
                        minGap);
    }
    void delTimer(int id);

    // Turns until a stop request or until no socket and no timer is left.
    void run();
    // Makes run() release everything and return; wake a blocked run() with
    // notifier().notify() afterwards. A signal handler or another thread
    // may call it.
    void requestStop();
    // The engine's own wake-up pair (reactor/ev_notifier.h).
    EvNotifier& notifier();

private:
    class Core;
    const std::unique_ptr<Core> core;
};
