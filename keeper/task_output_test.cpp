#include "keeper/task_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

#include "reactor/ev_engine.h"
#include "support/appliance.h"
#include "support/test_util.h"

namespace {

// Another writer on a program's pipe, which the timer signal lets fill the
// pipe up again every 250 us, for two seconds at least.
int refill_fd = -1;
volatile sig_atomic_t refills_left = 0;
std::string refill_text;

void refill(int) {
    if (refills_left <= 0) return;
    refills_left = refills_left - 1;
    const int saved = errno;
    if (write(refill_fd, refill_text.data(), refill_text.size()) < 0) {
    }
    errno = saved;
}

// A child the program left behind may hold its standard output and write on
// after the program has gone: what the pipe holds at the program's exit is
// read, but no more, or the daemon would serve nothing else while it writes.
TEST(TaskOutput, ExitReadsWhatThePipeHoldsAndDoesNotFollowAWriterThatGoesOn) {
    TempDir home;
    setenv(APP_HOME_ENV, home.path().c_str(), 1);
    EvEngine engine;
    TaskOutput output(&engine, "writer", 64LL << 20);
    ASSERT_TRUE(output.prepare());
    ASSERT_EQ(write(output.stdout_fd(), "last words\n", 11), 11);
    // A large pipe, full at each tick, never runs empty while it is read.
    ASSERT_GT(fcntl(output.stdout_fd(), F_SETPIPE_SZ, 1 << 20), 0);
    ASSERT_EQ(fcntl(output.stdout_fd(), F_SETFL, O_NONBLOCK), 0);
    refill_fd = output.stdout_fd();
    while (refill_text.size() < (1u << 20)) refill_text += "the child writes on\n";
    refills_left = 8000;
    refill(0);
    struct sigaction action = {}, before;
    action.sa_handler = refill;
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, &before);
    const itimerval tick = {{0, 250}, {0, 250}}, stop = {};
    setitimer(ITIMER_REAL, &tick, nullptr);

    const auto start = std::chrono::steady_clock::now();
    output.program_exited();
    const auto took = std::chrono::steady_clock::now() - start;
    refills_left = 0;
    setitimer(ITIMER_REAL, &stop, nullptr);
    sigaction(SIGALRM, &before, nullptr);
    unsetenv(APP_HOME_ENV);

    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_NE(readText(output.log_path()).find("   Info stdout last words\n"), std::string::npos);
}

}  // namespace
