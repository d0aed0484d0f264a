// The member functions the daemon hands to the engine as timer callbacks; a
// positive result re-arms the timer.
#ifndef KEEPER_TIMER_HANDLER_H
#define KEEPER_TIMER_HANDLER_H

#include <set>

#include "reactor/ev_handler.h"

class EvEngine;
class TaskHost;

// Argument of kill_ps.
struct KillRecord {
    int pid;
    int sig;
};

class TimerHandler : public EvHandler {
public:
    typedef int (TimerHandler::*Callback)(void*);

    TimerHandler(EvEngine* engine, TaskHost* keeper) : engine(engine), keeper(keeper) {}
    // Frees the records of kill timers that never fired: the engine drops
    // pending timers unfired when its loop ends.
    ~TimerHandler() override;
    TimerHandler(const TimerHandler&) = delete;
    TimerHandler& operator=(const TimerHandler&) = delete;

    int run_check(void* check);
    int run_task(void* task);
    int run_ka_check(void* task);
    int kill_ps(void* record);
    // The configuration plug-in's periodic work; the argument is not used.
    int run_wh_status(void*);
    // A moment after the boot sequence and after the plug-in's periodic
    // work; the argument is not used.
    int release_memory(void*);

    // Arms a timer on the engine with one of the callbacks above.
    int add(long delay, Callback cb, void* arg, int min_gap);
    void remove(int id);
    // Arms kill_ps: signal `sig` to the task that still has `pid` then.
    void add_kill(long delay, int pid, int sig);
    // Seconds of system uptime on the engine's clock.
    long now() const;

    EvEngine* get_engine() const { return engine; }
    TaskHost* get_keeper() const { return keeper; }

private:
    EvEngine* engine;
    TaskHost* keeper;
    std::set<KillRecord*> kill_records;
};

#endif
