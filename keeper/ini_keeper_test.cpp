#include "keeper/ini_keeper.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "keeper/check_base.h"
#include "keeper/ps_task.h"
#include "keeper/test_support.h"

namespace {

const char kIni[] =
    "; the operator's comment\n"
    "[general]\nkeeper type = secondary\nkeeper port = 4321\nprimary ip = 10.1.2.3\n"
    "[flags/first]\nname = Alpha\nenabled = no\n"
    "[flags/nameless]\nenabled = yes\n"
    "[actions/fix]\nimplement = App\nname = /bin/true\n"
    "[tasks/Upper]\ntype = ps\nname = /bin/sleep\nargs = 5\nlevel = 2\nrestart = \" Yes \"\n"
    "kill timeout = 0\naction on failure = true\n"
    "[tasks/boot]\ntype = bootTask\nimplement = App\nname = /bin/true\nlevel = 1\n"
    "[tasks/odd]\ntype = BootTask\nlevel = 1\n"
    "[tasks/loose]\ntype = ps\nname = /bin/true\nmust = no\n"
    "[checks/c1]\nname = /bin/true\nimplement = App\nlevel = 1\n"
    "[checks/c1again]\nname = /bin/true\nimplement = App\nlevel = 3\n"
    "[checks/nolevel]\nname = /bin/true\nimplement = App\n";

struct IniTest : ::testing::Test {
    std::string path() const { return dir.path() + "/vardo.ini"; }
    keeperStatus load(const std::string& text) {
        writeText(path(), text);
        ini.reset(new iniKeeper_stc(path().c_str(), &f.keeper, &f.timers));
        return ini->parse_ini_file();
    }
    TempDir dir;
    KeeperFixture f;
    std::unique_ptr<iniKeeper_stc> ini;
};

TEST_F(IniTest, BuildsTheConfiguredObjects) {
    ASSERT_EQ(KEEPER_OK, load(kIni));
    EXPECT_EQ(1u, f.keeper.get_desc().type);
    EXPECT_EQ(4321, f.keeper.get_desc().port);
    ASSERT_EQ(1u, f.keeper.get_flags().size());
    EXPECT_STREQ("Alpha", f.keeper.get_flags()[0]->name);
    EXPECT_FALSE(f.keeper.get_flags()[0]->enabled);

    PsTask* upper = f.keeper.find_ps_by_name("upper");
    ASSERT_NE(nullptr, upper);
    EXPECT_EQ(10, upper->get_kill_timeout());
    EXPECT_STREQ("true", upper->get_failure_action()->get_name());
    EXPECT_EQ(upper, f.keeper.find_task_by_name("upper"));
    EXPECT_NE(nullptr, f.keeper.find_task_by_name("boot"));
    EXPECT_EQ(nullptr, f.keeper.find_task_by_name("odd"));
    // Not valid, not a must: in the process list, in no level.
    EXPECT_NE(nullptr, f.keeper.find_ps_by_name("loose"));
    EXPECT_EQ(nullptr, f.keeper.find_task_by_name("loose"));
    EXPECT_EQ(2u, f.keeper.get_task_levels().size());

    EXPECT_NE(nullptr, f.keeper.find_check_by_name("c1"));
    EXPECT_NE(nullptr, f.keeper.find_check_by_name("c1again"));
    EXPECT_EQ(nullptr, f.keeper.find_check_by_name("nolevel"));
}

TEST_F(IniTest, AnInvalidMustTaskFailsTheFile) {
    EXPECT_EQ(KEEPER_FAIL,
              load("[general]\nkeeper port = 1\n[tasks/x]\ntype = ps\nname = /bin/true\n"));
    EXPECT_FALSE(ini->general_malformed()) << "the backup may still be read";
    EXPECT_EQ(KEEPER_OK, load("[general]\nkeeper port = 1\n"));
    EXPECT_EQ(KEEPER_FAIL, load(""));
    EXPECT_FALSE(ini->general_malformed());
}

TEST_F(IniTest, AllowFromIsReadAndAMalformedOneIsToldApart) {
    EXPECT_EQ(KEEPER_OK, load("[general]\nallow from = 10.0.0.0/8 , 192.168.1.7\n"));
    const AllowList& allowed = f.keeper.get_desc().allow_from;
    EXPECT_TRUE(allowed.allows(inet_addr("10.1.2.3")));
    EXPECT_FALSE(allowed.allows(inet_addr("192.168.1.8")));
    EXPECT_EQ(KEEPER_FAIL, load("[general]\nallow from = 10.0.0.0/8,\n"));
    EXPECT_TRUE(ini->general_malformed());
}

// A flag flip or a task switch changes the one line of its key, or adds
// it to its section: comments, blank lines, spacing, order and the file's
// mode stay.
TEST_F(IniTest, WriteBackChangesOnlyTheLineOfItsKey) {
    const std::string text =
        "; operator's notes\n[general]\nkeeper port = 4321\n\n"
        "[flags/first]\n  Name = Alpha   ; the first\nEnabled=no  # set by hand\n\n"
        "[tasks/Upper]\ntype = ps\nname = /bin/sleep\nlevel = 2\n\n# last words\n";
    ASSERT_EQ(KEEPER_OK, load(text));
    chmod(path().c_str(), 0640);
    ASSERT_EQ(KEEPER_OK, ini->set_flag_mode("Alpha", true));
    std::string expected = text;
    expected.replace(expected.find("Enabled=no"), 10, "Enabled=yes");
    EXPECT_EQ(expected, readText(path()));
    ASSERT_EQ(KEEPER_OK, ini->set_task_mode(*f.keeper.find_task_by_name("upper"), false));
    expected.replace(expected.find("level = 2\n"), 10, "level = 2\nenabled = no\n");
    EXPECT_EQ(expected, readText(path()));
    struct stat st;
    ASSERT_EQ(0, stat(path().c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    TaskOnSeq missing(&f.keeper, &f.timers);
    missing.set_name("missing");
    EXPECT_EQ(KEEPER_FAIL, ini->set_task_mode(missing, true));
    EXPECT_EQ(expected, readText(path()));
}

TEST_F(IniTest, LeadingZerosAreDecimalAndWriteBackFindsTheTaskSection) {
    ASSERT_EQ(KEEPER_OK, load("[general]\nkeeper port = 07311\n"
                              "[tasks/fup_def]\ntype = ps\nname = /bin/sleep\nlevel = 08\n"
                              "kaPeriod = 010\n"));
    EXPECT_EQ(7311, f.keeper.get_desc().port);
    // The section's task goes by another name than the section.
    PsTask* fup = f.keeper.find_ps_by_name("FUP_def");
    ASSERT_NE(nullptr, fup);
    EXPECT_EQ(8u, fup->get_level());
    EXPECT_EQ(10u, fup->get_ka_period_config());
    ASSERT_EQ(KEEPER_OK, ini->set_task_mode(*fup, false));
    iniKeeper_stc reread(path().c_str(), nullptr, nullptr);
    EXPECT_EQ(0, iniparser_getboolean(reread.get_dictionary(), "tasks/fup_def:enabled", 1));
}

TEST_F(IniTest, FailedWriteBackLeavesTheOldFileAndValue) {
    ASSERT_EQ(KEEPER_OK, load(kIni));
    std::string moved = dir.path() + "/elsewhere";
    std::string original = readText(path());
    ASSERT_EQ(0, mkdir(moved.c_str(), 0755));
    ASSERT_EQ(0, rename(path().c_str(), (moved + "/vardo.ini").c_str()));
    ASSERT_EQ(0, rename(dir.path().c_str(), (dir.path() + ".gone").c_str()));
    EXPECT_EQ(KEEPER_FAIL, ini->set_task_mode(*f.keeper.find_task_by_name("upper"), false));
    EXPECT_EQ(1, iniparser_getboolean(ini->get_dictionary(), "tasks/upper:enabled", 1));
    ASSERT_EQ(0, rename((dir.path() + ".gone").c_str(), dir.path().c_str()));
    EXPECT_EQ(original, readText(moved + "/vardo.ini"));
}

// The daemon's own requests change nothing in memory that the file did not
// take: a task keeps its mode, a flag its state, a check its arguments.
TEST_F(IniTest, RequestsChangeNothingTheFileDidNotTake) {
    writeText(path(), kIni);
    f.keeper.create_iniparser(path().c_str());
    ASSERT_EQ(KEEPER_OK, f.keeper.get_iniparser()->parse_ini_file());
    const std::string gone = dir.path() + ".gone";
    ASSERT_EQ(0, rename(dir.path().c_str(), gone.c_str()));
    GeneralMsg flag(KEEPER_SET_FLAG);
    flag.payload.value.value = 1;
    strcpy(flag.payload.value.name, "Alpha");
    EXPECT_EQ(KEEPER_FAIL, f.keeper.set_flag_mode(flag));
    strcpy(flag.payload.value.name, "Newcomer");
    EXPECT_EQ(KEEPER_FAIL, f.keeper.set_flag_mode(flag));
    GeneralMsg task(KEEPER_SET_TASK);
    strcpy(task.payload.setTask.task, "upper");
    EXPECT_EQ(KEEPER_FAIL, f.keeper.set_task(task));
    GeneralMsg check(KEEPER_SET_CHECK);
    strcpy(check.payload.setCheck.check, "c1");
    strcpy(check.payload.setCheck.args, "-v");
    EXPECT_EQ(KEEPER_FAIL, f.keeper.set_check(check));
    ASSERT_EQ(0, rename(gone.c_str(), dir.path().c_str()));
    EXPECT_FALSE(f.keeper.find_flag_by_name("Alpha")->enabled);
    EXPECT_EQ(nullptr, f.keeper.find_flag_by_name("Newcomer"));
    EXPECT_TRUE(f.keeper.find_task_by_name("upper")->is_enabled());
    EXPECT_STREQ("", f.keeper.find_check_by_name("c1")->get_args());
    EXPECT_EQ(KEEPER_OK, f.keeper.set_check(check)) << "and once it can be written, it is";
    EXPECT_STREQ("-v", f.keeper.find_check_by_name("c1")->get_args());
}

TEST_F(IniTest, FlagStatesSurviveARestart) {
    ASSERT_EQ(KEEPER_OK, load(kIni));
    ASSERT_EQ(KEEPER_OK, ini->set_flag_mode("Alpha", true));
    ASSERT_EQ(KEEPER_OK, ini->set_flag_mode("Beta", false));

    KeeperFixture restarted;
    iniKeeper_stc again(path().c_str(), &restarted.keeper, &restarted.timers);
    ASSERT_EQ(KEEPER_OK, again.parse_ini_file());
    ASSERT_EQ(2u, restarted.keeper.get_flags().size());
    EXPECT_TRUE(restarted.keeper.find_flag_by_name("Alpha")->enabled);
    ASSERT_NE(nullptr, restarted.keeper.find_flag_by_name("Beta"));
    EXPECT_FALSE(restarted.keeper.find_flag_by_name("Beta")->enabled);
}

TEST_F(IniTest, WriteBackRefusesWhatWouldBecomeStructure) {
    ASSERT_EQ(KEEPER_OK, load(kIni));
    ASSERT_EQ(KEEPER_OK, ini->set_flag_mode("Alpha", true));
    const std::string before = readText(path());
    for (const char* bad :
         {"x\n[tasks/evil]\nname = /bin/sh", "a]b", "a[b", "a;b", "a#b", "a\rb", "a\x7f"}) {
        EXPECT_EQ(KEEPER_FAIL, ini->set_flag_mode(bad, true)) << bad;
        EXPECT_EQ(KEEPER_FAIL, ini->set_check_args("c1", bad)) << bad;
    }
    EXPECT_EQ(before, readText(path()));
    EXPECT_EQ(KEEPER_OK, ini->set_check_args("c1", "-v"));
}

TEST_F(IniTest, DeviceModeIsReadFromGeneral) {
    ASSERT_EQ(KEEPER_OK, load("[general]\nkeeper port = 9\ndevice mode = Tap\n"));
    EXPECT_STREQ("Tap", ini->get_dev_mode());
    EXPECT_EQ(KEEPER_FAIL, ini->set_dev_mode("Active", nullptr));
    ASSERT_EQ(KEEPER_OK, load("[general]\nkeeper port = 9\n"));
    EXPECT_EQ(KEEPER_FAIL, ini->set_dev_mode("Tap\n[tasks/x]", nullptr));
    EXPECT_STREQ("", ini->get_dev_mode());
}

TEST_F(IniTest, DeviceModeIsChosenOnlyWhenTheFileTakesIt) {
    // The file's folder is gone: no temporary file can be made there.
    const std::string folder = dir.path() + "/conf";
    const std::string file = folder + "/vardo.ini";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    writeText(file,
              "[general]\nkeeper port = 9\n"
              "[tasks/dpi]\ntype = ps\nname = /bin/dpi\nargs = -x 1\nenabled = no\nmust = no\n"
              "[checks/c1]\nname = /bin/true\nenabled = no\n"
              "[modes/tap]\nactive tasks = dpi,none\nactive checks = c1\n");
    iniKeeper_stc reader(file.c_str(), &f.keeper, &f.timers);
    ASSERT_EQ(0, unlink(file.c_str()));
    ASSERT_EQ(0, rmdir(folder.c_str()));
    DevModeSelection chosen;
    EXPECT_EQ(KEEPER_FAIL, reader.set_dev_mode("Tap", &chosen));
    EXPECT_STREQ("", reader.get_dev_mode());
    EXPECT_TRUE(chosen.tasks.empty());
    EXPECT_EQ("<none>", reader.get_text("general", "device mode", "<none>"));
    EXPECT_FALSE(reader.get_bool("tasks/dpi", "must", true)) << "memory agrees with the file";
    EXPECT_EQ("<none>", reader.get_text("tasks/none", "enabled", "<none>"));

    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    EXPECT_EQ(KEEPER_FAIL, reader.set_dev_mode("", &chosen));
    ASSERT_EQ(KEEPER_OK, reader.set_dev_mode("Tap", &chosen));
    EXPECT_STREQ("Tap", reader.get_dev_mode());
    ASSERT_EQ(2u, chosen.tasks.size());
    EXPECT_EQ("/bin/dpi", chosen.tasks[0].exec);
    EXPECT_EQ("-x 1", chosen.tasks[0].args);
    EXPECT_EQ(std::vector<std::string>{"c1"}, chosen.checks);
    IniFile written(file.c_str());
    EXPECT_EQ("Tap", written.get_text("general", "device mode", ""));
    EXPECT_TRUE(written.get_bool("tasks/dpi", "enabled", false));
    EXPECT_TRUE(written.get_bool("tasks/dpi", "must", false));
    EXPECT_TRUE(written.get_bool("checks/c1", "enabled", false));
    EXPECT_EQ(KEEPER_FAIL, reader.set_dev_mode("Active", &chosen));
}

TEST(IniSections, FamiliesByPrefix) {
    EXPECT_EQ(INI_GENERAL, ini_section_family("general"));
    EXPECT_EQ(INI_TASKS, ini_section_family("tasks/x"));
    EXPECT_EQ(INI_CHECKS, ini_section_family("checks/y"));
    EXPECT_EQ(-1, ini_section_family("modes/tap"));
}

}  // namespace
