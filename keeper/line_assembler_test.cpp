#include "keeper/line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Collect {
    std::vector<std::string> lines;
    LineAssembler assembler{
        [this](const char* line, size_t length) { lines.emplace_back(line, length); }};
};

TEST(LineAssembler, JoinsPiecesAndKeepsThePartialLineUntilItsEnd) {
    Collect out;
    const std::string text = "one\ntw";
    out.assembler.feed(text.data(), text.size(), 0);
    EXPECT_EQ(out.lines, std::vector<std::string>{"one"});
    EXPECT_TRUE(out.assembler.holding());
    out.assembler.feed("o\n\nthree", 8, 10);
    EXPECT_EQ(out.lines, (std::vector<std::string>{
                             "one",
                             "two",
                             "",
                         }));
    out.assembler.flush();
    EXPECT_EQ(out.lines.back(), "three");
    EXPECT_FALSE(out.assembler.holding());
    out.assembler.flush();
    EXPECT_EQ(out.lines.size(), 4u);
}

TEST(LineAssembler, CutsLongLinesIntoPiecesOfTheLimitButNotALineOfExactlyTheLimit) {
    Collect out;
    const size_t max = LineAssembler::kMaxLine;
    std::string exact(max, 'a');
    exact += '\n';
    // Fed in two reads that split just before the newline.
    out.assembler.feed(exact.data(), max, 0);
    out.assembler.feed(exact.data() + max, 1, 0);
    ASSERT_EQ(out.lines.size(), 1u);
    EXPECT_EQ(out.lines[0].size(), max);

    std::string longer(2 * max + 5, 'b');
    longer += '\n';
    out.assembler.feed(longer.data(), longer.size(), 0);
    ASSERT_EQ(out.lines.size(), 4u);
    EXPECT_EQ(out.lines[1].size(), max);
    EXPECT_EQ(out.lines[2].size(), max);
    EXPECT_EQ(out.lines[3], "bbbbb");
}

TEST(LineAssembler, WritesAPartialLineOnlyAfterASecondWithoutMore) {
    Collect out;
    out.assembler.feed("prompt> ", 8, 1000);
    EXPECT_TRUE(out.assembler.flush_if_idle(1999));
    out.assembler.feed("more", 4, 1500);
    EXPECT_TRUE(out.assembler.flush_if_idle(2499));
    EXPECT_TRUE(out.lines.empty());
    EXPECT_FALSE(out.assembler.flush_if_idle(2500));
    EXPECT_EQ(out.lines, std::vector<std::string>{"prompt> more"});
    EXPECT_FALSE(out.assembler.flush_if_idle(9000));
    EXPECT_EQ(out.lines.size(), 1u);
}

}  // namespace
