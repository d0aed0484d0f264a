// The harness itself: the namespaces really are private, the system commands
// are recorded instead of run, and the supervised program speaks the keeper
// protocol. Needs no daemon: the test plays the keeper.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "protocol/keeper_msg.h"
#include "protocol/wire_text.h"
#include "tests/e2e/vardo_fixture.h"

namespace e2e {
namespace {

class E2eHarness : public VardoTest {
protected:
    pid_t spawnChild(const std::string& args) {
        const std::string line = fill("${CHILD} " + args);
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", ("exec " + line).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }

    int listenOn(int port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(fd, 4), 0);
        return fd;
    }
};

TEST_F(E2eHarness, NamespaceIsPrivate) {
    char host[64] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_STREQ(host, "vardo-e2e");
    // PID 1 of the namespace is ns_run.sh, our parent.
    EXPECT_EQ(getppid(), 1);
    ASSERT_EQ(system("/sbin/shutdown -r now"), 0);
    EXPECT_EQ(commandsLog(), "/sbin/shutdown -r now\n");
    ASSERT_EQ(system("/etc/rc.d/rc.inet1 restart 1> /dev/null 2> /dev/null"), 0);
    EXPECT_NE(commandsLog().find("/etc/rc.d/rc.inet1 restart\n"), std::string::npos);
    EXPECT_TRUE(std::ofstream("/etc/vardo-e2e-probe").good());
    EXPECT_TRUE(std::ofstream("/usr/local/DYX/conf/probe").good());
}

TEST_F(E2eHarness, ClockShimRecordsInsteadOfSettingTheClock) {
    // Asks for the current time, so that even a shim that failed to load
    // would leave the machine's clock as it was.
    const long long now = time(nullptr);
    const std::string cmd =
        "LD_PRELOAD=" E2E_CLOCK_SHIM_PATH " VARDO_E2E_CLOCK_LOG=" + clockLogPath() + " date -s @" +
        std::to_string(now) + " > /dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(clockLog(), "clock_settime " + std::to_string(now) + "\n");
}

TEST_F(E2eHarness, ChildSendsInitAndQuitsOnRequest) {
    const int server = listenOn(port());
    const pid_t child = spawnChild("--record ${REC}/c --init ${PORT}");
    const int conn = accept(server, nullptr, nullptr);
    ASSERT_GE(conn, 0);

    keeper_client_header hdr{};
    ASSERT_EQ(recv(conn, &hdr, sizeof hdr, MSG_WAITALL), static_cast<ssize_t>(sizeof hdr));
    headerN2HOrder(&hdr);
    ASSERT_EQ(hdr.type, KEEPER_INIT);
    std::vector<uint8_t> body(hdr.length);
    ASSERT_EQ(recv(conn, body.data(), body.size(), MSG_WAITALL), static_cast<ssize_t>(body.size()));
    GeneralMsg init(KEEPER_INIT);
    ASSERT_EQ(init.fromWire(hdr, body.data()), KEEPER_OK);
    EXPECT_EQ(init.payload.init.keeperType, 1u);
    EXPECT_EQ(static_cast<pid_t>(init.payload.init.pid), child);
    EXPECT_EQ(wireText(init.payload.init.name), "e2e_child");

    const std::vector<unsigned char> quit = keeperFrame(KEEPER_QUIT, 1, nullptr, 0);
    ASSERT_EQ(send(conn, quit.data(), quit.size(), 0), static_cast<ssize_t>(quit.size()));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(exitedWith(status, 0));
    ASSERT_EQ(records("c").size(), 3u);
    EXPECT_EQ(records("c", "quit").at(0).pid, child);
    close(conn);
    close(server);
}

TEST_F(E2eHarness, ChildRecordsAndSurvivesSigterm) {
    const pid_t child = spawnChild("--record ${REC}/c --ignore-term --fds ${REC}/fds");
    ASSERT_TRUE(waitRecords("c", "start", 1));
    kill(child, SIGTERM);
    ASSERT_TRUE(waitRecords("c", "term", 1));
    EXPECT_FALSE(processGone(child));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    std::ifstream fds(recordPath("fds"));
    std::string line;
    int count = 0;
    while (std::getline(fds, line)) ++count;
    EXPECT_GE(count, 3) << "stdin, stdout and stderr at least";
}

TEST_F(E2eHarness, ChildExitsAtOnce) {
    const pid_t child = spawnChild("--record ${REC}/c --exit");
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(exitedWith(status, 0));
    EXPECT_EQ(records("c", "start").size(), 1u);
}

TEST_F(E2eHarness, SanitizerFindingsOfAnyProgramAreFoundOnce) {
    // Every program of the namespace writes its reports into one folder,
    // wherever its own output goes.
    const char* dir = getenv("VARDO_E2E_SANITIZER_DIR");
    ASSERT_NE(dir, nullptr);
    for (const char* options : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const char* value = getenv(options);
        EXPECT_NE(std::string(value ? value : "").find(std::string("log_path=") + dir + "/"),
                  std::string::npos)
            << options;
    }
    std::ofstream(std::string(dir) + "/report.4242")
        << "==4242==ERROR: AddressSanitizer: heap-use-after-free\n";
    // A daemon that ends with the sanitizers' code, its report on its output.
    const std::string fake =
        writeScript("fake_vardo",
                    "echo 'a.cpp:1:2: runtime error: signed integer overflow' >&2\n"
                    "exit " +
                        std::to_string(kSanitizerExit));
    setenv("VARDO_E2E_VARDO", fake.c_str(), 1);
    spawnVardo();
    unsetenv("VARDO_E2E_VARDO");
    EXPECT_TRUE(exitedWith(waitVardoExit(5000), kSanitizerExit));

    const std::string found = sanitizerFindings();
    EXPECT_NE(found.find("heap-use-after-free"), std::string::npos) << found;
    EXPECT_NE(found.find("vardo exited with"), std::string::npos) << found;
    EXPECT_NE(found.find("vardo.out"), std::string::npos) << found;
    EXPECT_EQ(sanitizerFindings(), "");
}

}  // namespace
}  // namespace e2e
