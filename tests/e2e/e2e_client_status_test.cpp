// The status of the daemon's tasks and checks under the real daemon: what
// vardoctl -j and -i print after crashes, exits, silent programs and failing
// checks, the same in the metrics file, that file read by a Prometheus text
// parser and scraped through a real node exporter, and a peer that does not
// answer the request.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/keeper_msg.h"
#include "tests/e2e/client_fixture.h"
#include "tests/e2e/test_client.h"

namespace e2e {
namespace {

// A task name with a quote and a backslash, as the INI file gives it.
const char kOddName[] = "odd\"na\\me";
// Debian's, with the packages that scripts/deps.sh installs.
const char kNodeExporter[] = "/usr/bin/prometheus-node-exporter";
const std::string kPython = "/usr/bin/python3";
constexpr int kExporterPort = 9177;

class E2eStatus : public ClientTest {
protected:
    std::string promDir() const { return home() + "/prom"; }
    std::string promFile() const { return promDir() + "/vardo.prom"; }

    void startWithMetrics(const std::string& tasks) {
        mkdir(promDir().c_str(), 0755);
        writeIni(
            "[general]\nkeeper type = primary\nkeeper ip = 127.0.0.1\nkeeper port = "
            "${PORT}\nmetrics file = " +
            promFile() + "\n\n" + tasks);
        startVardo();
    }

    std::string json() const { return vardoctl("-j").out; }

    // The value of a field of the named task's (or check's) JSON object.
    std::string field(const std::string& text, const std::string& name,
                      const std::string& key) const {
        const std::string start = "{\"name\": \"" + name + "\"";
        size_t at = text.find(start);
        if (at == std::string::npos) return "<no " + name + ">";
        const std::string object = text.substr(at, text.find('}', at) - at);
        const std::string label = "\"" + key + "\": ";
        at = object.find(label);
        if (at == std::string::npos) return "<no " + key + ">";
        at += label.size();
        return object.substr(at, object.find_first_of(",}", at) - at);
    }

    // The words of the table line of that kind and name (the header's for
    // "KIND"); none when there is no such line.
    static std::vector<std::string> row(const std::string& table, const std::string& kind,
                                        const std::string& name) {
        std::istringstream lines(table);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream in(line);
            std::vector<std::string> words;
            for (std::string word; in >> word;) words.push_back(word);
            if (words.size() > 1 && words[0] == kind && words[1] == name) return words;
        }
        return {};
    }

    std::string metrics() const {
        std::ifstream in(promFile());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool waitMetric(const std::string& line, int timeoutMs = 5000) const {
        return waitFor([&] { return metrics().find(line + "\n") != std::string::npos; }, timeoutMs,
                       100);
    }

    static std::string run(const std::string& line) {
        std::string out;
        FILE* pipe = popen(line.c_str(), "r");
        if (!pipe) return out;
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
        pclose(pipe);
        return out;
    }

    // Kills the task's program with SIGKILL and waits for its next one.
    void crash(const std::string& task) {
        const int pid = psPid(task);
        ASSERT_GT(pid, 0);
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        ASSERT_TRUE(waitPsPid(task, [&](int next) { return next > 0 && next != pid; }));
    }
};

// One HTTP GET on loopback; the whole answer.
std::string httpGet(int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
        if (write(fd, request.data(), request.size()) == ssize_t(request.size())) {
            char buf[8192];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) answer.append(buf, size_t(n));
        }
    }
    close(fd);
    return answer;
}

TEST_F(E2eStatus, CrashesExitsAndOddNamesInJsonMetricsAndANodeExporter) {
    const std::string seven = writeScript("seven.sh", "exit 7\n");
    startWithMetrics(psTask("crashy", 1, "--record ${REC}/crashy", "restart = yes\n") +
                     "[tasks/seven]\ntype = ps\nname = seven.sh\nlocation = ${HOME}\nlevel = "
                     "1\nkaEnable = no\n\n" +
                     psTask(kOddName, 1, "--record ${REC}/odd"));
    ASSERT_TRUE(waitPsPid("crashy", [](int pid) { return pid > 0; }));
    crash("crashy");
    crash("crashy");
    const long beforeThird = static_cast<long>(time(nullptr));
    crash("crashy");

    const std::string status = json();
    EXPECT_EQ(field(status, "crashy", "restarts"), "3") << status;
    EXPECT_EQ(field(status, "crashy", "starts"), "4");
    EXPECT_EQ(field(status, "crashy", "last_exit_signal"), "9");
    EXPECT_EQ(field(status, "crashy", "last_exit_code"), "null");
    EXPECT_EQ(field(status, "crashy", "state"), "\"running\"");
    EXPECT_GE(std::stol(field(status, "crashy", "last_start")), beforeThird);
    EXPECT_EQ(field(status, "seven", "last_exit_code"), "7");
    EXPECT_EQ(field(status, "seven", "last_exit_signal"), "null");
    EXPECT_EQ(field(status, "seven", "state"), "\"exited\"");
    EXPECT_EQ(field(status, "odd\\\"na\\\\me", "state"), "\"running\"") << status;
    // The daemon: its pid, the boot level reached, this connection at least.
    EXPECT_NE(status.find("{\"daemon\": {\"pid\": " + std::to_string(vardoPid()) + ", "),
              std::string::npos);
    const std::string clients = ", \"level\": 1, \"clients\": ";
    const size_t at = status.find(clients);
    ASSERT_NE(at, std::string::npos) << status;
    EXPECT_NE(status[at + clients.size()], '0');
    // The text is JSON as a JSON parser reads it, the odd name included.
    const std::string jsonFile = home() + "/status.json";
    std::ofstream(jsonFile) << status;
    EXPECT_EQ(run(kPython +
                  " -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                  "print(d[\"tasks\"][2][\"name\"])' " +
                  jsonFile),
              std::string(kOddName) + "\n");

    ASSERT_TRUE(waitMetric("vardo_task_restarts_total{task=\"crashy\"} 3")) << metrics();
    EXPECT_TRUE(waitMetric("vardo_task_last_exit_signal{task=\"crashy\"} 9"));
    EXPECT_TRUE(waitMetric("vardo_task_last_exit_code{task=\"seven\"} 7"));
    EXPECT_TRUE(waitMetric("vardo_boot_level 1"));
    EXPECT_TRUE(waitMetric("vardo_task_up{task=\"odd\\\"na\\\\me\"} 1")) << metrics();
    struct stat st {};
    ASSERT_EQ(stat(promFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // No temporary file is left beside it.
    EXPECT_EQ(run("ls -A " + promDir()), "vardo.prom\n");

    // A Prometheus text parser takes the file whole and gives the name back.
    EXPECT_EQ(run(kPython +
                  " -c 'import sys; from prometheus_client.parser import "
                  "text_string_to_metric_families as p; "
                  "print(sorted({s.labels.get(\"task\",\"\") for f in p(open(sys.argv[1]).read()) "
                  "for s in f.samples}))' " +
                  promFile()),
              "['', 'crashy', 'odd\"na\\\\me', 'seven']\n");

    // The node exporter's text-file collector reads it without a scrape error.
    const pid_t exporter = fork();
    if (exporter == 0) {
        const std::string dir = "--collector.textfile.directory=" + promDir();
        const std::string listen =
            "--web.listen-address=127.0.0.1:" + std::to_string(kExporterPort);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(kNodeExporter, kNodeExporter, "--collector.disable-defaults", "--collector.textfile",
              dir.c_str(), listen.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(exporter, 0);
    std::string scraped;
    EXPECT_TRUE(waitFor(
        [&] {
            scraped = httpGet(kExporterPort, "/metrics");
            return scraped.find("vardo_task_restarts_total{task=\"crashy\"} 3") !=
                   std::string::npos;
        },
        10000, 100))
        << scraped;
    EXPECT_NE(scraped.find("node_textfile_scrape_error 0"), std::string::npos);
    EXPECT_NE(scraped.find("vardo_task_last_exit_code{task=\"seven\"} 7"), std::string::npos);
    kill(exporter, SIGTERM);
    waitpid(exporter, nullptr, 0);
}

TEST_F(E2eStatus, SilentProgramAndFailingCheck) {
    writeScript("check.sh", "exit 1\n");
    writeIni(generalWithIp() +
             kcTask("quiet", 1, "--record ${REC}/quiet --silent-when ${REC}/silent",
                    "restart = yes\nkaEnable = yes\nkaPeriod = 1\nkaWarning = 10\nkaError = "
                    "20\n") +
             "[checks/failing]\nname = check.sh\nlocation = ${HOME}\nimplement = App\nlevel = "
             "1\ninterval = 1\n\n");
    startVardo();
    ASSERT_TRUE(waitReady("quiet", "quiet"));
    close(open((home() + "/rec/silent").c_str(), O_WRONLY | O_CREAT, 0644));
    std::string status;
    EXPECT_TRUE(waitFor(
        [&] {
            status = json();
            const std::string missed = field(status, "quiet", "keepalive_missed");
            return isdigit(missed[0]) && std::stoi(missed) >= 2 &&
                   field(status, "failing", "failures") != "0";
        },
        10000, 200))
        << status;
    EXPECT_EQ(field(status, "quiet", "connected"), "true");
    EXPECT_EQ(field(status, "failing", "failing"), "true");
    EXPECT_EQ(field(status, "failing", "runs"), field(status, "failing", "failures"));

    // The table: a header, a line for the task and one for the check.
    const ToolRun table = vardoctl("-i");
    EXPECT_EQ(table.status, 0);
    EXPECT_EQ(row(table.out, "KIND", "NAME"),
              std::vector<std::string>(
                  {"KIND", "NAME", "STATE", "PID", "UPTIME", "RUNS", "FAILED", "MISSED", "LAST"}))
        << table.out;
    const std::vector<std::string> task = row(table.out, "task", "quiet");
    ASSERT_EQ(task.size(), 9u) << table.out;
    EXPECT_EQ(task[2], "running");
    EXPECT_GT(std::stoi(task[3]), 0);
    EXPECT_EQ(task[4].back(), 's');
    const std::vector<std::string> check = row(table.out, "check", "failing");
    ASSERT_EQ(check.size(), 9u) << table.out;
    EXPECT_EQ(check[2], "failing");
    EXPECT_EQ(check[3], "-");
    EXPECT_NE(check[5], "0");
    // Aligned: each column starts where its header does.
    const size_t column = table.out.find("STATE");
    EXPECT_EQ(table.out.find("running") - table.out.find("\ntask") - 1, column);
    EXPECT_EQ(table.out.find("failing  ") - table.out.find("\ncheck") - 1, table.out.find("NAME"));
}

TEST_F(E2eStatus, PeerWithoutTheRequestLeavesTheToolToTimeOut) {
    // A daemon that does not know a type sends nothing back.
    writeIni(generalWithIp());
    startVardo();
    TestClient raw;
    ASSERT_TRUE(raw.connect(port()));
    ASSERT_TRUE(raw.send(KEEPER_MSG_TYPES, nullptr, 0));
    // The next answer on the connection is the listing's.
    Message reply;
    ASSERT_TRUE(raw.printPs(reply));
    EXPECT_EQ(reply.type, unsigned(KEEPER_PRINT_ACK));
    EXPECT_TRUE(vardoRunning());
    stopVardo();

    // Such a peer in place of the daemon: the tool gives up as for any listing.
    const int listener = silentPeer();
    ASSERT_GE(listener, 0);
    const ToolRun run = vardoctl("-i");
    EXPECT_EQ(run.out, "Failed to read reply timeout\n");
    EXPECT_EQ(run.status, 2);
    close(listener);
}

}  // namespace
}  // namespace e2e
