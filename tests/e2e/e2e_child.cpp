// The program that the end-to-end tests let vardo supervise. What it does is
// chosen by its arguments (the INI "args" of its task; no quoting there):
//   --record FILE   append "start <pid> <ms>" at start, and later "init",
//                   "quit" and "term" lines, to FILE (ms: monotonic clock)
//   --fds FILE      write the targets of its open descriptors to FILE
//   --ignore-term   survive SIGTERM (recording "term")
//   --on-int        record "int" at SIGINT and exit 0
//   --init PORT     connect to vardo on PORT, send KEEPER_INIT, exit 0 on
//                   KEEPER_QUIT and answer keep-alive probes
//   --init-delay MS wait this long before connecting
//   --exit          exit at once (after recording)
// Without --exit it runs until it is told to quit or is killed.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tests/e2e/record.h"
#include "tests/e2e/test_client.h"

namespace {

const char* gRecord = nullptr;

void record(const char* what) { e2e::recordLine(gRecord, what); }

void onTerm(int) { record("term"); }

void onInt(int) {
    record("int");
    _exit(0);
}

void writeFds(const char* path) {
    std::string text;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return;
    const int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == own) continue;
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
        text += std::string(entry->d_name) + " " + target + "\n";
    }
    closedir(dir);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, text.data(), text.size()) < 0) {
        // As in record(): the test reads the file and reports what is missing.
    }
    close(fd);
}

// Talks to vardo like a supervised program until told to quit.
[[noreturn]] void serve(int port) {
    e2e::TestClient client;
    // Recorded before sending: the daemon may act on the message at once.
    record("init");
    if (!client.connect(port) || !client.init(1, getpid(), "e2e_child")) {
        record("noconnect");
        for (;;) pause();
    }
    e2e::Message msg;
    for (;;) {
        if (!client.read(msg, 60 * 60 * 1000)) {
            // The daemon went away; a real program would reconnect later.
            for (;;) pause();
        }
        if (msg.type == KEEPER_QUIT) {
            record("quit");
            _exit(0);
        }
        if (msg.type == KEEPER_CHECK_ALIVE) client.checkAlive();
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    int initDelayMs = 0;
    bool exitNow = false;
    bool ignoreTerm = false;
    const char* fdsFile = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--record" && hasValue)
            gRecord = argv[++i];
        else if (arg == "--fds" && hasValue)
            fdsFile = argv[++i];
        else if (arg == "--init" && hasValue)
            port = atoi(argv[++i]);
        else if (arg == "--init-delay" && hasValue)
            initDelayMs = atoi(argv[++i]);
        else if (arg == "--ignore-term")
            ignoreTerm = true;
        else if (arg == "--on-int")
            signal(SIGINT, onInt);
        else if (arg == "--exit")
            exitNow = true;
        else
            return 2;
    }
    if (ignoreTerm) {
        struct sigaction sa {};
        sa.sa_handler = onTerm;
        sigaction(SIGTERM, &sa, nullptr);
    }
    record("start");
    if (fdsFile) writeFds(fdsFile);
    if (exitNow) return 0;
    if (port > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(initDelayMs));
        serve(port);
    }
    for (;;) pause();
}
