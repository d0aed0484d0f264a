#include "keeper/precise_timers.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

#include "reactor/ev_engine.h"
#include "support/ev_debug.h"

PreciseTimers::PreciseTimers(EvEngine* e)
    : engine(e), fd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
    if (fd < 0) {
        EV_TRACE(DL_ERROR, "PreciseTimers, no timerfd: deadlines are not kept");
        return;
    }
    // The engine closes the descriptor itself when it fails to take it.
    sock = engine->registerSocket(fd, this, false, EV_RAW_READ);
    if (!sock) fd = -1;
}

// A timer set that goes first takes its descriptor back; one the engine
// released already had it closed there.
PreciseTimers::~PreciseTimers() {
    if (sock) close(engine->evDetach(sock));
}

int PreciseTimers::handleClose(EvAdapter*) {
    sock = nullptr;
    fd = -1;
    return 0;
}

long long PreciseTimers::now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int PreciseTimers::add(long long delay_ms, std::function<void()> fire) {
    const int id = ++last_id;
    by_id[id] = due.emplace(now_ms() + delay_ms, std::make_pair(id, std::move(fire)));
    rearm();
    return id;
}

void PreciseTimers::cancel(int id) {
    auto found = by_id.find(id);
    if (found == by_id.end()) return;
    due.erase(found->second);
    by_id.erase(found);
    rearm();
}

int PreciseTimers::handleInput(EvAdapter*) {
    uint64_t expirations = 0;
    if (read(fd, &expirations, sizeof expirations) < 0) {
        // Nothing due yet (a timer re-armed since): the next wake-up comes.
    }
    fire_due();
    return 0;
}

// Each timer leaves the set before it runs: what it does may add or cancel
// timers, itself included.
void PreciseTimers::fire_due() {
    const long long now = now_ms();
    while (!due.empty() && due.begin()->first <= now) {
        std::function<void()> fire = std::move(due.begin()->second.second);
        by_id.erase(due.begin()->second.first);
        due.erase(due.begin());
        fire();
    }
    rearm();
}

void PreciseTimers::rearm() {
    if (fd < 0) return;
    itimerspec when{};
    if (!due.empty()) {
        const long long at = due.begin()->first;
        when.it_value.tv_sec = static_cast<time_t>(at / 1000);
        when.it_value.tv_nsec = static_cast<long>(at % 1000) * 1000000;
        // Zero would disarm it: a time already past fires at once this way.
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
    }
    timerfd_settime(fd, TFD_TIMER_ABSTIME, &when, nullptr);
}
