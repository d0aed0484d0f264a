// Shared pieces of the end-to-end tests of the client side: tasks that run
// the keeperClient test program, and vardoctl run against the daemon.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/e2e/vardo_fixture.h"

namespace e2e {

struct ToolRun {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string out;
    std::string err;
};

class ClientTest : public VardoTest {
protected:
    // A "ps" task running e2e_kc_prog with args; keep-alive stays off unless
    // extra turns it on.
    static std::string kcTask(const std::string& name, int level, const std::string& args,
                              const std::string& extra = "") {
        const std::string prog = E2E_KC_PROG_PATH;
        return "[tasks/" + name +
               "]\ntype = ps\nname = e2e_kc_prog\nlocation = " + prog.substr(0, prog.rfind('/')) +
               "\nargs = " + args + "\nlevel = " + std::to_string(level) + "\nkill timeout = 1\n" +
               (extra.find("kaEnable") == std::string::npos ? "kaEnable = no\n" : "") + extra +
               "\n";
    }
    static std::string generalWithIp() {
        return "[general]\nkeeper type = primary\nkeeper ip = 127.0.0.1\nkeeper port = ${PORT}\n\n";
    }

    // Runs vardoctl with args (shell words) on this test's home.
    ToolRun vardoctl(const std::string& args) const {
        const std::string errFile = home() + "/vardoctl.err";
        const std::string line =
            "VELTO_HOME='" + home() + "' " + E2E_VARDOCTL_PATH + " " + args + " 2>" + errFile;
        ToolRun run;
        FILE* pipe = popen(line.c_str(), "r");
        if (!pipe) return run;
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) run.out.append(buf, n);
        const int ws = pclose(pipe);
        run.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
        FILE* err = fopen(errFile.c_str(), "r");
        if (err) {
            for (size_t n; (n = fread(buf, 1, sizeof buf, err)) > 0;) run.err.append(buf, n);
            fclose(err);
        }
        // Its reports go to the namespace's report folder as well, which
        // TearDown looks at; this names the run that had them.
        if (run.status == kSanitizerExit || holdsSanitizerReport(run.err))
            ADD_FAILURE() << "vardoctl " << args << ": sanitizer finding (exit status "
                          << run.status << ")\n"
                          << run.err;
        return run;
    }

    // Record lines of kind what whose text starts with prefix.
    size_t countRecords(const std::string& name, const std::string& prefix) const {
        size_t n = 0;
        for (const Record& rec : records(name))
            if (rec.what.rfind(prefix, 0) == 0) ++n;
        return n;
    }
    bool waitCount(const std::string& name, const std::string& prefix, size_t n,
                   int timeoutMs = 5000) const {
        return waitFor([&] { return countRecords(name, prefix) >= n; }, timeoutMs);
    }
    // Waits until the program recorded its registrations (it is bound by then
    // once the daemon's trace confirms its init).
    bool waitReady(const std::string& task, const std::string& recordName,
                   int timeoutMs = 5000) const {
        return waitBound(task, recordName, timeoutMs) &&
               waitCount(recordName, "reg:", 2, timeoutMs);
    }

    // A peer in the daemon's place on port(): it accepts connections and
    // never answers. Its listening socket (the caller closes it), or -1.
    int silentPeer() const {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port()));
        const int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            listen(listener, 4) == 0)
            return listener;
        if (listener >= 0) close(listener);
        return -1;
    }
};

}  // namespace e2e
