#include "support/ini_lines.h"

#include <gtest/gtest.h>
#include <iniparser.h>

#include <map>
#include <string>

#include "support/test_util.h"

namespace {

// What iniparser itself reads from the text: every "section:key" and value.
std::map<std::string, std::string> loaded(const std::string& text) {
    TempDir tmp;
    writeText(tmp / "a.ini", text);
    std::map<std::string, std::string> entries;
    dictionary* d = iniparser_load((tmp / "a.ini").c_str());
    if (!d) return {{"<refused>", ""}};
    for (ssize_t i = 0; i < d->size; ++i)
        if (d->key[i]) entries[d->key[i]] = d->val[i] ? d->val[i] : "<section>";
    iniparser_freedict(d);
    return entries;
}

// An operator's file: comments, blank lines, odd spacing and case, a key
// in several sections, a section given twice, quotes, a line that goes on.
const std::string kFile =
    "; vardo\r\n"
    "[general]\n"
    "keeper port=4000   ; fixed\n"
    "\n"
    "[Flags/A]\n"
    "   Name =   a\n"
    "\tENABLED\t=\t\"yes\"  # quoted\n"
    "\n"
    "; B is off on purpose\n"
    "[flags/b]\n"
    "name = b\n"
    "enabled = no\n"
    "[checks/c]\n"
    "args = -a \\\n"
    "  -b\n"
    "; old: \\\n"
    "hidden = 0\n"
    "level = 3\n"
    "[flags/a]\n"
    "enabled = no\n"
    "# the end\n";

// Each change touches its own line and nothing else, and iniparser reads
// the new value with every other entry as it was.
TEST(IniLines, ChangesOnlyTheLineOfTheKey) {
    ASSERT_EQ("-a   -b", loaded(kFile).at("checks/c:args")) << "the loader takes the file";
    struct Case {
        const char *section, *key, *value, *before, *after;
    } cases[] = {
        {"general", "keeper port", "4001", "keeper port=4000   ; fixed\n",
         "keeper port=4001   ; fixed\n"},
        {"flags/b", "enabled", "yes", "name = b\nenabled = no\n", "name = b\nenabled = yes\n"},
        // The section's last block holds the value the loader keeps.
        {"FLAGS/A", "Enabled", "yes", "[flags/a]\nenabled = no\n", "[flags/a]\nenabled = yes\n"},
        {"checks/c", "args", "-v", "args = -a \\\n  -b\n", "args = -v\n"},
    };
    for (const Case& c : cases) {
        IniLines file(kFile);
        ASSERT_TRUE(file.set(c.section, c.key, c.value)) << c.key;
        std::string expected = kFile;
        ASSERT_NE(std::string::npos, expected.find(c.before));
        expected.replace(expected.find(c.before), std::string(c.before).size(), c.after);
        EXPECT_EQ(expected, file.text());
        std::map<std::string, std::string> entries = loaded(kFile);
        std::string changed = std::string(c.section) + ":" + c.key;
        for (char& ch : changed) ch = static_cast<char>(tolower(ch));
        entries[changed] = c.value;
        EXPECT_EQ(entries, loaded(file.text())) << file.text();
    }
    // Quotes stay when the value allows them.
    IniLines quoted("[s]\nk = 'old' ; why\n");
    ASSERT_TRUE(quoted.set("s", "k", "new value"));
    EXPECT_EQ("[s]\nk = 'new value' ; why\n", quoted.text());
}

TEST(IniLines, AddsAMissingKeyAfterItsSectionsLastEntryAndAMissingSectionAtTheEnd) {
    IniLines file(kFile);
    // "hidden" goes on a comment's line, so it is missing from its section.
    ASSERT_TRUE(file.set("checks/c", "hidden", "1"));
    ASSERT_TRUE(file.set("flags/b", "must", "yes"));
    ASSERT_TRUE(file.set("flags/A", "must", "no"));
    ASSERT_TRUE(file.set("tasks/New", "enabled", "no"));
    std::string expected = kFile;
    expected.replace(expected.find("enabled = no\n[checks/c]"), 13, "enabled = no\nmust = yes\n");
    expected.replace(expected.find("level = 3\n"), 10, "level = 3\nhidden = 1\n");
    expected.replace(expected.find("[flags/a]\nenabled = no\n"), 23,
                     "[flags/a]\nenabled = no\nmust = no\n");
    expected += "\n[tasks/New]\nenabled = no\n";
    EXPECT_EQ(expected, file.text());
    std::map<std::string, std::string> entries = loaded(kFile);
    entries["checks/c:hidden"] = "1";
    entries["flags/b:must"] = "yes";
    entries["flags/a:must"] = "no";
    entries["tasks/new"] = "<section>";
    entries["tasks/new:enabled"] = "no";
    EXPECT_EQ(entries, loaded(file.text()));

    // A file whose last line has no end, and one written with CR LF.
    IniLines unended("[s]\r\nk = 1");
    ASSERT_TRUE(unended.set("s", "j", "2"));
    ASSERT_TRUE(unended.set("t", "k", "3"));
    EXPECT_EQ("[s]\r\nk = 1\r\nj = 2\r\n\r\n[t]\r\nk = 3\r\n", unended.text());
    IniLines empty("");
    ASSERT_TRUE(empty.set("s", "k", "v"));
    EXPECT_EQ("[s]\nk = v\n", empty.text());
}

// Nothing a value, key or section holds may become structure, or read back
// as anything but itself.
TEST(IniLines, RefusesWhatWouldNotReadBackAsWritten) {
    const std::string text = "[s]\nk = old\nq = \"old\"\n";
    const std::string long_value(1100, 'x');
    struct Case {
        const char *section, *key;
        std::string value;
    } cases[] = {
        {"s", "k", "x\n[t]\nk = y"}, {"s", "k", "a\rb"}, {"s", "k", "a\x7f"},
        {"s", "k", "a;b"},           {"s", "k", "a#b"},  {"s", "k", " padded"},
        {"s", "k", "ends in \\"},    {"s", "k", "'x'"},  {"s", "k", long_value},
        {"s", "new", "a;b"},         {"s", "a=b", "v"},  {"t]x", "k", "v"},
        {"t", "k", "a#b"},           {"", "k", "v"},     {"s", "", "v"},
        {"s", "q", "\"ab"},
    };
    for (const Case& c : cases) {
        IniLines file(text);
        EXPECT_FALSE(file.set(c.section, c.key, c.value))
            << c.section << ":" << c.key << "=" << c.value;
        EXPECT_EQ(text, file.text());
    }
    // An unfinished last line would take the new section's header.
    IniLines unfinished("[s]\nk = 1\n; note \\\n");
    EXPECT_FALSE(unfinished.set("t", "k", "v"));
    EXPECT_TRUE(unfinished.set("s", "j", "v"));
    EXPECT_EQ("[s]\nk = 1\nj = v\n; note \\\n", unfinished.text());
}

}  // namespace
