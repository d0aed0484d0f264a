#include "keeper/ps_task.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

#include "keeper/client_handler.h"
#include "keeper/ps_list.h"
#include "keeper/ps_task_seam.h"
#include "keeper/task_actions.h"
#include "keeper/test_support.h"
#include "reactor/ev_sock.h"
#include "support/proc_utils.h"

namespace {

int group_lookups = 0;

}  // namespace

// Counts the name service's group look-ups: the test program's own
// definition takes the place of the C library's and passes each call on.
extern "C" int getgrouplist(const char* user, gid_t group, gid_t* groups, int* count) {
    using Lookup = int (*)(const char*, gid_t, gid_t*, int*);
    static const Lookup library = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getgrouplist"));
    ++group_lookups;
    return library(user, group, groups, count);
}

namespace {

// A process whose exits the test stages without forking.
class StagedPs : public PsTask {
public:
    StagedPs(KeeperFixture& f, const char* name) : PsTask(&f.keeper, &f.timers) {
        set_name(name);
        set_exec("/bin/sleep");
        set_args("100");
        set_level(1);
        set_enabled(true);
        set_must(false);
        set_implement(IMPLEMENT_APP);
        validate();
    }
    // An exit of a child that is not there: no restart is attempted because
    // the task is disabled while the exit is handled.
    void stage_exit(int fake_pid = 999999) {
        PsTaskSeam::set_pid(*this, fake_pid);
        bool was = is_enabled();
        set_enabled(false);
        handle_sigchld();
        set_enabled(was);
    }
    void reap() {
        if (get_pid() > 0) {
            kill(get_pid(), SIGKILL);
            waitpid(get_pid(), nullptr, 0);
        }
    }
};

// Records the ticks at which the keep-alive machinery acts.
class RecordingAction : public _TaskActionBase {
public:
    explicit RecordingAction(int limit) : _TaskActionBase("recording", limit) {}
    keeperStatus run(PsTask*) override {
        ++runs;
        return KEEPER_OK;
    }
    using _TaskActionBase::run;
    int runs = 0;
};

// A started, connected program whose probes go to a socket nobody reads.
class ProbedPs : public StagedPs {
public:
    ProbedPs(KeeperFixture& f, unsigned warning, unsigned error)
        : StagedPs(f, "probed"), warn(1), err(1) {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        peer = fds[1];
        handler = new ClientHandler(&f.engine, &f.keeper);
        f.engine.registerSocket(fds[0], handler, false, 0);
        set_client(handler);
        PsTaskSeam::set_confirmed(*this, true);
        PsTaskSeam::set_pid(*this, 999999);
        PsTaskSeam::set_keep_alive(*this, warning, &warn, error, &err);
    }
    ~ProbedPs() override {
        PsTaskSeam::set_pid(*this, -1);
        close(peer);
    }
    unsigned missed() const { return PsTaskSeam::missed_probes(*this); }
    void set_missed(unsigned n) { PsTaskSeam::set_missed_probes(*this, n); }
    void unconfirm() { PsTaskSeam::set_confirmed(*this, false); }

    RecordingAction warn, err;
    ClientHandler* handler;
    int peer;
};

// Lets the engine make `passes` passes over its sockets (one firing of a
// due timer each), then stops it.
class EnginePasses : public EvHandler {
public:
    EnginePasses(KeeperFixture& f, int passes) : f(f), left(passes) {
        f.engine.addTimer(1, this, &EnginePasses::tick, nullptr, -1);
        f.clock.now += 1;
    }
    int tick(void*) {
        if (--left == 0) {
            f.engine.requestStop();
            return 0;
        }
        f.clock.now += 1;
        return 1;
    }

private:
    KeeperFixture& f;
    int left;
};

TEST(PsTask, RetriesWithinTheIntervalThenLimitUntilStartRequest) {
    KeeperFixture f;
    StagedPs task(f, "dier");
    task.set_restart(true);
    task.set_retries(2);
    task.set_retries_interval(60);
    EXPECT_TRUE(task.run_allowed());  // never exited
    f.clock.now = 100;
    task.stage_exit();
    EXPECT_TRUE(task.run_allowed());
    f.clock.now = 101;
    task.stage_exit();
    EXPECT_TRUE(task.run_allowed());
    f.clock.now = 102;
    task.stage_exit();
    EXPECT_FALSE(task.run_allowed());  // limit exceeded
    EXPECT_EQ(3u, task.bad_kill_count());

    f.clock.now = 161;  // the oldest counted exit has left the window
    EXPECT_TRUE(task.run_allowed());
    EXPECT_EQ(2u, task.bad_kill_count());

    task.set_enabled(false);
    task.start();  // a start request empties the record
    EXPECT_EQ(0u, task.bad_kill_count());
}

TEST(PsTask, RestartPolicies) {
    KeeperFixture f;
    StagedPs once(f, "once");
    once.stage_exit();
    EXPECT_FALSE(once.run_allowed());  // no restart option
    once.set_enabled(false);
    EXPECT_EQ(KEEPER_OK, once.start());

    StagedPs always(f, "always");
    always.set_restart(true);
    for (int i = 0; i < 5; ++i) always.stage_exit();
    EXPECT_TRUE(always.run_allowed());
    EXPECT_EQ(0u, always.bad_kill_count());
}

TEST(PsTask, ManualStopIsNotCountedAndStaysDown) {
    KeeperFixture f;
    StagedPs task(f, "stopped");
    task.set_restart(true);
    task.set_retries(1);
    task.set_retries_interval(10);
    task.stage_exit(999998);
    EXPECT_EQ(1u, task.bad_kill_count());
    // A stop of a running process arms the SIGTERM and SIGKILL timers.
    task.set_enabled(false);
    task.start();
    EXPECT_EQ(0u, task.bad_kill_count());
    task.set_enabled(true);
    EXPECT_EQ(KEEPER_OK, task.run());
    ASSERT_GT(task.get_pid(), 0);
    int child = task.get_pid();
    EXPECT_EQ(KEEPER_OK, task.stop());
    EXPECT_TRUE(task.get_kill_request());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    task.handle_sigchld();  // tries run(): refused, stopped manually
    EXPECT_EQ(-1, task.get_pid());
    EXPECT_EQ(0u, task.bad_kill_count());
}

TEST(PsTask, EnableAndRunAfterDisableAndStopStartsTheProgram) {
    KeeperFixture f;
    StagedPs task(f, "toggled");
    ASSERT_EQ(KEEPER_OK, task.run());
    int first = task.get_pid();
    ASSERT_GT(first, 0);
    task.set_permanent_mode(false, true);  // {0, 1}
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    task.handle_sigchld();
    EXPECT_EQ(-1, task.get_pid());

    task.set_permanent_mode(true, true);  // {1, 1}
    EXPECT_GT(task.get_pid(), 0);
    EXPECT_NE(first, task.get_pid());
    task.reap();
}

TEST(PsTask, EnableAndRunDuringTheStopStartsAfterTheExit) {
    KeeperFixture f;
    StagedPs task(f, "quick");
    ASSERT_EQ(KEEPER_OK, task.run());
    int first = task.get_pid();
    task.set_permanent_mode(false, true);
    task.set_permanent_mode(true, true);  // the old program is still there
    EXPECT_EQ(first, task.get_pid());
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    task.handle_sigchld();
    EXPECT_GT(task.get_pid(), 0);
    EXPECT_NE(first, task.get_pid());
    task.reap();
}

// A process with this command line whose parent is not the test (it is left
// to init or the nearest subreaper, as a copy of an earlier daemon is).
pid_t spawnOrphan(const std::vector<const char*>& argv) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t middle = fork();
    if (middle == 0) {
        pid_t orphan = fork();
        if (orphan == 0) {
            close(fds[0]);
            close(fds[1]);
            execv(argv[0], const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        (void)!write(fds[1], &orphan, sizeof orphan);
        _exit(0);
    }
    close(fds[1]);
    pid_t orphan = -1;
    if (read(fds[0], &orphan, sizeof orphan) != sizeof orphan) orphan = -1;
    close(fds[0]);
    waitpid(middle, nullptr, 0);
    // Its command line shows once it has exec'd.
    for (int i = 0; i < 300 && Com_getPidsOfCmdline(argv.data()).empty(); ++i) usleep(10000);
    return orphan;
}

bool gone(pid_t pid) {
    for (int i = 0; i < 300; ++i) {
        if (kill(pid, 0) != 0) return true;
        usleep(10000);
    }
    return false;
}

TEST(PsTask, StaleCopiesAreKilledBeforeTheFirstStartOnly) {
    KeeperFixture f;
    StagedPs task(f, "single");
    std::string unique = std::to_string(getpid());
    task.set_args(("100 " + unique).c_str());
    task.set_restart(true);
    const std::vector<const char*> argv{"/bin/sleep", "100", unique.c_str(), nullptr};

    pid_t before = spawnOrphan(argv);
    ASSERT_GT(before, 0);
    ASSERT_EQ(KEEPER_OK, task.run());
    EXPECT_TRUE(gone(before)) << "a copy left before the first start";
    int first = task.get_pid();
    ASSERT_GT(first, 0);

    // After the exit of its own program no earlier daemon's copy can be left:
    // the restart does not look, and a copy started meanwhile survives.
    pid_t later = spawnOrphan(argv);
    ASSERT_GT(later, 0);
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    task.handle_sigchld();
    EXPECT_GT(task.get_pid(), 0);
    EXPECT_NE(first, task.get_pid());
    EXPECT_EQ(0, kill(later, 0));
    kill(later, SIGKILL);
    task.reap();
}

TEST(PsTask, ArgumentVectorFollowsTheArguments) {
    KeeperFixture f;
    StagedPs task(f, "argv");
    task.set_args("  -c   1  x ");
    char* const* argv = task.get_argv();
    EXPECT_STREQ("/bin/sleep", argv[0]);
    EXPECT_STREQ("-c", argv[1]);
    EXPECT_STREQ("1", argv[2]);
    EXPECT_STREQ("x", argv[3]);
    EXPECT_EQ(nullptr, argv[4]);
    EXPECT_EQ(10, task.get_kill_timeout());
    task.set_kill_timeout(0);
    EXPECT_EQ(10, task.get_kill_timeout());
}

// The name service may be remote: the user's groups are looked up once,
// as the INI file is read, and a start of the task or of a copy of it
// (the fast-update processes) only uses them.
TEST(PsTask, TheUsersGroupsAreLookedUpOnceWhenTheUserIsSet) {
    KeeperFixture f;
    StagedPs task(f, "user");
    const int before = group_lookups;
    task.set_user("root");
    const PsTask copy(task);
    const SpawnPlan plan = PsTaskSeam::spawn_plan(task);
    const SpawnPlan copied = PsTaskSeam::spawn_plan(copy);
    EXPECT_EQ(group_lookups - before, 1);
    EXPECT_TRUE(plan.change_ids && plan.ids_known);
    EXPECT_NE(std::find(plan.groups.begin(), plan.groups.end(), 0u), plan.groups.end());
    EXPECT_EQ(copied.groups, plan.groups);
}

TEST(PsList, ListingLookupsAndEvents) {
    KeeperFixture f;
    StagedPs a(f, "a"), b(f, "b");
    PsList list;
    list.add_ps_to_list(&a);
    list.add_ps_to_list(&b);
    list.add_ps_to_list(&a);
    EXPECT_EQ(2u, list.size());
    EXPECT_TRUE(list.all_closed());
    EXPECT_TRUE(PsList().all_closed());

    char* text = nullptr;
    unsigned size = 0;
    ASSERT_EQ(KEEPER_OK, list.ps_list(&text, &size));
    EXPECT_STREQ(" 1. a -1\n 2. b -1\n", text);
    EXPECT_EQ(strlen(text) + 2, size);
    free(text);

    EXPECT_EQ(&b, list.find_ps_by_index(2));
    EXPECT_EQ(nullptr, list.find_ps_by_index(0));
    EXPECT_EQ(nullptr, list.find_ps_by_index(3));
    EXPECT_EQ(KEEPER_OK, list.remove_ps(&a));
    EXPECT_EQ(KEEPER_FAIL, list.remove_ps(&a));

    char data[513] = {};
    EXPECT_EQ(KEEPER_FAIL, list.send_event(64, 1, data, 4));
    EXPECT_EQ(KEEPER_FAIL, list.send_event(3, 1, data, 513));
    EXPECT_EQ(KEEPER_FAIL, list.send_event(3, 1, nullptr, 4));
    EXPECT_EQ(KEEPER_OK, list.send_event(3, 1, data, 512));
    EXPECT_EQ(KEEPER_OK, list.send_event(3, 1, nullptr, 0));
}

TEST(KeeperSrv, EventMasksAndIndexLookups) {
    KeeperFixture f;
    StagedPs* a = new StagedPs(f, "a");
    f.keeper.adopt_task(a);
    f.keeper.add_process(a);
    f.keeper._register_event(a, 3, 0x4, 0);
    f.keeper._register_event(a, 3, 0x10, 0);
    EXPECT_EQ(0x14u, a->get_events(3));
    f.keeper._register_event(a, 3, 0x4, 1);
    EXPECT_EQ(0x10u, a->get_events(3));
    f.keeper._register_event(a, 5, 0xFFFFFFFF, 0);
    EXPECT_EQ(0xFFFFFFFFu, a->get_events(5));
    f.keeper._register_event(a, 5, 0xFFFFFFFF, 1);
    EXPECT_EQ(0u, a->get_events(5));

    EXPECT_EQ(a, f.keeper.find_ps_by_name("a"));
    EXPECT_EQ(a, f.keeper.find_ps_by_name("1"));
    EXPECT_EQ(nullptr, f.keeper.find_ps_by_name("0"));
    EXPECT_EQ(nullptr, f.keeper.find_ps_by_name("1x"));
    EXPECT_EQ(nullptr, f.keeper.find_ps_by_name("2"));
}

TEST(ActionHandler, UnknownNamesGiveNoneAndLaterActionsReplace) {
    KeeperFixture f;
    EXPECT_STREQ("None", f.keeper.find_action_by_name("nothing")->get_name());
    TaskSingle* stop = f.keeper.find_action_by_name("Stop");
    StagedPs task(f, "victim");
    stop->run(&task);
    EXPECT_FALSE(task.is_enabled());
    TaskSingle* replacement = new TaskSingle(&f.keeper, nullptr);
    replacement->set_name("/usr/bin/Stop");
    f.keeper.register_action(replacement);
    EXPECT_EQ(replacement, f.keeper.find_action_by_name("Stop"));
}

TEST(KeepAlive, WarningThenErrorActionsWithinTheirLimits) {
    KeeperFixture f;
    ProbedPs task(f, 1, 3);
    task.warn.limit = 2;
    std::vector<int> warn_runs, err_runs;
    for (int tick = 0; tick < 6; ++tick) {
        task.check_alive();
        warn_runs.push_back(task.warn.runs);
        err_runs.push_back(task.err.runs);
    }
    // Tick 1 only probes; ticks 2 and 3 are offsets 0 and 1 of the warning
    // action; from tick 4 on the error action, once (limit 1).
    EXPECT_EQ((std::vector<int>{0, 1, 2, 2, 2, 2}), warn_runs);
    EXPECT_EQ((std::vector<int>{0, 0, 0, 1, 1, 1}), err_runs);
    EXPECT_EQ(6u, task.missed());
    task.check_alive_ack();
    EXPECT_EQ(0u, task.missed());
}

TEST(KeepAlive, WarningNeverRunsWhenNotBelowTheErrorCount) {
    KeeperFixture f;
    ProbedPs task(f, 3, 2);
    for (int tick = 0; tick < 4; ++tick) task.check_alive();
    EXPECT_EQ(0, task.warn.runs);
    EXPECT_EQ(1, task.err.runs);
}

TEST(KeepAlive, NoProbeBeforeInitOrWithoutConnection) {
    KeeperFixture f;
    ProbedPs task(f, 1, 3);
    task.unconfirm();
    task.check_alive();
    EXPECT_EQ(0u, task.missed());
    ProbedPs other(f, 1, 3);
    other.handle_client_close();
    other.check_alive();
    EXPECT_EQ(0u, other.missed());
}

TEST(KeepAlive, AnswerAfterTwoMissedProbesReportsTheTaskUp) {
    KeeperFixture f;
    ProbedPs task(f, 1, 3);
    f.keeper.add_process(&task);
    f.keeper._register_event(&task, EVENT_GRP_TASK, 0xFFFFFFFF, 0);
    auto queued = [&] { return static_cast<EvSock*>(task.handler->get_socket())->outBuf().used; };
    task.set_missed(1);
    task.check_alive_ack();
    EXPECT_EQ(0, queued());
    task.set_missed(2);
    task.check_alive_ack();
    // One KEEPER_NOTIFY_EVENT: header, event words and the task record.
    EXPECT_EQ(static_cast<int>(12 + 12 + sizeof(ConfigTask)), queued());
    f.keeper.remove_process(&task);
}

TEST(KeepAlive, NewStartForgetsMissedProbes) {
    KeeperFixture f;
    // What the keep-alive counted for the previous instance is gone: the new
    // one is probed from scratch.
    ProbedPs probed(f, 1, 3);
    probed.set_missed(5);
    probed.set_exec("/bin/true");
    probed.set_args("");
    probed.set_restart(true);
    probed.stage_exit();
    ASSERT_EQ(KEEPER_OK, probed.run());
    EXPECT_EQ(0u, probed.missed());
    probed.reap();
}

TEST(TaskAction, ConfigurationWordsIgnoreCase) {
    dictionary* dict = dictionary_new(0);
    iniparser_set(dict, "t", nullptr);
    iniparser_set(dict, "t:a", "STOP");
    iniparser_set(dict, "t:b", "signal");
    iniparser_set(dict, "t:c", "multysignal");
    iniparser_set(dict, "t:d", "Restart");
    EXPECT_STREQ("stop task", _TaskActionBase::create(dict, "t", "a")->description);
    EXPECT_STREQ("no action", _TaskActionBase::create(dict, "t", "b")->description);
    EXPECT_EQ(100, _TaskActionBase::create(dict, "t", "c")->limit);
    EXPECT_STREQ("restart task", _TaskActionBase::create(dict, "t", "d")->description);
    EXPECT_STREQ("no action", _TaskActionBase::create(dict, "t", "missing")->description);
    iniparser_freedict(dict);
}

TEST(KeeperSrv, GroupAllSubscribesToEverythingAndUnregisterClearsEveryGroup) {
    KeeperFixture f;
    StagedPs a(f, "a");
    f.keeper._register_event(&a, 3, 0x4, 0);
    f.keeper._register_event(&a, EVENT_GRP_ALL, 0x5, 0);
    for (unsigned g = 0; g < EVENT_GRP_LIMIT; ++g) EXPECT_EQ(0xFFFFFFFFu, a.get_events(g)) << g;
    f.keeper._register_event(&a, EVENT_GRP_ALL, 0x5, 1);
    for (unsigned g = 0; g < EVENT_GRP_LIMIT; ++g) EXPECT_EQ(0u, a.get_events(g)) << g;
    f.keeper._register_event(&a, 7, 0x2, 0);
    f.keeper._register_event(&a, EVENT_GRP_ALL, 0, 1);
    EXPECT_EQ(0u, a.get_events(7)) << "whatever the id";
}

TEST(Connection, FailedWriteUnbindsTheTask) {
    KeeperFixture f;
    ProbedPs task(f, 1, 3);
    f.keeper.add_process(&task);
    // The program stops reading: the next write on its connection fails and
    // the engine closes it without any input having arrived.
    shutdown(task.peer, SHUT_RD);
    ASSERT_EQ(KEEPER_OK, task.send_to_client(KEEPER_CHECK_ALIVE, 0, nullptr));
    EnginePasses passes(f, 2);
    f.engine.run();
    ASSERT_EQ(nullptr, task.get_client());
    EXPECT_EQ(KEEPER_FAIL, task.send_to_client(KEEPER_CHECK_ALIVE, 0, nullptr));
    f.keeper.remove_process(&task);
}

TEST(KeeperSrv, ReapingChildrenLeavesErrnoAsItWas) {
    KeeperFixture f;
    errno = EINTR;
    f.keeper.handle_sigchld(0);  // no child: waitpid fails with ECHILD
    EXPECT_EQ(EINTR, errno);
}

}  // namespace
