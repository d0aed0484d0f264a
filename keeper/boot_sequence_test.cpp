#include "keeper/boot_sequence.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "keeper/check_base.h"
#include "keeper/fake_task_host.h"
#include "keeper/tasks.h"

namespace {

// A boot step that notes its run in a shared log; the test decides when it
// is complete unless it completes on its run.
class StepTask : public TaskOnSeq {
public:
    StepTask(TaskHost* host, std::vector<std::string>* log, const char* n, bool done_on_run)
        : TaskOnSeq(host, nullptr), log(log), done_on_run(done_on_run) {
        set_name(n);
        set_must(true);
        set_enabled(true);
        valid = true;
    }
    keeperStatus run() override {
        log->push_back(name);
        if (done_on_run) status = 0;
        return KEEPER_OK;
    }
    void confirm() { status = 0; }

private:
    std::vector<std::string>* log;
    bool done_on_run;
};

// A boot sequence over levels of its own, on a fake host.
struct Bench {
    Bench() = default;
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;
    ~Bench() {
        for (auto& entry : task_levels) delete entry.second;
        for (auto& entry : check_levels) delete entry.second;
    }
    StepTask* step(const char* n, unsigned level, bool done_on_run = true) {
        tasks.emplace_back(new StepTask(&host, &log, n, done_on_run));
        boot.add_task(tasks.back().get(), level);
        return tasks.back().get();
    }
    CheckBase* check(const char* n, unsigned level) {
        checks.emplace_back(new CheckBase(&host, nullptr));
        CheckBase* c = checks.back().get();
        c->set_name(n);
        c->set_enabled(true);
        boot.add_check(c, level);
        return c;
    }

    FakeTaskHost host;
    BootSequence::TaskLevels task_levels;
    BootSequence::CheckLevels check_levels;
    BootSequence boot{&host, task_levels, check_levels};
    std::vector<std::string> log;
    std::vector<std::unique_ptr<StepTask>> tasks;
    std::vector<std::unique_ptr<CheckBase>> checks;
};

using Order = std::vector<std::string>;

TEST(BootLevels, LevelsStartInAscendingOrderAndFinishOnce) {
    Bench b;
    b.step("c", 30);
    b.step("a", 1);
    b.step("b", 2);
    b.step("a2", 1);
    b.boot.start();
    EXPECT_EQ((Order{"a", "a2", "b", "c"}), b.log);
    EXPECT_TRUE(b.boot.finished());
    EXPECT_EQ(1, b.host.seq_ends);
    b.boot.run();
    EXPECT_EQ(4u, b.log.size());
    EXPECT_EQ(1, b.host.seq_ends);
}

TEST(BootLevels, LevelWaitsForItsTasksToComplete) {
    Bench b;
    StepTask* slow = b.step("slow", 1, false);
    b.step("next", 2);
    b.boot.start();
    EXPECT_EQ(Order{"slow"}, b.log);
    // Some other task's message drives the sequence: the level still waits.
    b.boot.run();
    b.boot.update_next_level(1);
    b.boot.run();
    EXPECT_EQ(Order{"slow"}, b.log);
    EXPECT_FALSE(b.boot.finished());
    EXPECT_EQ(0, b.host.seq_ends);

    slow->confirm();
    b.boot.update_next_level(1);
    b.boot.run();
    EXPECT_EQ((Order{"slow", "next"}), b.log);
    EXPECT_TRUE(b.boot.finished());
    EXPECT_EQ(1, b.host.seq_ends);
}

TEST(BootLevels, EndsAtTheLastEnabledLevelAndNeverWithoutOne) {
    Bench b;
    b.step("a", 1);
    b.step("off", 2)->set_enabled(false);
    b.boot.start();
    EXPECT_EQ(Order{"a"}, b.log);
    EXPECT_TRUE(b.boot.finished());

    Bench empty;
    empty.step("off", 1)->set_enabled(false);
    empty.boot.start();
    EXPECT_FALSE(empty.boot.finished());
    Bench none;
    none.boot.start();
    EXPECT_FALSE(none.boot.finished());
    EXPECT_EQ(0, empty.host.seq_ends + none.host.seq_ends);
}

TEST(BootLevels, ForgottenLevelsLeaveNothingToRun) {
    Bench b;
    b.step("a", 1, false);
    b.boot.start();
    for (auto& entry : b.task_levels) delete entry.second;
    b.task_levels.clear();
    b.boot.forget_levels();
    b.boot.run();
    EXPECT_EQ(Order{"a"}, b.log);
    EXPECT_FALSE(b.boot.finished());
}

TEST(BootLevels, HeldCheckLevelsStayHeldUntilTheirOwnLevelRecovers) {
    Bench b;
    CheckBase* low = b.check("low", 1);
    CheckBase* mid = b.check("mid", 2);
    CheckBase* upper = b.check("upper", 3);
    CheckBase* top = b.check("top", 4);
    EXPECT_EQ(mid, b.boot.find_check("mid"));
    b.check("mid", 5);  // a name already placed is not placed again
    EXPECT_EQ(0u, b.check_levels.count(5));

    b.boot.skip_next_check(2);
    EXPECT_TRUE(low->check_can_run());
    EXPECT_TRUE(mid->check_can_run());
    EXPECT_FALSE(upper->check_can_run());
    EXPECT_FALSE(top->check_can_run());
    // Level 3 fails too while held: it holds level 4 on its own account.
    b.boot.skip_next_check(3);
    b.boot.resume_next_check(2);
    EXPECT_TRUE(upper->check_can_run());
    EXPECT_FALSE(top->check_can_run());
    b.boot.resume_next_check(3);
    EXPECT_TRUE(top->check_can_run());
}

}  // namespace
