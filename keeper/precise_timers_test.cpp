#include "keeper/precise_timers.h"

#include <gtest/gtest.h>

#include <vector>

#include "reactor/ev_engine.h"

namespace {

// Through the real loop: the timerfd wakes select at the millisecond the
// earliest timer falls due, whatever the engine's whole-second timers say.
TEST(PreciseTimers, FireInOrderToTheMillisecondAndCancelledOnesNever) {
    EvEngine engine;
    std::vector<int> fired;
    long long stopped_at = 0;
    {
        PreciseTimers timers(&engine);
        const long long start = PreciseTimers::now_ms();
        timers.add(250, [&] {
            fired.push_back(250);
            stopped_at = PreciseTimers::now_ms() - start;
            engine.requestStop();
        });
        const int cancelled = timers.add(50, [&] { fired.push_back(50); });
        timers.add(120, [&] {
            fired.push_back(120);
            timers.cancel(cancelled);
        });
        timers.cancel(cancelled);
        engine.run();
    }
    EXPECT_EQ((std::vector<int>{120, 250}), fired);
    EXPECT_GE(stopped_at, 250);
    EXPECT_LT(stopped_at, 500);
}

}  // namespace
