#include "keeper/signals.h"

#include <csignal>

#include "keeper/crash_report.h"
#include "keeper/keeper_srv.h"
#include "support/appliance.h"

namespace {

void handle_sigchld(int sig, siginfo_t* info, void*) {
    if (sig == SIGCHLD && stcKeeper) stcKeeper->handle_sigchld(info ? info->si_pid : 0);
}

// The shutdown touches everything the loop touches, so it runs there.
void handle_sigterm(int sig) {
    if (sig == SIGTERM && stcKeeper) stcKeeper->request_sigterm();
}

// A reload stops and starts programs: the loop does it.
void handle_sighup(int sig) {
    if (sig == SIGHUP && stcKeeper) stcKeeper->request_reload();
}

// Caught rather than ignored: a caught signal returns to its default action
// in every program or script the daemon starts, an ignored one would not.
void handle_sigpipe(int) {}

// Only calls that are safe in a signal handler: see crash_report.h.
void handle_sigsegv(int sig) {
    if (sig != SIGSEGV && sig != SIGFPE) return;
    crash_report_notice(sig);
    shutdown();
    signal(sig, SIG_DFL);
    crash_report_write();
    raise(sig);
}

void install(int sig, struct sigaction action, int flags) {
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(sig, &action, nullptr);
}

void install(int sig, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    install(sig, action, flags);
}

// The handler learns which child the signal is about.
void install(int sig, void (*handler)(int, siginfo_t*, void*), int flags) {
    struct sigaction action = {};
    action.sa_sigaction = handler;
    install(sig, action, flags | SA_SIGINFO);
}

}  // namespace

void shutdown() {}

void SetCrashHandler(const char* folder) {
    crash_report_prepare(folder);
    install(SIGSEGV, handle_sigsegv, SA_RESETHAND);
    install(SIGFPE, handle_sigsegv, SA_RESETHAND);
}

void SetSignalHandlers() {
    install(SIGCHLD, handle_sigchld, SA_NOCLDSTOP | SA_RESTART | SA_NODEFER);
    SetCrashHandler(APP_BT_DIR);
    install(SIGTERM, handle_sigterm, SA_RESTART | SA_RESETHAND);
    install(SIGHUP, handle_sighup, SA_RESTART);
    // A client that goes away while we write to it must not take the
    // supervisor down; the failed write closes just that connection.
    install(SIGPIPE, handle_sigpipe, SA_RESTART);
}
