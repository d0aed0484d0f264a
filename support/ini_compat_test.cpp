#include "support/ini_compat.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/ini_file.h"
#include "support/test_util.h"

namespace {

// The indexed look-ups answer as iniparser does: any case, typed values with
// their defaults, the sections in the dictionary's order, and a change to
// the dictionary seen once it is announced.
TEST(IniFile, IndexedLookupsAnswerAsIniparser) {
    TempDir tmp;
    writeText(tmp / "a.ini",
              "[general]\nkeeper port = 0050\n[tasks/B]\nRestart = Yes\nname = b\n"
              "[tasks/a]\nrestart = 0\nnice = x\n");
    IniFile ini((tmp / "a.ini").c_str());
    ASSERT_NE(ini.get_dictionary(), nullptr);
    EXPECT_EQ(ini.get_int("General", "Keeper Port", 1), 50);
    EXPECT_TRUE(ini.get_bool("tasks/b", "restart", false));
    EXPECT_FALSE(ini.get_bool("tasks/a", "restart", true));
    EXPECT_TRUE(ini.get_bool("tasks/a", "nice", true));  // neither yes nor no
    EXPECT_EQ(ini.get_text("tasks/b", "missing", "dflt"), "dflt");
    EXPECT_EQ(ini.get_int("tasks/a", "missing", 7), 7);
    std::vector<std::string> names(ini.sections().begin(), ini.sections().end());
    EXPECT_EQ(names, (std::vector<std::string>{"general", "tasks/b", "tasks/a"}));
    iniparser_setstr(ini.get_dictionary(), "tasks/c:name", "c");
    ini.dictionary_changed();
    EXPECT_EQ(ini.get_text("tasks/c", "name", ""), "c");
    EXPECT_EQ(ini.sections().size(), 4u);
}

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
