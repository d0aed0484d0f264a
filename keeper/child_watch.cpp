#include "keeper/child_watch.h"

#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "reactor/ev_engine.h"
#include "support/ev_debug.h"

namespace {

// Ready pidfds taken from the set per call.
constexpr int kReadyBatch = 64;

// The status waitpid would have given for the same exit.
int wait_status(const siginfo_t& info) {
    switch (info.si_code) {
        case CLD_EXITED:
            return (info.si_status & 0xff) << 8;
        case CLD_DUMPED:
            return (info.si_status & 0x7f) | 0x80;
        default:
            return info.si_status & 0x7f;
    }
}

// Orphans are handed to PID 1 of the namespace or to the nearest subreaper:
// such a daemon has children it never started.
bool adopts_orphans() {
    int subreaper = 0;
    return getpid() == 1 || (prctl(PR_GET_CHILD_SUBREAPER, &subreaper) == 0 && subreaper != 0);
}

}  // namespace

ChildWatch::ChildWatch(Reaped r, PidfdOpener o) : reaped(std::move(r)), opener(o) {}

ChildWatch::~ChildWatch() {
    if (sock) close(engine->evDetach(sock));
    for (const auto& entry : pidfds) close(entry.second);
}

// The engine closed the set: the children it watched are left to the full
// wait.
int ChildWatch::handleClose(EvAdapter*) {
    sock = nullptr;
    epoll_fd = -1;
    for (const auto& entry : pidfds) {
        close(entry.second);
        unwatched.insert(entry.first);
    }
    pidfds.clear();
    return 0;
}

int ChildWatch::open_pidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int ChildWatch::init(EvEngine* e) {
    adopts_orphans = ::adopts_orphans();
    const int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) {
        EV_TRACE(DL_ERROR, "ChildWatch::init, no epoll set (%s): children reaped by full waits",
                 strerror(errno));
        return -1;
    }
    engine = e;
    sock = engine->registerSocket(fd, this, false, EV_RAW_READ);
    epoll_fd = fd;
    return 0;
}

void ChildWatch::watch(pid_t pid) {
    if (epoll_fd >= 0) {
        const int fd = opener(pid);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = static_cast<uint64_t>(pid);
        if (fd >= 0 && epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0) {
            pidfds[pid] = fd;
            return;
        }
        EV_TRACE(DL_DEBUG, "ChildWatch::watch, pid %d left to the full wait (%s)", pid,
                 strerror(errno));
        if (fd >= 0) close(fd);
    }
    unwatched.insert(pid);
}

int ChildWatch::handleInput(EvAdapter*) {
    reap_watched();
    return 0;
}

void ChildWatch::sigchld_arrived() {
    reap_watched();
    const bool all_known = reap_signalled();
    if (!all_known || !unwatched.empty() || adopts_orphans) reap_all();
}

void ChildWatch::reap_watched() {
    if (epoll_fd < 0) return;
    epoll_event ready[kReadyBatch];
    int n;
    do {
        n = epoll_wait(epoll_fd, ready, kReadyBatch, 0);
        for (int i = 0; i < n; ++i) reap_one(static_cast<pid_t>(ready[i].data.u64));
    } while (n == kReadyBatch);
}

void ChildWatch::reap_one(pid_t pid) {
    auto found = pidfds.find(pid);
    // Reaped by the full wait since the set reported it.
    if (found == pidfds.end()) return;
    siginfo_t info{};
    const int result = waitid(P_PIDFD, static_cast<id_t>(found->second), &info, WEXITED | WNOHANG);
    if (result != 0 && errno == ECHILD) {
        // Someone else has waited for it: nothing is left to report.
        forget(pid);
        return;
    }
    if (result != 0 || info.si_pid == 0) {
        // A readable pidfd that has no exit to give would keep the loop
        // spinning: the full wait takes over that child.
        EV_TRACE(DL_WARNING, "ChildWatch, pid %d not reaped through its pidfd (%s)", pid,
                 result != 0 ? strerror(errno) : "no exit");
        forget(pid);
        unwatched.insert(pid);
        return;
    }
    deliver(pid, wait_status(info));
}

void ChildWatch::deliver(pid_t pid, int status) {
    forget(pid);
    recent[recent_next] = pid;
    recent_next = (recent_next + 1) % kSignalled;
    reaped(pid, status);
}

void ChildWatch::signalled(pid_t pid) {
    const unsigned at = signalled_count.fetch_add(1);
    if (at < kSignalled) signalled_pids[at].store(pid);
}

bool ChildWatch::reap_signalled() {
    // A handler run between taking the count and reading the pids would
    // write over one not read yet.
    sigset_t child, previous;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, &previous);
    const unsigned count = signalled_count.exchange(0);
    const unsigned n = std::min(count, kSignalled);
    pid_t pids[kSignalled];
    for (unsigned i = 0; i < n; ++i) pids[i] = signalled_pids[i].load();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    bool all_known = count <= kSignalled;
    for (unsigned i = 0; i < n; ++i) {
        if (!known(pids[i])) all_known = false;
        // A watched child not reaped yet: its pid is still its own.
        if (pidfds.count(pids[i]) == 0) continue;
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pids[i]), &info, WEXITED | WNOHANG) == 0 &&
            info.si_pid == pids[i])
            deliver(pids[i], wait_status(info));
    }
    return all_known;
}

bool ChildWatch::known(pid_t pid) const {
    return pidfds.count(pid) != 0 ||
           std::find(recent, recent + kSignalled, pid) != recent + kSignalled;
}

void ChildWatch::reap_all() {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) deliver(pid, status);
}

void ChildWatch::forget(pid_t pid) {
    unwatched.erase(pid);
    auto found = pidfds.find(pid);
    if (found == pidfds.end()) return;
    close(found->second);
    pidfds.erase(found);
}
