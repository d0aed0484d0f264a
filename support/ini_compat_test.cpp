#include "support/ini_compat.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/test_util.h"

namespace {

TEST(IniCompat, GetstrAndSetstr) {
    TempDir tmp;
    writeText(tmp / "a.ini", "[general]\nkeeper port = 5050\nname = vardo\n");
    dictionary* d = iniparser_load((tmp / "a.ini").c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(iniparser_getstr(d, "general:name"), "vardo");
    EXPECT_STREQ(iniparser_getstr(d, "General:Keeper Port"), "5050");
    EXPECT_EQ(iniparser_getstr(d, "general:missing"), nullptr);

    EXPECT_EQ(iniparser_setstr(d, "general:name", "other"), 0);
    EXPECT_EQ(iniparser_setstr(d, "tasks/new:enable", "1"), 0);
    EXPECT_STREQ(iniparser_getstr(d, "general:name"), "other");
    EXPECT_EQ(iniparser_setstr(nullptr, "a:b", "c"), -1);

    FILE* out = fopen((tmp / "b.ini").c_str(), "w");
    ASSERT_NE(out, nullptr);
    iniparser_dump_ini(d, out);
    fclose(out);
    iniparser_freedict(d);

    dictionary* back = iniparser_load((tmp / "b.ini").c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(iniparser_getstr(back, "tasks/new:enable"), "1");
    EXPECT_STREQ(iniparser_getstr(back, "general:name"), "other");
    iniparser_freedict(back);
}

}  // namespace
