// The way out of the SIGCHLD and SIGTERM handlers into the loop.
#ifndef KEEPER_CHILD_NOTIFIER_H
#define KEEPER_CHILD_NOTIFIER_H

#include "reactor/ev_handler.h"

class EvEngine;
class KeeperSrv;

// Carries exited children (and a SIGTERM request) out of the signal handlers
// into the loop: every unit on the socket pair is one 4-byte pid, and pid 0
// stands for the termination request.
class SigChildNotifier : public EvHandler {
public:
    static const int kSigtermUnit = 0;

    ~SigChildNotifier() override;
    int init(EvEngine* engine, KeeperSrv* keeper);
    // Async-signal-safe.
    void notify(int pid);

    int chkBuf(unsigned char*, int) override { return 4; }
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
};

#endif
