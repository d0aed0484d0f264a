#include "support/run_prog.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, WordsOfAnArgvAndTheirTraceText) {
    const char* const argv[] = {"/bin/sh", "-c", "exit 3", nullptr};
    EXPECT_EQ(argvWords(argv), (std::vector<std::string>{"/bin/sh", "-c", "exit 3"}));
    EXPECT_TRUE(argvWords(nullptr).empty());
    EXPECT_EQ(commandLineText(argv), "/bin/sh -c exit 3");
    EXPECT_EQ(commandLineText(std::vector<std::string>{"", "a", "", "b"}), " a  b")
        << "every word counts, an empty one too";
}

}  // namespace
