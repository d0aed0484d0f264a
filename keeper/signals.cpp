#include "keeper/signals.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "keeper/keeper_srv.h"
#include "support/appliance.h"
#include "support/ev_debug.h"

namespace {

const int kMaxFrames = 200;

void handle_sigchld(int sig) {
    if (sig == SIGCHLD && stcKeeper) stcKeeper->handle_sigchld();
}

// The shutdown touches everything the loop touches, so it runs there.
void handle_sigterm(int sig) {
    if (sig == SIGTERM && stcKeeper) stcKeeper->request_sigterm();
}

// Caught rather than ignored: a caught signal returns to its default action
// in every program or script the daemon starts, an ignored one would not.
void handle_sigpipe(int) {}

void handle_sigsegv(int sig) {
    if (sig != SIGSEGV && sig != SIGFPE) return;
    EV_TRACE(DL_NOTIFY, "Terminate: Raising signal %d !!!", sig);
    shutdown();
    signal(sig, SIG_DFL);
    mkdir(APP_BT_DIR, 0777);
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    int fd = open(bt_file_name(local).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        void* frames[kMaxFrames];
        int count = backtrace(frames, kMaxFrames);
        // The daemon exports no symbols: its own frames read as offsets in
        // its file, "vardo(+0x1f2e3)", for addr2line; library frames keep
        // their names.
        backtrace_symbols_fd(frames, count, fd);
        close(fd);
    }
    raise(sig);
}

void install(int sig, void (*handler)(int), int flags) {
    struct sigaction action;
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(sig, &action, nullptr);
}

}  // namespace

void shutdown() {}

std::string bt_file_name(const struct tm& when) {
    char name[128];
    snprintf(name, sizeof name, "%s_%d.%d.%d.%d.%d", APP_BT_FILE_BASE, when.tm_year + 1900,
             when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min);
    return name;
}

void SetSignalHandlers() {
    install(SIGCHLD, handle_sigchld, SA_NOCLDSTOP | SA_RESTART | SA_NODEFER);
    install(SIGSEGV, handle_sigsegv, SA_RESETHAND);
    install(SIGFPE, handle_sigsegv, SA_RESETHAND);
    install(SIGTERM, handle_sigterm, SA_RESTART | SA_RESETHAND);
    // A client that goes away while we write to it must not take the
    // supervisor down; the failed write closes just that connection.
    install(SIGPIPE, handle_sigpipe, SA_RESTART);
}
