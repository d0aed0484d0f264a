#include "keeper/config_diff.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/ini_file.h"
#include "support/test_util.h"

namespace {

typedef std::vector<std::string> Names;

struct DiffTest : ::testing::Test {
    ConfigDiff diff(const std::string& running, const std::string& now) {
        writeText(dir.path() + "/a.ini", running);
        writeText(dir.path() + "/b.ini", now);
        IniFile a((dir.path() + "/a.ini").c_str()), b((dir.path() + "/b.ini").c_str());
        return diff_config(a, b);
    }
    TempDir dir;
};

const char kBase[] =
    "[general]\nkeeper port = 4000\n"
    "[flags/f]\nname = f\nenabled = yes\n"
    "[actions/fix]\nname = fix.sh\n"
    "[tasks/keep]\ntype = ps\nname = a\n"
    "[tasks/edit]\ntype = ps\nname = b\nargs = 1\n"
    "[tasks/gone]\ntype = ps\nname = c\n"
    "[checks/c]\nname = probe\ninterval = 5\n";

TEST_F(DiffTest, EachFamilyGetsItsAddedRemovedAndChangedSections) {
    const ConfigDiff same = diff(kBase, kBase);
    EXPECT_FALSE(same.any);
    EXPECT_TRUE(same.tasks.empty() && same.checks.empty() && same.flags.empty());

    const ConfigDiff d = diff(kBase,
                              "[general]\nkeeper port = 4000\n"
                              "[flags/f]\nname = f\nenabled = no\n"
                              "[flags/g]\nname = g\n"
                              "[actions/fix]\nname = fix.sh\n"
                              "[tasks/keep]\ntype = ps\nname = a\n"
                              "[tasks/edit]\ntype = ps\nname = b\nargs = 2\n"
                              "[tasks/new]\ntype = ps\nname = d\n"
                              "[checks/c]\nname = probe\ninterval = 5\n[checks/d]\nname = x\n");
    EXPECT_TRUE(d.any);
    EXPECT_EQ(d.tasks.added, Names{"tasks/new"});
    EXPECT_EQ(d.tasks.removed, Names{"tasks/gone"});
    EXPECT_EQ(d.tasks.changed, Names{"tasks/edit"});
    EXPECT_EQ(d.checks.added, Names{"checks/d"});
    EXPECT_TRUE(d.checks.removed.empty() && d.checks.changed.empty());
    EXPECT_EQ(d.flags.changed, Names{"flags/f"});
    EXPECT_EQ(d.flags.added, Names{"flags/g"});
    EXPECT_TRUE(d.actions.empty());
    EXPECT_TRUE(d.restart_keys.empty());
}

TEST_F(DiffTest, GeneralDefaultsChangeTheTasksThatTakeThemAndRestartKeysAreNamed) {
    const std::string running =
        "[general]\nkeeper port = 4000\nallow from = 10.0.0.1\n"
        "[tasks/own]\ntype = ps\nname = a\noutput = log\noutput size = 1M\n"
        "[tasks/takes]\ntype = ps\nname = b\n";
    const ConfigDiff d = diff(running,
                              "[general]\nkeeper port = 4001\noutput = log\nmetrics file = /m\n"
                              "[tasks/own]\ntype = ps\nname = a\noutput = log\noutput size = 1M\n"
                              "[tasks/takes]\ntype = ps\nname = b\n");
    EXPECT_TRUE(d.any);
    EXPECT_EQ(d.tasks.changed, Names{"tasks/takes"});
    EXPECT_EQ(d.restart_keys, (Names{"keeper port", "allow from"}));

    // A comment or the order of the keys is no change.
    EXPECT_FALSE(diff(running,
                      "; note\n[tasks/takes]\ntype = ps\nname = b\n"
                      "[general]\nallow from = 10.0.0.1\nkeeper port = 4000\n"
                      "[tasks/own]\noutput size = 1M\ntype = ps\noutput = log\nname = a\n")
                     .any);
}

}  // namespace
