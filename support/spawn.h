// Starting a supervised program without copying the daemon.
//
// fork() copies the page tables of the whole daemon, and the child then
// throws them away at exec: with thousands of tasks that copy is most of
// the cost of a restart. The child here shares the daemon's memory and the
// daemon waits, suspended, until the child has executed the program or
// given up (clone with CLONE_VM | CLONE_VFORK, as posix_spawn does). The
// child therefore only makes system calls: whatever needs the user
// database or the trace is done by the caller, before or after.
#ifndef SUPPORT_SPAWN_H
#define SUPPORT_SPAWN_H

#include <sys/types.h>

#include <csignal>
#include <vector>

// What the child does between its creation and the program, in this order.
struct SpawnPlan {
    const char* file = nullptr;  // looked up in PATH like execvp
    char* const* argv = nullptr;
    int nice_value = 0;       // 0: priority unchanged
    bool change_ids = false;  // take the groups, gid and uid below
    bool ids_known = true;    // false: the user does not exist, give up
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups, gid included
    // Descriptors that become the child's 0, 1 and 2; -1 keeps the daemon's.
    int stdio[3] = {-1, -1, -1};
    // false: the caller goes on at once, its memory copied for the child
    // (cheap for a small process), and a failed step shows only as the
    // child's exit status 127. An exec that hangs then holds only the child.
    bool wait_for_exec = true;
};

// Where the child gave up; it then exited with status 1, and that exit is
// reaped like any other.
enum class SpawnStep { None, ProcessGroup, Ids, Exec };

struct SpawnResult {
    pid_t pid = -1;  // -1: no child (errno in `error`)
    SpawnStep failed = SpawnStep::None;
    int error = 0;       // errno of the failed step (0: unknown user)
    int nice_error = 0;  // the priority change failed, the start went on
};

// The child leads its own process group, takes the plan's priority and ids,
// keeps descriptors 0 to 2 only, and runs with the signal mask `child_mask`
// and every caught signal back at its default. The caller blocks whatever
// its handlers must not see before the pid is known; all signals stay
// blocked for the caller during the call. A child that the caller waits for
// puts the plan's 0 to 2 into the caller's own descriptor table, which gets
// its own back before the call returns: no other thread may use them
// meanwhile.
SpawnResult Com_spawn(const SpawnPlan& plan, const sigset_t& child_mask);

// Raises this process's soft open-file limit to its hard limit, for a
// daemon that holds many descriptors; the programs Com_spawn starts get the
// soft limit back as it was, which a program built on select() relies on.
// Returns 0, or the errno of the failed call.
int Com_raiseFileLimit();

// The supplementary groups of `user` with `gid` added, as initgroups would
// set them.
std::vector<gid_t> Com_groupsOf(const char* user, gid_t gid);

#endif
