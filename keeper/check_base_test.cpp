#include "keeper/check_base.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "keeper/fake_task_host.h"
#include "keeper/test_support.h"

namespace {

// A check whose single run fails or succeeds as the test says.
class ScriptedCheck : public CheckBase {
public:
    ScriptedCheck(KeeperFixture& f, const char* n, unsigned lvl, bool must_check)
        : CheckBase(&f.keeper, &f.timers) {
        set_name(n);
        set_level(lvl);
        set_enabled(true);
        set_must(must_check);
        valid = true;
    }
    using CheckBase::run;
    keeperStatus run(void*) override {
        ++runs;
        return fails ? KEEPER_FAIL : KEEPER_OK;
    }
    keeperStatus init() override { return init_result; }

    bool fails = false;
    int runs = 0;
    keeperStatus init_result = KEEPER_OK;
};

struct Checks : ::testing::Test {
    ScriptedCheck* add(const char* n, unsigned lvl, bool must_check = true) {
        ScriptedCheck* check = new ScriptedCheck(f, n, lvl, must_check);
        check->set_failure_action(&failure);
        check->set_action_on_timeout(&timeout);
        check->set_action_on_success(&success);
        // The keeper owns the checks placed in its levels.
        f.keeper.add_check_to_mgr(check, lvl);
        if (f.keeper.find_check_by_name(n) != check) unplaced.emplace_back(check);
        return check;
    }
    // One run of each check, as their timers would do.
    void tick(std::initializer_list<ScriptedCheck*> checks) {
        for (ScriptedCheck* check : checks) check->run();
    }

    KeeperFixture f;
    RecordingAction failure{"onFail"}, timeout{"onTimeout"}, success{"onSuccess"};
    std::vector<std::unique_ptr<ScriptedCheck>> unplaced;
};

TEST_F(Checks, EachEpisodeRunsEveryActionOnce) {
    ScriptedCheck* c = add("c", 1);
    c->run();
    EXPECT_EQ(0, failure.runs + success.runs + timeout.runs)
        << "a success while healthy does nothing";

    c->fails = true;
    c->run();
    EXPECT_EQ(1u, c->check_status());
    EXPECT_EQ(1, failure.runs);
    EXPECT_EQ(0, timeout.runs);
    c->run();  // timeout 0: the second failing run
    c->run();
    c->run();
    EXPECT_EQ(1, failure.runs);
    EXPECT_EQ(1, timeout.runs);

    c->fails = false;
    c->run();
    c->run();
    EXPECT_EQ(0u, c->check_status());
    EXPECT_EQ(1, success.runs);

    c->fails = true;
    c->run();
    c->run();
    EXPECT_EQ(2, failure.runs) << "a new episode";
    EXPECT_EQ(2, timeout.runs);
}

TEST_F(Checks, TimeoutCountsFromTheStartOfTheEpisode) {
    ScriptedCheck* c = add("c", 1);
    c->set_timeout(30);
    c->fails = true;
    c->run();
    for (int i = 0; i < 5; ++i) {
        f.clock.now += 5;
        c->run();
    }
    EXPECT_EQ(0, timeout.runs) << "25 s into the episode";
    f.clock.now += 5;
    c->run();
    EXPECT_EQ(1, timeout.runs);
    f.clock.now += 50;
    c->run();
    EXPECT_EQ(1, timeout.runs);
}

TEST_F(Checks, HeldAndDisabledChecksDoNotRun) {
    ScriptedCheck* c = add("c", 1);
    c->skip();
    c->run();
    c->resume();
    c->set_enabled(false);
    c->run();
    EXPECT_EQ(0, c->runs);
    c->set_enabled(true);
    c->run();
    EXPECT_EQ(1, c->runs);
}

TEST_F(Checks, FailingMustCheckHoldsHigherLevelsOnly) {
    ScriptedCheck* one = add("one", 1);
    ScriptedCheck* two = add("two", 2);
    ScriptedCheck* three = add("three", 3);
    ScriptedCheck* seven = add("seven", 7);
    tick({one, two, three, seven});
    two->fails = true;
    tick({one, two, three, seven});
    EXPECT_TRUE(one->is_active());
    EXPECT_TRUE(two->is_active());
    EXPECT_FALSE(three->is_active());
    EXPECT_FALSE(seven->is_active());
    tick({one, two, three, seven});
    EXPECT_EQ(3, one->runs);
    EXPECT_EQ(3, two->runs);
    EXPECT_EQ(1, three->runs);
    EXPECT_EQ(1, seven->runs);

    two->fails = false;
    tick({two});
    EXPECT_TRUE(three->is_active());
    EXPECT_TRUE(seven->is_active());
}

TEST_F(Checks, NonMustFailureHoldsNothing) {
    ScriptedCheck* two = add("two", 2, false);
    ScriptedCheck* three = add("three", 3);
    two->fails = true;
    tick({two, two});
    EXPECT_TRUE(three->is_active());
    EXPECT_EQ(1u, two->check_status());
}

TEST_F(Checks, LevelIsReleasedOnlyWhenAllItsChecksAreHealthy) {
    ScriptedCheck* must = add("must", 2);
    ScriptedCheck* other = add("other", 2, false);
    ScriptedCheck* three = add("three", 3);
    must->fails = other->fails = true;
    tick({must, other});
    must->fails = false;
    tick({must});
    EXPECT_FALSE(three->is_active()) << "another check of level 2 still fails";
    // The last failing check of the level is not a must-check: its recovery
    // still releases the level, which would otherwise stay held for good.
    other->fails = false;
    tick({other});
    EXPECT_TRUE(three->is_active());
}

TEST_F(Checks, ReleaseKeepsTheHoldOfAStillFailingHigherMustCheck) {
    ScriptedCheck* two = add("two", 2);
    ScriptedCheck* three = add("three", 3);
    ScriptedCheck* four = add("four", 4);
    three->fails = true;
    tick({three});
    EXPECT_FALSE(four->is_active());
    two->fails = true;
    tick({two});
    two->fails = false;
    tick({two});
    EXPECT_TRUE(three->is_active());
    EXPECT_FALSE(four->is_active()) << "level 3 is still failing";
    three->fails = false;
    tick({three});
    EXPECT_TRUE(four->is_active());
}

TEST_F(Checks, TimerArmingStopAndDump) {
    ScriptedCheck* on = add("on", 1);
    ScriptedCheck* off = add("off", 1);
    ScriptedCheck* broken = add("broken", 2);
    off->set_enabled(false);
    broken->init_result = KEEPER_FAIL;
    f.keeper.init_checks();
    EXPECT_GT(on->get_timer(), 0);
    EXPECT_EQ(-1, off->get_timer());
    EXPECT_EQ(-1, broken->get_timer());

    const int id = on->get_timer();
    on->add_to_timer();
    EXPECT_EQ(id, on->get_timer()) << "a start request on a running check adds no second timer";
    EXPECT_EQ(
        "CheckBase:\nactive:1\tinterval:5\ttimeout:0\ttimer id:" + std::to_string(id) + "\n\n",
        on->asString());
    on->stop();
    EXPECT_EQ(-1, on->get_timer());
    on->add_to_timer();
    EXPECT_GT(on->get_timer(), id);
}

TEST_F(Checks, ArgumentsOfAProgramCheckTakeEffect) {
    CheckBase check(&f.keeper, &f.timers);
    check.set_exec("/bin/true");
    check.set_args("-a");
    check.set_level(1);
    check.set_implement(IMPLEMENT_APP);
    ASSERT_EQ(KEEPER_OK, check.validate());
    EXPECT_STREQ("/bin/true -a", check.get_command());
    EXPECT_EQ(KEEPER_OK, check.reinit("-b 2"));
    EXPECT_STREQ("-b 2", check.get_args());
    EXPECT_STREQ("/bin/true -b 2", check.get_command());

    // Nothing a shell would take for syntax reaches the command line.
    for (const char* hostile : {"; reboot", "$(id)", "`id`", "a|b", "a&b", "a>b", "x\ny", "'q'",
                                "\"q\"", "a\tb", "~root", "a*", "a\\b"}) {
        EXPECT_EQ(KEEPER_FAIL, check.reinit(hostile)) << hostile;
        EXPECT_STREQ("/bin/true -b 2", check.get_command()) << hostile;
    }
    EXPECT_EQ(KEEPER_OK, check.reinit("-h host.example:80 --x=/tmp/a,b+c@d 50%"));
}

TEST_F(Checks, SameNameIsRegisteredOnce) {
    ScriptedCheck* first = add("dup", 1);
    add("dup", 2);
    EXPECT_EQ(first, f.keeper.find_check_by_name("dup"));
    EXPECT_EQ(1u, f.keeper.get_check_levels().size());
}

}  // namespace

namespace {

// A program check: its result is taken when the program ends, and a tick
// while it still runs does not start it twice.
TEST(ProgramCheck, ResultArrivesWhenTheProgramEndsAndRunsNeverOverlap) {
    KeeperFixture f;
    RecordingAction failure("fail");
    CheckBase check(&f.keeper, &f.timers);
    check.set_name("prog");
    check.set_exec("sh");
    check.set_location("/bin");
    check.set_args("-c false");
    check.set_implement("App");
    check.set_level(1);
    check.set_enabled(true);
    check.set_failure_action(&failure);
    ASSERT_EQ(KEEPER_OK, check.validate());
    check.run();
    EXPECT_TRUE(check.run_in_flight());
    check.run();
    EXPECT_EQ(1u, f.keeper.get_runner().running_count()) << "the second tick was skipped";
    EXPECT_EQ(0u, check.check_status()) << "nothing is known before the end";
    f.settle_runs();
    EXPECT_EQ(1u, check.check_status());
    EXPECT_EQ(1, failure.runs);
}

}  // namespace

namespace {

// A check whose callback result the test sets, on a host of its own.
class HostedCheck : public CheckBase {
public:
    HostedCheck(TaskHost* host, unsigned lvl, bool must_check) : CheckBase(host, nullptr) {
        set_name(must_check ? "must" : "plain");
        set_level(lvl);
        set_enabled(true);
        set_must(must_check);
        set_failure_action(&failure);
        valid = true;
    }
    using CheckBase::run;
    keeperStatus run(void*) override { return fails ? KEEPER_FAIL : KEEPER_OK; }

    bool fails = false;
    RecordingAction failure;
};

TEST(HostedChecks, EpisodesHoldAndReleaseTheLevelsOnTheHost) {
    FakeTaskHost host;
    HostedCheck must(&host, 3, true);
    HostedCheck plain(&host, 5, false);
    ASSERT_EQ(KEEPER_OK, must.add_to_manager());
    ASSERT_EQ(1u, host.checks.size());
    EXPECT_EQ(3u, host.checks[0].second);

    must.fails = plain.fails = true;
    must.run();
    plain.run();
    EXPECT_EQ(std::vector<unsigned>{3}, host.skipped) << "only a must-check holds";
    EXPECT_EQ(1, must.failure.runs);
    EXPECT_EQ(1, plain.failure.runs);
    must.fails = plain.fails = false;
    must.run();
    plain.run();
    // A plain check's recovery releases its level too, which may still hold.
    EXPECT_EQ((std::vector<unsigned>{3, 5}), host.resumed);
    EXPECT_TRUE(host.waiting_released.empty()) << "a callback check keeps nobody waiting";
}

TEST(HostedChecks, ProgramCheckWaitsForALowerMustCheckAndReleasesTheWaiting) {
    FakeTaskHost host;
    CheckBase check(&host, nullptr);
    check.set_name("prog");
    check.set_exec("/bin/true");
    check.set_implement(IMPLEMENT_APP);
    check.set_level(2);
    check.set_enabled(true);
    check.set_must(true);
    ASSERT_EQ(KEEPER_OK, check.validate());
    host.lower_must_running = true;
    check.run();
    EXPECT_EQ(0u, host.runner.running_count()) << "waits for the lower must-check";
    host.lower_must_running = false;
    check.run_if_waiting();
    EXPECT_EQ(1u, host.runner.running_count());
    check.run_if_waiting();
    EXPECT_EQ(1u, host.runner.running_count()) << "no longer waiting";
    host.settle_runs();
    EXPECT_EQ(std::vector<unsigned>{2}, host.waiting_released);
}

}  // namespace
