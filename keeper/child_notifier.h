// The way out of the SIGCHLD and SIGTERM handlers into the loop.
#ifndef KEEPER_CHILD_NOTIFIER_H
#define KEEPER_CHILD_NOTIFIER_H

#include <csignal>

#include "reactor/ev_handler.h"

class EvEngine;
class KeeperSrv;

// Wakes the loop out of the signal handlers: a handler only records what
// happened and writes a byte into the socket pair; the loop then reaps the
// exited children (keeper/child_watch.h) and acts on a termination or reload
// request. A full pair loses nothing, since the byte carries no news of its
// own: the loop reaps whatever has exited whenever it wakes.
class SigChildNotifier : public EvHandler {
public:
    ~SigChildNotifier() override;
    int init(EvEngine* engine, KeeperSrv* keeper);
    // Async-signal-safe.
    void wake();
    // Async-signal-safe: the loop will start the staged stop.
    void request_termination();
    // Async-signal-safe: the loop will reload the INI file.
    void request_reload();

    // Whatever has arrived is one unit: a handler's bytes say nothing apart.
    int chkBuf(unsigned char*, int len) override { return len > 0 ? len : 1; }
    int handleInput(EvAdapter* sock) override;
    int handleClose(EvAdapter* sock) override;

private:
    KeeperSrv* keeper = nullptr;
    // The engine and the socket of the read end while the engine holds it:
    // a notifier destroyed first takes its socket back, so that the engine
    // never calls into a deleted keeper.
    EvEngine* engine = nullptr;
    EvAdapter* readAdapter = nullptr;
    int readSock = -1;
    int writeSock = -1;
    volatile sig_atomic_t termination_requested = 0;
    volatile sig_atomic_t reload_requested = 0;
};

#endif
