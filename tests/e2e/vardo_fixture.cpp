#include "tests/e2e/vardo_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <iniparser.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/test_util.h"
#include "tests/e2e/test_client.h"

namespace e2e {

namespace {

// Every level on, so a failing test can show what the daemon did.
const char* const kTraceProfile =
    "[vardo]\n"
    "filename = !evdbg.vardo.log\n"
    "fatal = 1\nerror = 1\nwarning = 1\nnotify = 1\ndebug = 1\n"
    "trace = 1\nuser1 = 1\n";

void replaceAll(std::string& text, const std::string& token, const std::string& value) {
    for (size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + value.size()))
        text.replace(at, token.size(), value);
}

std::string vardoPath(bool shortDelays) {
    const char* chosen = getenv("VARDO_E2E_VARDO");
    if (chosen && *chosen) return chosen;
    return shortDelays ? E2E_SHORT_DELAYS_VARDO_PATH : E2E_VARDO_PATH;
}

// The stand-in of /sbin/shutdown records into VARDO_E2E_RECORD; anything
// else means the test is not inside ns_run.sh and must not start the daemon.
bool insideTestNamespace() {
    const char* ns = getenv("VARDO_E2E_NS");
    const char* record = getenv("VARDO_E2E_RECORD");
    if (!ns || strcmp(ns, "1") != 0 || !record) return false;
    return readText("/sbin/shutdown").find(record) != std::string::npos;
}

}  // namespace

bool waitFor(const std::function<bool()>& cond, int timeoutMs, int stepMs) {
    const long long end = nowMs() + timeoutMs;
    for (;;) {
        if (cond()) return true;
        if (nowMs() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
}

bool processGone(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string line;
    std::getline(stat, line);
    const size_t paren = line.rfind(')');
    return paren == std::string::npos || line.compare(paren + 2, 1, "Z") == 0;
}

bool exitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

bool holdsSanitizerReport(const std::string& text) {
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
        if (text.find(mark) != std::string::npos) return true;
    return false;
}

void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }

void VardoTest::SetUp() {
    if (!insideTestNamespace())
        GTEST_SKIP() << "end-to-end tests run only inside tests/e2e/ns_run.sh";
    std::string pattern = std::string(getenv("VARDO_E2E_SCRATCH")) + "/home.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << strerror(errno);
    home_ = pattern;
    for (const char* dir : {"/conf", "/log", "/rec"})
        ASSERT_EQ(mkdir((home_ + dir).c_str(), 0755), 0) << strerror(errno);
    writeConf("qoevdbg.conf", kTraceProfile);
}

void VardoTest::TearDown() {
    if (vardo_ > 0) {
        kill(vardo_, SIGKILL);
        waitpid(vardo_, nullptr, 0);
        vardo_ = -1;
    }
    if (!home_.empty()) {
        const std::string found = sanitizerFindings();
        if (!found.empty()) ADD_FAILURE() << "sanitizer findings:\n" << found;
    }
    if (HasFailure() && !home_.empty()) {
        std::string trace = traceLog();
        if (trace.size() > 12000) trace = "...\n" + trace.substr(trace.size() - 12000);
        std::cerr << "---- vardo output ----\n"
                  << readText(home_ + "/vardo.out") << "---- vardo trace ----\n"
                  << trace << "---- recorded commands ----\n"
                  << commandsLog();
    }
}

std::string VardoTest::general() {
    return "[general]\nkeeper type = primary\nkeeper port = ${PORT}\n\n";
}

std::string VardoTest::psTask(const std::string& name, int level, const std::string& args,
                              const std::string& extra) {
    return "[tasks/" + name + "]\ntype = ps\nname = e2e_child\nlocation = ${CHILD_DIR}\n" +
           "args = " + args + "\nlevel = " + std::to_string(level) +
           "\nkill timeout = 1\nkaEnable = no\n" + extra + "\n";
}

std::string VardoTest::fill(std::string text) const {
    const std::string child = childPath();
    replaceAll(text, "${PORT}", std::to_string(port_));
    replaceAll(text, "${CHILD_DIR}", child.substr(0, child.rfind('/')));
    replaceAll(text, "${CHILD}", child);
    replaceAll(text, "${HOME}", home_);
    replaceAll(text, "${REC}", home_ + "/rec");
    return text;
}

void VardoTest::writeConf(const std::string& file, const std::string& text) const {
    std::ofstream out(home_ + "/conf/" + file, std::ios::trunc);
    out << fill(text);
}

std::string VardoTest::readConf(const std::string& file) const {
    return readText(home_ + "/conf/" + file);
}

int VardoTest::confBool(const std::string& file, const std::string& key) const {
    dictionary* dict = iniparser_load((home_ + "/conf/" + file).c_str());
    if (!dict) return -2;
    const int value = iniparser_getboolean(dict, key.c_str(), -1);
    iniparser_freedict(dict);
    return value;
}

std::string VardoTest::confString(const std::string& file, const std::string& key) const {
    dictionary* dict = iniparser_load((home_ + "/conf/" + file).c_str());
    if (!dict) return "<no file>";
    const std::string value = iniparser_getstring(dict, key.c_str(), "<absent>");
    iniparser_freedict(dict);
    return value;
}

std::string VardoTest::writeScript(const std::string& name, const std::string& body) const {
    const std::string path = home_ + "/" + name;
    {
        std::ofstream out(path, std::ios::trunc);
        out << "#!/bin/sh\n" << fill(body) << "\n";
    }
    chmod(path.c_str(), 0755);
    return path;
}

std::string VardoTest::childPath() { return E2E_CHILD_PATH; }

void VardoTest::spawnVardo(bool withHome) {
    ASSERT_EQ(vardo_, -1) << "vardo already running";
    const std::string path = vardoPath(!rebootDelay_.empty());
    ASSERT_EQ(access(path.c_str(), X_OK), 0) << path << ": " << strerror(errno);
    const std::string out = home_ + "/vardo.out";
    const std::string clockLog = clockLogPath();
    vardo_ = fork();
    ASSERT_GE(vardo_, 0) << strerror(errno);
    if (vardo_ == 0) {
        if (withHome)
            setenv("VELTO_HOME", home_.c_str(), 1);
        else
            unsetenv("VELTO_HOME");
        // Crash tests must not leave core files behind.
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        // The real-time clock is not namespaced: setting it is recorded only.
        setenv("LD_PRELOAD", E2E_CLOCK_SHIM_PATH, 1);
        setenv("VARDO_E2E_CLOCK_LOG", clockLog.c_str(), 1);
        if (!rebootDelay_.empty()) {
            setenv("VARDO_E2E_REBOOT_DELAY", rebootDelay_.c_str(), 1);
            setenv("VARDO_E2E_STOP_GRACE", stopGrace_.c_str(), 1);
        }
        // A sanitized daemon would refuse to run with a library ahead of its runtime.
        const char* asan = getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS",
               (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0 || chdir(home_.c_str()) != 0) _exit(126);
        close(fd);
        execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
}

void VardoTest::shortenShutdown(unsigned rebootDelay, unsigned stopGrace) {
    rebootDelay_ = std::to_string(rebootDelay);
    stopGrace_ = std::to_string(stopGrace);
}

void VardoTest::startVardo() {
    ASSERT_NO_FATAL_FAILURE(spawnVardo());
    ASSERT_TRUE(waitFor([&] { return portAccepts(port_) || !vardoRunning(); }, 10000))
        << "vardo did not listen on port " << port_;
    ASSERT_TRUE(vardoRunning()) << "vardo exited during start-up";
}

bool VardoTest::vardoRunning() {
    if (vardo_ <= 0) return false;
    int status = 0;
    const pid_t got = waitpid(vardo_, &status, WNOHANG);
    if (got == 0) return true;
    // Reaped here: keep the status for a later waitVardoExit.
    vardo_ = -1;
    reaped(got > 0 ? status : -1);
    return false;
}

int VardoTest::waitVardoExit(int timeoutMs) {
    int status = -1;
    if (vardo_ <= 0) return exited_status_;
    const bool gone = waitFor(
        [&] {
            const pid_t got = waitpid(vardo_, &status, WNOHANG);
            return got == vardo_ || got < 0;
        },
        timeoutMs);
    if (!gone) return -1;
    vardo_ = -1;
    reaped(status);
    return status;
}

int VardoTest::stopVardo(int timeoutMs) {
    if (vardo_ > 0) kill(vardo_, SIGTERM);
    return waitVardoExit(timeoutMs);
}

bool VardoTest::portAccepts(int port) const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

void VardoTest::actionOnPs(unsigned action, const char* module) const {
    TestClient client;
    ASSERT_TRUE(client.connect(port_));
    ASSERT_TRUE(client.actionOnPs(action, module));
}

std::string VardoTest::psListing() const {
    TestClient client;
    Message reply;
    if (!client.connect(port_) || !client.printPs(reply)) return "";
    return listingText(reply);
}

int VardoTest::psPid(const std::string& name) const {
    std::istringstream lines(psListing());
    std::string index, listed;
    int pid;
    while (lines >> index >> listed >> pid)
        if (listed == name) return pid;
    return -2;
}

bool VardoTest::waitPsPid(const std::string& name, const std::function<bool(int)>& cond,
                          int timeoutMs) const {
    return waitFor([&] { return cond(psPid(name)); }, timeoutMs);
}

std::string VardoTest::recordPath(const std::string& name) const { return home_ + "/rec/" + name; }

std::vector<Record> VardoTest::records(const std::string& name, const std::string& what) const {
    std::vector<Record> found;
    std::istringstream lines(readText(recordPath(name)));
    Record rec;
    while (lines >> rec.what >> rec.pid >> rec.ms)
        if (what.empty() || rec.what == what) found.push_back(rec);
    return found;
}

bool VardoTest::waitRecords(const std::string& name, const std::string& what, size_t n,
                            int timeoutMs) const {
    return waitFor([&] { return records(name, what).size() >= n; }, timeoutMs);
}

bool VardoTest::waitBound(const std::string& task, const std::string& recordName,
                          int timeoutMs) const {
    if (!waitRecords(recordName, "init", 1, timeoutMs)) return false;
    const std::vector<Record> inits = records(recordName, "init");
    const std::string confirmed =
        "Got init confirmation from " + task + " (" + std::to_string(inits.back().pid) + ")";
    return waitFor([&] { return traceLog().find(confirmed) != std::string::npos; }, timeoutMs);
}

std::string VardoTest::commandsLog() const {
    const char* record = getenv("VARDO_E2E_RECORD");
    return record ? readText(record) : std::string();
}

std::string VardoTest::clockLogPath() const { return home_ + "/clock.log"; }

std::string VardoTest::clockLog() const { return readText(clockLogPath()); }

std::string VardoTest::traceLog() const { return readText(home_ + "/log/evdbg.vardo.log"); }

void VardoTest::reaped(int status) {
    exited_status_ = status;
    if (status != -1 && exitedWith(status, kSanitizerExit)) sanitizerExit_ = true;
}

std::string VardoTest::sanitizerFindings() {
    std::string found;
    if (sanitizerExit_)
        found += "vardo exited with " + std::to_string(kSanitizerExit) + ", the sanitizers' code\n";
    sanitizerExit_ = false;
    const std::string output = readText(home_ + "/vardo.out");
    if (output.size() > outputScanned_ && holdsSanitizerReport(output.substr(outputScanned_)))
        found += "vardo's output (" + home_ + "/vardo.out) holds a sanitizer report\n";
    outputScanned_ = output.size();
    // Each report is taken once, so a later case of the same program does
    // not fail for it again.
    const char* folder = getenv("VARDO_E2E_SANITIZER_DIR");
    DIR* dir = folder ? opendir(folder) : nullptr;
    if (!dir) return found;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = std::string(folder) + "/" + entry->d_name;
        std::string report = readText(path);
        if (report.size() > 8000) report = report.substr(0, 8000) + "...\n";
        found += "---- " + path + " ----\n" + report;
        unlink(path.c_str());
    }
    closedir(dir);
    return found;
}

}  // namespace e2e
