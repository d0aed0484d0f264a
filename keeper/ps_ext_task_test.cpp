#include "keeper/ps_ext_task.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "keeper/client_handler.h"
#include "keeper/fake_task_host.h"
#include "keeper/ps_list.h"
#include "keeper/ps_remote_task.h"
#include "keeper/test_support.h"
#include "support/proc_utils.h"

namespace {

// An external program: a private copy of sleep, forked for real by run().
// Starting a program kills other copies of it, so tests running in parallel
// must not share one.
struct External : ::testing::Test {
    External() : task(&f.keeper, &f.timers) {
        EXPECT_EQ(0, system(("cp /bin/sleep " + dir.path() + "/ext").c_str()));
        task.set_name("ext");
        task.set_exec("ext");
        task.set_location(dir.path().c_str());
        task.set_args("30");
        task.set_level(1);
        task.set_enabled(true);
        task.set_implement(IMPLEMENT_APP);
    }
    ~External() override {
        if (task.get_pid() > 0) {
            kill(task.get_pid(), SIGKILL);
            waitpid(task.get_pid(), nullptr, 0);
        }
    }
    // Waits for the program and tells by which signal it ended (0: none).
    int reap() {
        int status = 0;
        waitpid(task.get_pid(), &status, 0);
        task.adopt_pid(-1);
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

    KeeperFixture f;
    TempDir dir;
    PsExtTask task;
};

TEST_F(External, TerminateCommandIsComposedOrRefused) {
    ASSERT_EQ(KEEPER_OK, task.set_terminate_cmd("stop.sh", "/opt/x", "-f"));
    EXPECT_STREQ("/opt/x/stop.sh -f", task.get_terminate_cmd());
    ASSERT_EQ(KEEPER_OK, task.set_terminate_cmd("stop.sh", "", ""));
    EXPECT_STREQ("stop.sh", task.get_terminate_cmd());
    ASSERT_EQ(KEEPER_OK, task.set_terminate_cmd("", "/opt/x", "-f"));
    EXPECT_STREQ("stop.sh", task.get_terminate_cmd()) << "no procedure: nothing changes";
    EXPECT_EQ(KEEPER_OK, task.validate());

    // 99 characters fit, 100 do not.
    PsExtTask fits(&f.keeper, &f.timers);
    EXPECT_EQ(KEEPER_OK, fits.set_terminate_cmd(std::string(99, 'p').c_str(), "", ""));
    EXPECT_EQ(99u, strlen(fits.get_terminate_cmd()));
    PsExtTask refused(&f.keeper, &f.timers);
    refused.set_exec("/bin/sleep");
    refused.set_level(1);
    refused.set_implement(IMPLEMENT_APP);
    EXPECT_EQ(KEEPER_FAIL,
              refused.set_terminate_cmd("stop.sh", std::string(90, 'l').c_str(), "--all"));
    EXPECT_STREQ("", refused.get_terminate_cmd());
    EXPECT_EQ(KEEPER_FAIL, refused.validate()) << "a refused task never runs";
}

TEST_F(External, ConfirmedAtForkAndStoppedBySigterm) {
    ASSERT_EQ(KEEPER_OK, task.validate());
    ASSERT_EQ(KEEPER_OK, task.run());
    ASSERT_GT(task.get_pid(), 0);
    EXPECT_EQ(0u, task.check_status()) << "no init message is awaited";
    ASSERT_EQ(KEEPER_OK, task.stop());
    EXPECT_TRUE(task.get_kill_request());
    EXPECT_EQ(SIGTERM, reap());
}

TEST_F(External, StoppedByItsTerminateProcedure) {
    const std::string marker = dir.path() + "/stopped";
    ASSERT_EQ(KEEPER_OK, task.set_terminate_cmd("touch", "/usr/bin", marker.c_str()));
    ASSERT_EQ(KEEPER_OK, task.validate());
    ASSERT_EQ(KEEPER_OK, task.run());
    ASSERT_EQ(KEEPER_OK, task.restart());
    EXPECT_TRUE(task.get_restart_request());
    f.settle_runs();
    EXPECT_EQ(0, access(marker.c_str(), F_OK)) << "the procedure ran";
    EXPECT_EQ(0, kill(task.get_pid(), 0)) << "no signal besides the procedure";
}

TEST_F(External, StopOfAStoppedProgramOnlyMarksIt) {
    ASSERT_EQ(KEEPER_OK, task.stop());
    EXPECT_TRUE(task.get_kill_request());
    EXPECT_EQ(-1, task.get_pid());
}

TEST_F(External, LeftoverCopyIsTerminatedBeforeTheBoot) {
    // A copy of its own, so that no other sleeping program is taken for it.
    const std::string program = dir.path() + "/leftover";
    ASSERT_EQ(0, system(("cp /bin/sleep " + program).c_str()));
    const pid_t leftover = fork();
    ASSERT_GE(leftover, 0);
    if (leftover == 0) {
        execl(program.c_str(), program.c_str(), "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    task.set_exec("leftover");
    task.set_location(dir.path().c_str());
    ASSERT_EQ(KEEPER_OK, task.validate());
    PsList list;
    list.add_ps_to_list(&task);
    // Give the exec time to show the program's name.
    for (int i = 0; i < 100 && Com_getPidof(program.c_str()) != leftover; ++i) usleep(10000);
    list.set_externals_pid();
    int status = 0;
    ASSERT_EQ(leftover, waitpid(leftover, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(-1, task.get_pid()) << "a program not forked here reports no exit";
}

struct Remote : ::testing::Test {
    Remote() : task(&f.keeper, &f.timers) {
        task.set_name("peer");
        task.set_level(1);
        task.set_enabled(true);
        task.set_failure_action(&failure);
    }
    KeeperFixture f;
    PsRemoteTask task;
    RecordingAction failure;
};

TEST_F(Remote, WaitsForThePeerAndTreatsTheLostConnectionAsAnExit) {
    EXPECT_EQ(KEEPER_OK, task.run());
    EXPECT_EQ(1u, task.check_status());
    EXPECT_EQ(KEEPER_FAIL, task.restart());

    ClientHandler handler(&f.engine, &f.keeper);
    ASSERT_EQ(KEEPER_OK, task.handle_init_msg(&handler, 4242, 1000));
    EXPECT_EQ(0u, task.check_status());
    EXPECT_EQ(&handler, task.get_client());
    EXPECT_EQ(static_cast<uint32_t>(f.clock.wallTime() - 1000), task.get_boot_time());
    EXPECT_EQ(-1, task.get_pid()) << "the pid of the message is not used";

    task.handle_client_close();
    EXPECT_EQ(1u, task.check_status());
    EXPECT_EQ(nullptr, task.get_client());
    EXPECT_EQ(-1, task.get_pid());
    EXPECT_EQ(1, failure.runs) << "no restart allowed";
    EXPECT_EQ(&task, failure.last_arg);
}

TEST_F(Remote, RestartPolicyWaitsForTheNextConnection) {
    task.set_restart(true);
    ClientHandler handler(&f.engine, &f.keeper);
    task.handle_init_msg(&handler, 1, 0);
    task.handle_client_close();
    EXPECT_EQ(0, failure.runs);
    task.handle_up_msg(&handler);
    EXPECT_EQ(0u, task.check_status());
    EXPECT_EQ(&handler, task.get_client());
}

TEST_F(Remote, FoundByTheAddressOfItsPeer) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(listener, 1));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len));
    const int peer = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    const int accepted = accept(listener, nullptr, nullptr);
    ClientHandler* handler = new ClientHandler(&f.engine, &f.keeper);
    EvAdapter* sock = f.engine.registerSocket(accepted, handler, false, 0);
    ASSERT_NE(nullptr, sock);
    handler->handleOpen(sock);

    PsList list;
    list.add_ps_to_list(&task);
    EXPECT_EQ(nullptr, list.find_ps_by_ip_rem("127.0.0.1"));
    task.handle_init_msg(handler, 1, 0);
    EXPECT_EQ("127.0.0.1", task.get_peer_ip());
    EXPECT_EQ(&task, list.find_ps_by_ip_rem("127.0.0.1"));
    EXPECT_EQ(nullptr, list.find_ps_by_ip_rem("127.0.0.2"));
    close(peer);
    close(listener);
}

}  // namespace
