#include "protocol/wire_text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(WireText, ReadingStopsAtTheFieldWidth) {
    char field[4] = {'a', 'b', 'c', 'd'};  // no NUL, as a peer may send it
    EXPECT_EQ(wireText(field), "abcd");
    EXPECT_EQ(wireText(field, 2), "ab");
    char shortText[8] = "ab";
    EXPECT_EQ(wireText(shortText), "ab");
}

TEST(WireText, WritingCutsTerminatesAndZeroFills) {
    char field[6];
    std::memset(field, 'Q', sizeof field);
    setWireText(field, "toolongname");
    EXPECT_STREQ(field, "toolo");

    std::memset(field, 'Q', sizeof field);
    setWireText(field, std::string("ab"));
    const char expected[6] = {'a', 'b', 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(field, expected, sizeof field));

    setWireText(field, nullptr);
    EXPECT_EQ(0, std::memcmp(field, "\0\0\0\0\0\0", sizeof field));
}

}  // namespace
