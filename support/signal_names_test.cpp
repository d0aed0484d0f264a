#include "support/signal_names.h"

#include <gtest/gtest.h>
#include <signal.h>

TEST(SignalNames, AsKillListsThemWithOrWithoutSig) {
    EXPECT_EQ(SIGINT, Com_signalByName("INT"));
    EXPECT_EQ(SIGINT, Com_signalByName("SIGINT"));
    EXPECT_EQ(SIGQUIT, Com_signalByName("QUIT"));
    EXPECT_EQ(SIGRTMIN + 2, Com_signalByName("RTMIN+2"));
    EXPECT_EQ(SIGRTMAX, Com_signalByName("SIGRTMAX"));
    for (const char* bad : {"", "SIG", "int", "TERMINATE", "15", "RTMIN+99", "RTMAX+1", "RTMIN+"})
        EXPECT_EQ(-1, Com_signalByName(bad)) << bad;
    EXPECT_EQ(-1, Com_signalByName(nullptr));
}
