#include "support/str_utils.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/test_util.h"

namespace {

std::string trimmed(const char* text, bool dequote) {
    std::string copy = text;
    return strTrimDequote(&copy[0], dequote);
}

TEST(ResolvePath, SeparatorHandling) {
    EXPECT_EQ(resolvePath("b", "m", "qoevdbg.conf", "/usr/local/DYX/conf"),
              "/usr/local/DYX/conf/qoevdbg.conf");
    EXPECT_EQ(resolvePath(nullptr, nullptr, "n", "dir/"), "dir/n");
    EXPECT_EQ(resolvePath(nullptr, nullptr, "n", "dir\\"), "dir\\n");
    EXPECT_EQ(resolvePath(nullptr, nullptr, "n", ""), "/n");
    EXPECT_EQ(resolvePath(nullptr, nullptr, "n", nullptr), "/n");
}

TEST(StrTrimDequote, BlanksAndQuotes) {
    EXPECT_EQ(trimmed(" \t\r\n value x \r\n", false), "value x");
    EXPECT_EQ(trimmed(" \"quoted\" ", false), "\"quoted\"");
    EXPECT_EQ(trimmed(" \"quoted\" ", true), "quoted");
    EXPECT_EQ(trimmed("'single'", true), "single");
    EXPECT_EQ(trimmed("\"open", true), "open");
    EXPECT_EQ(trimmed("close'", true), "close");
    EXPECT_EQ(trimmed("\"\"\"", true), "\"");
    EXPECT_EQ(trimmed("\"", true), "");
    EXPECT_EQ(trimmed("   ", true), "");
    EXPECT_EQ(strTrimDequote(nullptr, true), nullptr);
}

TEST(StrcmpNoCase, CaseAndMissing) {
    EXPECT_EQ(strcmpNoCase("Vardo", "vARDO"), 0);
    EXPECT_LT(strcmpNoCase("abc", "ABD"), 0);
    EXPECT_LT(strcmpNoCase(nullptr, ""), 0);
    EXPECT_GT(strcmpNoCase("", nullptr), 0);
    EXPECT_EQ(strcmpNoCase(nullptr, nullptr), 0);
}

TEST(GetLine, LinesAndPieces) {
    TempDir tmp;
    writeText(tmp / "f", "first\nsecond\r\nthird_is_long\nlast");
    FILE* f = fopen((tmp / "f").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[10];
    std::vector<std::string> got;
    while (getLine(f, buf, sizeof buf)) got.push_back(buf);
    fclose(f);
    EXPECT_EQ(got, (std::vector<std::string>{"first", "second\r", "third_is_", "long", "last"}));
}

TEST(Match, TablesExactAndPrefix) {
    const char* const table[] = {"start", "stop", "Restart", nullptr};
    EXPECT_EQ(strMatch("stop", table), 1);
    EXPECT_EQ(strMatch("STOP", table), -1);
    EXPECT_EQ(strCaseMatch("STOP", table), 1);
    EXPECT_EQ(strMatch("sto", table), -1);
    EXPECT_EQ(headMatch("stopping", table), 1);
    EXPECT_EQ(headMatch("restart now", table), -1);
    EXPECT_EQ(headCaseMatch("restart now", table), 2);
    EXPECT_EQ(headMatch("st", table), -1);
    EXPECT_EQ(strMatch(nullptr, table), -1);
    EXPECT_EQ(strMatch("x", nullptr), -1);
}

TEST(SplitStr, TokensSkipEmptyPieces) {
    std::vector<std::string> tokens{"old"};
    EXPECT_EQ(splitStr("  -a  b\tc ", " \t", tokens), 3);
    EXPECT_EQ(tokens, (std::vector<std::string>{"-a", "b", "c"}));
    EXPECT_EQ(splitStr("", " ", tokens), 0);
    EXPECT_TRUE(tokens.empty());
    EXPECT_EQ(splitStr("a,,b;c", ",;", tokens), 3);
    EXPECT_EQ(splitStr("whole", "", tokens), 1);
    EXPECT_EQ(splitStr(nullptr, " ", tokens), 0);
}

}  // namespace
