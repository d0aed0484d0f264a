// Helpers for the unit and end-to-end tests: a private temporary folder,
// a working-folder guard, small file reads and writes, and a way out of a
// FIFO that would hold a test.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/file_utils.h"

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string templ =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vardo-support-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr) dir = buf.data();
    }
    ~TempDir() {
        if (!dir.empty()) delDir(dir.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Runs a test body inside another working folder and returns afterwards.
class CwdGuard {
public:
    explicit CwdGuard(const std::string& dir) {
        char* cwd = getcwd(nullptr, 0);
        if (cwd != nullptr) old = cwd;
        std::free(cwd);
        if (chdir(dir.c_str()) != 0) old.clear();
    }
    ~CwdGuard() {
        if (!old.empty() && chdir(old.c_str()) != 0) std::abort();
    }
    CwdGuard(const CwdGuard&) = delete;
    CwdGuard& operator=(const CwdGuard&) = delete;

private:
    std::string old;
};

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Opens a FIFO for both reading and writing once `seconds` have passed,
// which Linux allows without waiting, should a reader or a writer still wait
// in open() then: a test of code that must not wait on a FIFO fails on its
// clock instead of hanging.
class FifoRescue {
public:
    FifoRescue(const std::string& path, int seconds)
        : worker([this, path, seconds] {
              std::unique_lock<std::mutex> lock(mutex);
              if (wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return done; }))
                  return;
              const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
              if (fd >= 0) close(fd);
          }) {}
    ~FifoRescue() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        wake.notify_one();
        worker.join();
    }
    FifoRescue(const FifoRescue&) = delete;
    FifoRescue& operator=(const FifoRescue&) = delete;

private:
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::thread worker;  // last: it starts once the members above exist
};
