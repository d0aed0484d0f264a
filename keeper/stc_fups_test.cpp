// The fast-update processes kept from the list file: created from the
// template task, started when enabled, the processes of dropped ids stopped
// and their tasks deleted once they have exited; the built-in check table.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "keeper/fups_list.h"
#include "keeper/predefined_checks.h"
#include "keeper/ps_task.h"
#include "keeper/stc_keeper_srv.h"
#include "keeper/test_support.h"

namespace {

struct Fups : ::testing::Test {
    Fups() {
        engine.setClock(&clock);
        for (const char* prog : {"FUP_def", "FastUpdates"}) {
            const std::string path = dir / prog;
            writeText(path, "#!/bin/sh\nexec sleep 30\n");
            chmod(path.c_str(), 0755);
        }
        templ = new PsTask(&keeper, &timers);
        templ->set_name("FUP_def");
        templ->set_exec("FUP_def");
        templ->set_location(dir.path().c_str());
        templ->set_args("--template");
        templ->set_level(1);
        templ->set_section("tasks/FUP_def");
        EXPECT_EQ(templ->add_to_manager(), KEEPER_OK);
        keeper.adopt_task(templ);
    }
    ~Fups() override {
        for (PsTask* task : keeper.get_ps_list().get_tasks()) end(task);
        engine.releaseAll();
        engine.setClock(nullptr);
    }

    keeperStatus reconcile(const std::string& text) {
        writeText(list, text);
        return keeper.fups_management(list.c_str());
    }
    PsTask* fup(int id) const {
        const std::string wanted = "-c " + std::to_string(id);
        for (PsTask* task : keeper.get_fups())
            if (wanted == task->get_args()) return task;
        return nullptr;
    }
    // What the loop does when the program exits.
    void end(PsTask* task) {
        int pid = task->get_pid();
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        keeper.handleExitedChildPs(pid);
    }

    TempDir dir;
    std::string list = dir / "fups_list.txt";
    ManualClock clock;
    EvEngine engine;
    stcKeeperSrv keeper{&engine};
    TimerHandler timers{&engine, &keeper};
    PsTask* templ;
};

TEST(FupsList, OnlyWholeLinesWithTwoNumbersCount) {
    TempDir dir;
    // The over-long line would end in a valid entry if it were cut.
    writeText(dir / "list", "1,1\n2,0\n\n7\nx,1\n" + std::string(31, ' ') + "5,1\n3,9");
    FILE* in = fopen((dir / "list").c_str(), "r");
    ASSERT_NE(in, nullptr);
    std::vector<FupEntry> entries = read_fups_list(in);
    fclose(in);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries[0].id == 1 && entries[0].enabled);
    EXPECT_TRUE(entries[1].id == 2 && !entries[1].enabled);
    EXPECT_TRUE(entries[2].id == 3 && entries[2].enabled);
}

// The list's folder is writable by others: a FIFO put at its path is
// refused at once, and the processes of the last list read stay.
TEST_F(Fups, AFifoAtTheListPathIsRefusedAtOnce) {
    keeper.handle_seq_end();
    ASSERT_EQ(reconcile("1,1\n"), KEEPER_OK);
    unlink(list.c_str());
    ASSERT_EQ(mkfifo(list.c_str(), 0600), 0);
    FifoRescue rescue(list, 3);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(keeper.fups_management(list.c_str()), KEEPER_FAIL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_NE(fup(1), nullptr);
    EXPECT_GT(fup(1)->get_pid(), 0);
}

TEST_F(Fups, ListedIdsGetProcessesOfTheirOwn) {
    EXPECT_EQ(reconcile("1,1\n"), KEEPER_FAIL) << "no template known before the boot ends";
    keeper.handle_seq_end();
    EXPECT_EQ(keeper.fups_management((dir / "missing").c_str()), KEEPER_FAIL);

    ASSERT_EQ(reconcile("1,1\n2,0\n1,1\n"), KEEPER_OK);
    ASSERT_EQ(keeper.get_fups().size(), 2u) << "a repeated id is one process";
    PsTask* one = fup(1);
    PsTask* two = fup(2);
    ASSERT_TRUE(one && two);
    EXPECT_GT(one->get_pid(), 0);
    EXPECT_EQ(two->get_pid(), -1);
    EXPECT_FALSE(two->is_enabled());
    // Its own program, not the template's.
    EXPECT_STREQ(one->get_name(), "FastUpdates");
    EXPECT_EQ(std::string(one->get_command()), dir / "FastUpdates -c 1");
    EXPECT_EQ(std::string(one->get_argv()[0]), dir / "FastUpdates");
    EXPECT_EQ(one->get_section(), "");
    EXPECT_EQ(templ->get_pid(), -1);
    EXPECT_EQ(std::string(templ->get_command()), dir / "FUP_def --template");

    // The same list again changes nothing; enabling the second starts it.
    int first = one->get_pid();
    ASSERT_EQ(reconcile("1,1\n2,1\n"), KEEPER_OK);
    EXPECT_EQ(fup(1), one);
    EXPECT_EQ(one->get_pid(), first);
    EXPECT_GT(two->get_pid(), 0);

    // Id 1 goes: its process gets its orderly stop and is never restarted;
    // the task is deleted once the process has exited.
    ASSERT_EQ(reconcile("2,1\n"), KEEPER_OK);
    EXPECT_EQ(fup(1), nullptr);
    ASSERT_EQ(keeper.get_retired_fups().size(), 1u);
    EXPECT_TRUE(one->get_kill_request());
    EXPECT_EQ(keeper.reap_retired_fups(nullptr), 1) << "still running: kept";
    end(one);
    EXPECT_EQ(one->get_pid(), -1) << "not restarted";
    EXPECT_EQ(keeper.reap_retired_fups(nullptr), 0);
    EXPECT_TRUE(keeper.get_retired_fups().empty());
    for (PsTask* task : keeper.get_ps_list().get_tasks()) EXPECT_NE(task, one);
    EXPECT_EQ(keeper.find_task_by_name("FastUpdates"), two);

    // A dropped id whose process is not running goes at once.
    ASSERT_EQ(reconcile("2,0\n"), KEEPER_OK);
    end(two);
    ASSERT_EQ(reconcile(""), KEEPER_OK);
    EXPECT_TRUE(keeper.get_fups().empty());
    EXPECT_TRUE(keeper.get_retired_fups().empty());
    EXPECT_EQ(keeper.find_task_by_name("FastUpdates"), nullptr);
    EXPECT_EQ(keeper.get_ps_list().size(), 1u);
}

TEST(BuiltinChecks, TableHoldsTheFourAndOnlyTheResourceCheckIsPlaced) {
    ManualClock clock;
    EvEngine engine;
    engine.setClock(&clock);
    {
        stcKeeperSrv keeper(&engine);
        keeper.build_predefined_checks();
        for (const char* name : {"NTP_RemCheck", "NTP_LocalCheck", "FUPs_RunCheck", "KpiCheck"})
            ASSERT_NE(keeper.get_predefined_check(name), nullptr) << name;
        CheckBase* kpi = keeper.get_predefined_check("KpiCheck");
        EXPECT_EQ(keeper.find_check_by_name("KpiCheck"), kpi);
        EXPECT_EQ(keeper.get_check_levels().count(8), 1u);
        EXPECT_EQ(keeper.get_check_levels().size(), 1u);
        EXPECT_EQ(kpi->get_interval(), 60u);
        EXPECT_TRUE(kpi->is_enabled() && kpi->is_valid() && kpi->is_active() && !kpi->is_must());
        CheckBase* rem = keeper.get_predefined_check("NTP_RemCheck");
        EXPECT_FALSE(rem->is_enabled() || rem->is_valid());
        EXPECT_EQ(rem->get_interval(), 5u);
        EXPECT_EQ(rem->get_level(), 0u);
    }
    engine.setClock(nullptr);
}

}  // namespace
