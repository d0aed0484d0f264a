// One-shot timers to the millisecond, for the deadlines of the programs the
// daemon runs. The engine's timers count whole seconds of uptime, so a 2 s
// timer may fire after one second or after nearly three; a deadline must do
// neither, since a client waits for the answer it brings. A timerfd that the
// loop watches like any socket wakes it at the earliest one.
#ifndef KEEPER_PRECISE_TIMERS_H
#define KEEPER_PRECISE_TIMERS_H

#include <functional>
#include <map>
#include <unordered_map>

#include "reactor/ev_handler.h"

class EvEngine;

class PreciseTimers : public EvHandler {
public:
    explicit PreciseTimers(EvEngine* engine);
    ~PreciseTimers() override;
    PreciseTimers(const PreciseTimers&) = delete;
    PreciseTimers& operator=(const PreciseTimers&) = delete;

    // `fire` runs on the loop delay_ms from now, once; the timer's id (> 0).
    int add(long long delay_ms, std::function<void()> fire);
    // A timer that has fired or was cancelled is ignored.
    void cancel(int id);
    // Milliseconds of the monotonic clock.
    static long long now_ms();

    int handleInput(EvAdapter* sock) override;
    int handleClose(EvAdapter* sock) override;

private:
    using Due = std::multimap<long long, std::pair<int, std::function<void()>>>;
    void fire_due();
    void rearm();

    EvEngine* engine;
    int fd = -1;
    EvAdapter* sock = nullptr;
    int last_id = 0;
    Due due;  // by the monotonic millisecond they fall due
    std::unordered_map<int, Due::iterator> by_id;
};

#endif
