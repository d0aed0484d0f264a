// Which children exited, learnt without the kernel walking all of them.
//
// waitpid(-1, WNOHANG) walks the daemon's whole list of children to find
// the one that exited, and again to learn that none is left: with thousands
// of programs that walk is most of what an exit costs. Each child the daemon
// starts gets a pidfd instead, in one epoll set that the loop watches like
// any socket; a readable pidfd is reaped with waitid on that descriptor,
// which costs the same with one child or ten thousand.
//
// The full wait stays as the safety net on SIGCHLD, and runs only when a
// child may exist that no pidfd speaks for: one whose pidfd could not be
// opened (no kernel support, out of descriptors), any child at all when the
// daemon adopts orphans (it runs as PID 1 or as a child subreaper), or a
// SIGCHLD that names a child the watch does not know (a child the daemon
// inherited, or one started without being watched).
//
// Each SIGCHLD names its child, and may reach the loop before the child's
// pidfd reports the exit or after the child was reaped through it: a named
// child still watched is reaped at once, and one reaped a moment ago is
// known, so neither costs the full wait, a walk through every child.
#ifndef KEEPER_CHILD_WATCH_H
#define KEEPER_CHILD_WATCH_H

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "reactor/ev_handler.h"

class EvEngine;

class ChildWatch : public EvHandler {
public:
    // Gets every reaped child once, with its wait status, on the loop.
    using Reaped = std::function<void(pid_t pid, int status)>;
    // Opens a pidfd for the child, or answers -1 with errno set.
    using PidfdOpener = int (*)(pid_t pid);

    explicit ChildWatch(Reaped reaped, PidfdOpener opener = open_pidfd);
    ~ChildWatch() override;
    ChildWatch(const ChildWatch&) = delete;
    ChildWatch& operator=(const ChildWatch&) = delete;

    // Watches the pidfds on the engine. Without it (or when it fails) every
    // child is left to the full wait. 0, or -1 when no epoll set was made.
    int init(EvEngine* engine);
    // A child just started: its exit will be reaped through its pidfd when
    // one can be opened, else by the full wait. The child may have exited
    // already, but it must not have been reaped.
    void watch(pid_t pid);
    // A SIGCHLD reached the loop: reaps the exited watched children, then
    // the rest with the full wait when some child may have no pidfd.
    void sigchld_arrived();
    // Async-signal-safe: the SIGCHLD handler passes on the child it names
    // (signals that arrive together name one child of theirs only).
    void signalled(pid_t pid);

    // The epoll set is readable: reaps every watched child that exited.
    int handleInput(EvAdapter* sock) override;
    int handleClose(EvAdapter* sock) override;

    static int open_pidfd(pid_t pid);

private:
    void reap_watched();
    void reap_one(pid_t pid);
    // False when a signal named a child the watch does not know, or more
    // signals came than it keeps names of.
    bool reap_signalled();
    bool known(pid_t pid) const;
    void deliver(pid_t pid, int status);
    void reap_all();
    // The child is gone: its pidfd (if any) is closed.
    void forget(pid_t pid);

    Reaped reaped;
    PidfdOpener opener;
    EvEngine* engine = nullptr;
    EvAdapter* sock = nullptr;
    int epoll_fd = -1;
    bool adopts_orphans = false;
    std::unordered_map<pid_t, int> pidfds;
    // Children started without a pidfd, reaped only by the full wait.
    std::unordered_set<pid_t> unwatched;
    // The children named by the signals since the loop last took them, and
    // how many signals came.
    static constexpr unsigned kSignalled = 16;
    std::atomic<pid_t> signalled_pids[kSignalled] = {};
    std::atomic<unsigned> signalled_count{0};
    // The last children reaped here, whose signals may still be on the way.
    pid_t recent[kSignalled] = {};
    unsigned recent_next = 0;
};

#endif
