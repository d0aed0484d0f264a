// Test fixture of the end-to-end tests: a private VELTO_HOME with the
// daemon's INI file and trace profile, the real vardo started from it and
// stopped again, and readers for what the supervised programs recorded.
// Runs only inside the namespaces that ns_run.sh sets up.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/clock.h"

namespace e2e {

// Polls cond every stepMs until it holds or timeoutMs has passed.
bool waitFor(const std::function<bool()>& cond, int timeoutMs, int stepMs = 20);

// One line that a supervised program appended to its record file:
// "<what> <pid> <ms>", what being start, init, quit or term.
struct Record {
    std::string what;
    int pid;
    long long ms;
};

// Whether a process is gone (reaped or left as a zombie).
bool processGone(int pid);

// Whether a wait status is a normal exit with code.
bool exitedWith(int status, int code);

// A pause long enough for the daemon to act if it were going to, used only
// after the event that would have triggered it has been seen.
void settle();

// Exit code of a sanitized program that hit a finding: the test run's
// ASAN_OPTIONS and UBSAN_OPTIONS choose it, so that it is never taken for a
// program's own failure.
constexpr int kSanitizerExit = E2E_SANITIZER_EXITCODE;

// Whether a program's output holds a sanitizer report.
bool holdsSanitizerReport(const std::string& text);

class VardoTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // INI building blocks. general(): the [general] section on ${PORT}.
    // psTask(): a "ps" task running the test program with args, at level,
    // stopped with a kill timeout of 1 s and without keep-alive probes;
    // extra lines (key = value) are appended to the section.
    static std::string general();
    static std::string psTask(const std::string& name, int level, const std::string& args,
                              const std::string& extra = "");

    // Replaces ${PORT}, ${CHILD_DIR}, ${CHILD}, ${HOME} and ${REC} (the folder
    // of record files) in an INI text.
    std::string fill(std::string text) const;
    // Writes conf/<file> (filled) into the home.
    void writeConf(const std::string& file, const std::string& text) const;
    void writeIni(const std::string& text) const { writeConf("vardo.ini", text); }
    std::string readConf(const std::string& file = "vardo.ini") const;
    // A bool key ("section:key") of conf/<file> as the daemon will read it
    // next time: 1, 0, -1 when absent, -2 when the file does not load.
    int confBool(const std::string& file, const std::string& key) const;
    // A text key of conf/<file>: "<absent>" or "<no file>" when missing.
    std::string confString(const std::string& file, const std::string& key) const;
    // Writes an executable shell script into the home and returns its path.
    std::string writeScript(const std::string& name, const std::string& body) const;

    // The daemon started next waits these seconds in its shutdown sequence
    // instead of the appliance's 30 s before a reboot and 5 s before SIGKILL:
    // the tests' build of the daemon is started, which reads them from its
    // environment.
    void shortenShutdown(unsigned rebootDelay, unsigned stopGrace);
    // For a case that stops the daemon only to start it again: a stop of 1 s.
    void quickStop() { shortenShutdown(30, 1); }
    // Starts vardo and waits until it accepts connections on port().
    void startVardo();
    // Starts vardo without waiting for anything; without VELTO_HOME it uses
    // its default home /usr/local/DYX (private to the namespace).
    void spawnVardo(bool withHome = true);
    // Waits for the daemon to exit; returns its wait status, or -1 on timeout.
    int waitVardoExit(int timeoutMs);
    // SIGTERM, then waits; returns the wait status (-1 on timeout).
    int stopVardo(int timeoutMs = 15000);
    bool vardoRunning();
    bool portAccepts(int port) const;

    int port() const { return port_; }
    pid_t vardoPid() const { return vardo_; }
    const std::string& home() const { return home_; }
    static std::string childPath();

    // Sends KEEPER_ACTION_ON_PS (0 start, 1 stop, 2 restart) over a fresh connection.
    void actionOnPs(unsigned action, const char* module) const;
    // The KEEPER_PRINT_PS listing over a fresh connection ("" without reply).
    std::string psListing() const;
    // Pid of the named task in the listing; -2 when it is not listed.
    int psPid(const std::string& name) const;
    // Waits until the named task's listed pid satisfies cond.
    bool waitPsPid(const std::string& name, const std::function<bool(int)>& cond,
                   int timeoutMs = 5000) const;

    // Record file of one supervised program, named in its INI args as ${REC}/<name>.
    std::string recordPath(const std::string& name) const;
    std::vector<Record> records(const std::string& name, const std::string& what = "") const;
    // Waits until the record file of name holds at least n lines of kind what.
    bool waitRecords(const std::string& name, const std::string& what, size_t n,
                     int timeoutMs = 5000) const;
    // Waits until the program of a task has started, sent its init message
    // and been bound to the task (the daemon's trace says so).
    bool waitBound(const std::string& task, const std::string& recordName,
                   int timeoutMs = 5000) const;
    // Command lines recorded by the stand-ins of /sbin/shutdown and the rc scripts.
    std::string commandsLog() const;
    std::string traceLog() const;
    // Clock changes the daemon asked for ("<call> <seconds>" lines): the
    // daemon runs with a preloaded stand-in for settimeofday.
    std::string clockLogPath() const;
    std::string clockLog() const;

    // What the sanitizers found since the last look: the report files that
    // any program of the namespace left (ns_run.sh sends them all to one
    // folder), a report in the daemon's output, a daemon that ended with
    // kSanitizerExit. Empty when nothing; TearDown fails the case otherwise.
    std::string sanitizerFindings();

private:
    void reaped(int status);

    std::string home_;
    int port_ = 7311;
    pid_t vardo_ = -1;
    std::string rebootDelay_;
    std::string stopGrace_;
    int exited_status_ = -1;
    bool sanitizerExit_ = false;
    size_t outputScanned_ = 0;
};

}  // namespace e2e
