#include "keeper/config_reload.h"

#include <gtest/gtest.h>

#include "keeper/check_base.h"
#include "keeper/ini_keeper.h"
#include "keeper/keeper_srv.h"
#include "keeper/tasks.h"
#include "keeper/test_support.h"
#include "support/proc_utils.h"
#include "support/test_util.h"

namespace {

// Port 0: any free port will do.
const char kGeneral[] = "[general]\nkeeper port = 0\nlisten ip = 127.0.0.1\n";
const char kBoot[] =
    "[tasks/boot]\ntype = bootTask\nimplement = App\nname = /bin/true\nlevel = 1\n";

std::string check(const char* name) {
    return std::string("[checks/") + name + "]\nname = /bin/true\nimplement = App\nlevel = 1\n" +
           "action on failure = fix\n";
}

struct ReloadTest : ::testing::Test {
    std::string path() const { return dir.path() + "/" + Com_getPidName() + ".ini"; }
    void write(const std::string& text) { writeText(path(), text); }
    // Loaded and booted: the boot task has run, the checks are armed.
    void boot(const std::string& text) {
        write(text);
        ASSERT_EQ(f.keeper.init(&f.actions, (dir.path() + "/").c_str()), 0);
        f.keeper.start_tasks();
        f.settle_runs();
        f.keeper.run_boot_sequence();
        ASSERT_TRUE(f.keeper.boot_sequence_finished());
    }
    // Decides and, as the loop's next pass would, applies.
    keeperStatus reload() {
        const keeperStatus rc = reloader.reload(path());
        reloader.apply_decided(nullptr);
        return rc;
    }
    std::string flags() {
        char* text = nullptr;
        unsigned len = 0;
        f.keeper.list_flags(&text, &len);
        std::string out = text ? text : "";
        free(text);
        return out;
    }
    TempDir dir;
    KeeperFixture f;
    ConfigReload reloader{f.keeper};
};

TEST_F(ReloadTest, RefusedFileLeavesNothingBehindAndAValidOneAppliesOnlyItsChanges) {
    const std::string actions = "[actions/fix]\nimplement = App\nname = fix\n";
    boot(kGeneral + std::string("[flags/a]\nname = a\n") + actions + kBoot + check("c1"));
    CheckBase* kept = f.keeper.find_check_by_name("c1");
    ASSERT_NE(kept, nullptr);
    const int timer = kept->get_timer();
    EXPECT_NE(timer, -1);

    // An enabled must task that cannot run: refused, and nothing of the
    // file joins the daemon.
    write(kGeneral + std::string("[flags/a]\nname = a\n[flags/b]\nname = b\n") + actions +
          "[actions/other]\nimplement = App\nname = other\n" + kBoot + check("c1") +
          "[tasks/bad]\ntype = ps\nname = nothing\nlocation = /nowhere\nlevel = 1\n");
    EXPECT_EQ(reload(), KEEPER_FAIL);
    EXPECT_EQ(flags(), "a On\n");
    EXPECT_EQ(f.keeper.find_action_by_name("other"), f.keeper.find_action_by_name("None"));
    EXPECT_EQ(f.keeper.get_ps_list().size(), 0u);

    // A new flag and check, a changed action, the boot task untouched.
    TaskOnSeq* boot_task = f.keeper.find_task_by_name("boot");
    write(kGeneral + std::string("[flags/a]\nname = a\nenabled = no\n[flags/b]\nname = b\n") +
          "[actions/fix]\nimplement = App\nname = fix\nargs = again\n" + kBoot + check("c1") +
          check("c2"));
    // Decided, not applied yet: nothing changed so far, and a second reload
    // is refused meanwhile.
    EXPECT_EQ(reloader.reload(path()), KEEPER_OK);
    EXPECT_EQ(flags(), "a On\n");
    EXPECT_EQ(reloader.reload(path()), KEEPER_FAIL);
    reloader.apply_decided(nullptr);
    EXPECT_EQ(flags(), "a Off\nb On\n");
    EXPECT_EQ(f.keeper.find_task_by_name("boot"), boot_task);
    EXPECT_EQ(f.keeper.find_check_by_name("c1"), kept);
    EXPECT_EQ(kept->get_timer(), timer);
    EXPECT_STREQ(kept->get_failure_action()->get_args(), "again");
    ASSERT_NE(f.keeper.find_check_by_name("c2"), nullptr);
    EXPECT_NE(f.keeper.find_check_by_name("c2")->get_timer(), -1);

    EXPECT_EQ(reload(), KEEPER_NO_CHANGE);

    // Gone: the check and the boot task.
    write(kGeneral + std::string("[flags/b]\nname = b\n") + check("c2"));
    EXPECT_EQ(reload(), KEEPER_OK);
    EXPECT_EQ(f.keeper.find_check_by_name("c1"), nullptr);
    EXPECT_EQ(f.keeper.find_task_by_name("boot"), nullptr);
    EXPECT_EQ(flags(), "b On\n");
}

TEST_F(ReloadTest, RefusedUntilTheBootSequenceHasStartedEveryLevel) {
    write(kGeneral + std::string(kBoot));
    ASSERT_EQ(f.keeper.init(&f.actions, (dir.path() + "/").c_str()), 0);
    EXPECT_EQ(f.keeper.reload_config(), KEEPER_FAIL);
}

}  // namespace
