// Shared set-up of the keeper's unit tests: an engine on a clock the test
// moves, and a supervisor that is built but not initialised.
#ifndef KEEPER_TEST_SUPPORT_H
#define KEEPER_TEST_SUPPORT_H

#include <sys/wait.h>

#include "keeper/actions.h"
#include "keeper/keeper_srv.h"
#include "keeper/timer_handler.h"
#include "reactor/ev_engine.h"
#include "support/test_util.h"

class ManualClock : public EvClock {
public:
    long uptime() const override { return now; }
    time_t wallTime() const override { return 1700000000 + now; }
    long now = 100;
};

struct KeeperFixture {
    KeeperFixture() : keeper(&engine), timers(&engine, &keeper) {
        engine.setClock(&clock);
        keeper.set_action_registry(&actions);
    }
    // Connections go before the keeper they report to, as at the end of the
    // daemon's loop.
    ~KeeperFixture() {
        engine.releaseAll();
        engine.setClock(nullptr);
    }

    // Reaps the children the keeper's runner started, where the daemon's loop
    // would be woken, until none is left.
    void settle_runs() {
        int status;
        pid_t pid;
        while (keeper.get_runner().running_count() > 0 && (pid = waitpid(-1, &status, 0)) > 0)
            if (!keeper.get_runner().child_exited(pid, status))
                keeper.handleExitedChildPs(pid, status);
    }

    ManualClock clock;
    EvEngine engine;
    KeeperSrv keeper;
    TimerHandler timers;
    ActionHandler actions;
};

#endif
