#include "keeper/tasks.h"

#include <gtest/gtest.h>

#include "keeper/fake_task_host.h"
#include "keeper/test_support.h"

namespace {

// A unit whose run is counted and whose completion the test decides.
class FakeTask : public TaskOnSeq {
public:
    FakeTask(KeeperSrv* keeper, const char* name, unsigned lvl, bool enable, bool done_on_run)
        : TaskOnSeq(keeper, nullptr), done_on_run(done_on_run) {
        set_name(name);
        set_level(lvl);
        set_enabled(enable);
        set_must(true);
        valid = true;
    }
    keeperStatus run() override {
        ++runs;
        if (enabled && done_on_run) status = 0;
        return KEEPER_OK;
    }
    void confirm() { status = 0; }

    int runs = 0;
    bool done_on_run;
};

struct BootSequence : ::testing::Test {
    FakeTask* add(const char* name, unsigned lvl, bool enable = true, bool done_on_run = true) {
        FakeTask* task = new FakeTask(&f.keeper, name, lvl, enable, done_on_run);
        f.keeper.adopt_task(task);
        f.keeper.add_task_to_mgr(task, lvl);
        return task;
    }
    KeeperFixture f;
};

TEST(TaskSingle, NamesTypesAndImplement) {
    TaskSingle task(nullptr, nullptr);
    task.set_name("tasks/sub/fup_def");
    EXPECT_STREQ("FUP_def", task.get_name());
    task.set_name("tasks/fup_def2");
    EXPECT_STREQ("fup_def2", task.get_name());

    EXPECT_EQ(128u, known_program_type("vardo"));
    EXPECT_EQ(TASK_TYPE_OTHER, known_program_type("vardo2"));
    task.set_exec("Quorvex");
    EXPECT_EQ(4u, task.get_type());

    task.set_implement("app");
    EXPECT_EQ(IMPLEMENT_INVALID, task.get_implement());
    task.set_implement("App");
    EXPECT_EQ(IMPLEMENT_APP, task.get_implement());
}

TEST(TaskSingle, CommandIsComposedOnceAndCut) {
    TaskSingle task(nullptr, nullptr);
    task.set_exec("prog");
    task.set_location("/opt/x");
    task.set_args("-a 1");
    task.set_cmd();
    EXPECT_STREQ("/opt/x/prog", task.get_exec_path());
    EXPECT_STREQ("/opt/x/prog -a 1", task.get_command());
    task.set_args("-b");
    task.set_cmd();
    EXPECT_STREQ("/opt/x/prog -a 1", task.get_command());
    task.change_exec("other");
    task.set_cmd();
    EXPECT_STREQ("/opt/x/other -b", task.get_command());

    std::string longName(300, 'n');
    task.set_name(longName.c_str());
    EXPECT_EQ(99u, strlen(task.get_name()));
}

TEST(TaskOnSeq, ValidationAndLoadTimeFailure) {
    KeeperFixture f;
    TaskOnSeq task(&f.keeper, nullptr);
    task.set_implement("App");
    task.set_exec("/bin/true");
    task.set_enabled(true);
    task.set_must(true);
    EXPECT_EQ(KEEPER_FAIL, task.validate());  // no level
    EXPECT_EQ(KEEPER_FAIL, task.add_to_manager());
    task.set_must(false);
    EXPECT_EQ(0u, task.check_status());  // not a must: never holds its level
    EXPECT_EQ(KEEPER_OK, task.add_to_manager());

    task.set_level(3);
    EXPECT_EQ(KEEPER_OK, task.validate());
    TaskOnSeq broken(&f.keeper, nullptr);
    broken.set_implement("App");
    broken.set_exec("/nonexistent/program");
    broken.set_level(1);
    EXPECT_EQ(KEEPER_FAIL, broken.validate());
}

TEST(TaskOnSeq, RunsItsCommandAndLatchesDone) {
    KeeperFixture f;
    TaskOnSeq task(&f.keeper, nullptr);
    task.set_implement("App");
    task.set_exec("/bin/true");
    task.set_level(1);
    task.set_enabled(true);
    task.set_must(true);
    ASSERT_EQ(KEEPER_OK, task.validate());
    EXPECT_EQ(KEEPER_OK, task.run());
    EXPECT_EQ(1u, task.check_status()) << "done only when the program has ended";
    f.settle_runs();
    EXPECT_EQ(0u, task.check_status());
}

TEST(TaskLevel, NotActivatedRunsNothing) {
    KeeperFixture f;
    TaskLevel level;
    FakeTask task(&f.keeper, "a", 1, true, true);
    level.add_task(&task);
    EXPECT_EQ(KEEPER_FAIL, level.run_tasks());
    EXPECT_EQ(0, task.runs);
    level.activate();
    EXPECT_EQ(KEEPER_OK, level.run_tasks());
    EXPECT_EQ(1, task.runs);
    EXPECT_TRUE(level.check_level_status());
    EXPECT_EQ(&task, level.find_task_by_name("a"));
    EXPECT_TRUE(TaskLevel().check_level_status());
    EXPECT_FALSE(TaskLevel().is_enabled());
}

TEST_F(BootSequence, AllLevelsCompleteAtOnceRunInOneCall) {
    FakeTask* a = add("a", 1);
    FakeTask* b = add("b", 2);
    FakeTask* c = add("c", 5);
    f.keeper.start_tasks();
    EXPECT_EQ(1, a->runs);
    EXPECT_EQ(1, b->runs);
    EXPECT_EQ(1, c->runs);
    EXPECT_TRUE(f.keeper.boot_sequence_finished());
}

TEST_F(BootSequence, LevelsAboveTheLastEnabledOneNeverRun) {
    FakeTask* a = add("a", 1);
    FakeTask* b = add("b", 2, false);
    f.keeper.start_tasks();
    EXPECT_EQ(1, a->runs);
    EXPECT_EQ(0, b->runs);
    EXPECT_TRUE(f.keeper.boot_sequence_finished());
}

TEST_F(BootSequence, NextLevelWaitsForTheInitMessage) {
    FakeTask* a = add("a", 1, true, false);
    FakeTask* b = add("b", 2);
    f.keeper.start_tasks();
    EXPECT_EQ(1, a->runs);
    EXPECT_EQ(0, b->runs);
    EXPECT_FALSE(f.keeper.boot_sequence_finished());
    f.keeper.run_boot_sequence();  // an init message of some other task
    EXPECT_EQ(0, b->runs);

    a->confirm();
    f.keeper.update_next_level(1);
    f.keeper.run_boot_sequence();
    EXPECT_EQ(1, b->runs);
    EXPECT_TRUE(f.keeper.boot_sequence_finished());
    f.keeper.run_boot_sequence();
    EXPECT_EQ(1, b->runs);
}

TEST_F(BootSequence, NothingEnabledNeverFinishes) {
    FakeTask* a = add("a", 1, false);
    f.keeper.start_tasks();
    EXPECT_EQ(0, a->runs);
    EXPECT_FALSE(f.keeper.boot_sequence_finished());
}

TEST_F(BootSequence, NoLevelAtAllNeverRuns) {
    f.keeper.start_tasks();
    EXPECT_FALSE(f.keeper.boot_sequence_finished());
}

}  // namespace

namespace {

// A boot step's program on a host of its own: its end, not its start, lets
// the level go on; the host's mode and shutdown decide whether it starts.
struct HostedStep {
    HostedStep() : task(&host, nullptr) {
        task.set_name("step");
        task.set_implement("App");
        task.set_level(4);
        task.set_enabled(true);
        task.set_must(true);
        task.set_failure_action(&failure);
    }

    FakeTaskHost host;
    TaskOnSeq task;
    RecordingAction failure;
};

TEST(TaskOnSeq, OnItsHostTheEndOfItsProgramDrivesTheBootOn) {
    HostedStep ok;
    ok.task.set_exec("/bin/true");
    ASSERT_EQ(KEEPER_OK, ok.task.add_to_manager());
    ASSERT_EQ(1u, ok.host.tasks.size());
    EXPECT_EQ(4u, ok.host.tasks[0].second);
    EXPECT_EQ(KEEPER_OK, ok.task.run());
    EXPECT_TRUE(ok.host.next_levels.empty()) << "not before the program has ended";
    ok.host.settle_runs();
    EXPECT_EQ(std::vector<unsigned>{4}, ok.host.next_levels);
    EXPECT_EQ(1, ok.host.boot_runs);
    EXPECT_EQ(0, ok.failure.runs);

    HostedStep failing;
    failing.task.set_exec("/bin/false");
    ASSERT_EQ(KEEPER_OK, failing.task.validate());
    EXPECT_EQ(KEEPER_OK, failing.task.run());
    failing.host.settle_runs();
    EXPECT_TRUE(failing.host.next_levels.empty());
    EXPECT_EQ(1u, failing.task.check_status());
    EXPECT_EQ(1, failing.failure.runs);
}

TEST(TaskOnSeq, HostModeAndShutdownDecideWhetherItStarts) {
    HostedStep step;
    step.task.set_exec("/bin/true");
    ASSERT_EQ(KEEPER_OK, step.task.validate());
    step.host.system_mode = 0;
    EXPECT_EQ(KEEPER_OK, step.task.run());
    EXPECT_EQ(0u, step.host.runner.running_count()) << "bypassed";
    step.host.shutting_down = true;
    step.task.set_active_on_bypass(true);
    EXPECT_EQ(KEEPER_FAIL, step.task.run());
    EXPECT_EQ(0u, step.host.runner.running_count()) << "shutting down";
    EXPECT_EQ(0, step.failure.runs) << "a refusal is no failure";
    step.host.shutting_down = false;
    EXPECT_EQ(KEEPER_OK, step.task.run());
    EXPECT_EQ(1u, step.host.runner.running_count());
    step.host.settle_runs();
}

}  // namespace
