#include "support/spawn.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "support/proc_utils.h"

namespace {

// On 32-bit x86 the plain calls take 16-bit ids.
#ifdef SYS_setuid32
const long kSetGroups = SYS_setgroups32, kSetGid = SYS_setgid32, kSetUid = SYS_setuid32;
#else
const long kSetGroups = SYS_setgroups, kSetGid = SYS_setgid, kSetUid = SYS_setuid;
#endif

struct Job {
    const SpawnPlan* plan;
    const sigset_t* mask;
    // The child starts on the caller's own descriptor table (CLONE_FILES).
    bool shares_files;
    volatile SpawnStep failed;
    volatile int error;
    volatile int nice_error;
};

// The soft open-file limit the daemon had before it raised its own.
rlimit inherited_files;
bool files_raised = false;

// One stack for every child: the daemon is suspended while a child runs on
// it, so no two children use it at once. execvp keeps its PATH buffer and,
// for a script, a copy of argv on it.
alignas(16) char child_stack[64 * 1024];

// The address sanitizer mistakes a child running on that stack for a
// corrupted one: the child's own code stays out of its sight.
#define CHILD_SIDE __attribute__((no_sanitize_address))

[[noreturn]] CHILD_SIDE void give_up(Job* job, SpawnStep step, int error) {
    job->failed = step;
    job->error = error;
    // A caller that did not wait sees only this status: the shell's for a
    // program it could not run.
    _exit(job->plan->wait_for_exec ? 1 : 127);
}

// A signal between here and exec must not run the daemon's handlers in the
// child: they would act on the daemon's memory, which the child shares.
CHILD_SIDE void default_caught_signals() {
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) != 0) continue;
        if (old.sa_handler == SIG_DFL || old.sa_handler == SIG_IGN) continue;
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        sigaction(sig, &dfl, nullptr);
    }
}

// Identity changes go straight to the kernel: the C library's versions
// would coordinate with threads the child does not have.
CHILD_SIDE bool take_ids(const SpawnPlan& plan) {
    return syscall(kSetGroups, plan.groups.size(), plan.groups.data()) == 0 &&
           syscall(kSetGid, plan.gid) == 0 && syscall(kSetUid, plan.uid) == 0;
}

// The child's table keeps 0 to 2 only. One shared with the caller becomes
// its own with nothing else copied; a kernel before 5.9 copies it whole.
CHILD_SIDE void leave_caller_table(Job* job) {
    if (job->shares_files && close_range(3, ~0U, CLOSE_RANGE_UNSHARE) == 0) return;
    if (job->shares_files && unshare(CLONE_FILES) != 0) give_up(job, SpawnStep::Exec, errno);
    Com_closeFrom(3);
}

CHILD_SIDE int child_main(void* arg) {
    Job* job = static_cast<Job*>(arg);
    const SpawnPlan& plan = *job->plan;
    default_caught_signals();
    sigprocmask(SIG_SETMASK, job->mask, nullptr);
    // Its own group: a signal to the daemon's group (Ctrl-C on its
    // terminal, a group kill) must not reach the program.
    if (setpgid(0, 0) != 0) give_up(job, SpawnStep::ProcessGroup, errno);
    // Still privileged here, so a raised priority works for any user too.
    if (plan.nice_value != 0) {
        errno = 0;
        if (nice(plan.nice_value) == -1 && errno != 0) job->nice_error = errno;
    }
    if (plan.change_ids) {
        if (!plan.ids_known) give_up(job, SpawnStep::Ids, 0);
        if (!take_ids(plan)) give_up(job, SpawnStep::Ids, errno);
    }
    for (int fd = 0; fd < 3; ++fd)
        if (plan.stdio[fd] >= 0 && plan.stdio[fd] != fd) dup2(plan.stdio[fd], fd);
    leave_caller_table(job);
    if (files_raised) setrlimit(RLIMIT_NOFILE, &inherited_files);
    execvp(plan.file, plan.argv);
    give_up(job, SpawnStep::Exec, errno);
}

// The caller's own 0, 1 and 2, kept aside while a child that shares its
// descriptor table puts the plan's there.
struct StandardSaved {
    int fd[3] = {-1, -1, -1};
    bool replaced[3] = {false, false, false};
};

void restore_standard(const StandardSaved& saved) {
    for (int fd = 0; fd < 3; ++fd) {
        if (!saved.replaced[fd]) continue;
        if (saved.fd[fd] < 0) {
            close(fd);
            continue;
        }
        dup2(saved.fd[fd], fd);
        close(saved.fd[fd]);
    }
}

bool save_standard(const SpawnPlan& plan, StandardSaved& saved) {
    for (int fd = 0; fd < 3; ++fd) {
        if (plan.stdio[fd] < 0 || plan.stdio[fd] == fd) continue;
        saved.fd[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (saved.fd[fd] < 0 && errno != EBADF) {
            restore_standard(saved);
            return false;
        }
        saved.replaced[fd] = true;
    }
    return true;
}

}  // namespace

// A child that shares the caller's memory and waits for nothing else also
// takes its descriptor table as it is instead of a copy: with thousands of
// descriptors open (a pidfd per child, output pipes) the copy and closing
// every entry again in the child would be most of the cost of a start.
SpawnResult Com_spawn(const SpawnPlan& plan, const sigset_t& child_mask) {
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    const int saved_errno = errno;
    StandardSaved standard;
    const bool shares_files = plan.wait_for_exec && save_standard(plan, standard);
    Job job{&plan, &child_mask, shares_files, SpawnStep::None, 0, 0};
    SpawnResult result;
    int sharing = plan.wait_for_exec ? CLONE_VM | CLONE_VFORK : 0;
    if (shares_files) sharing |= CLONE_FILES;
    result.pid = clone(child_main, child_stack + sizeof child_stack, sharing | SIGCHLD, &job);
    if (shares_files) restore_standard(standard);
    // Made from both sides: a signal to the group right after the call must
    // find it, before the child has run a step of its own.
    if (result.pid > 0 && !plan.wait_for_exec) setpgid(result.pid, result.pid);
    result.error = result.pid < 0 ? errno : job.error;
    result.failed = job.failed;
    result.nice_error = job.nice_error;
    errno = saved_errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

int Com_raiseFileLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return errno;
    if (limit.rlim_cur >= limit.rlim_max) return 0;
    const rlimit before = limit;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return errno;
    if (!files_raised) inherited_files = before;
    files_raised = true;
    return 0;
}

std::vector<gid_t> Com_groupsOf(const char* user, gid_t gid) {
    std::vector<gid_t> groups(16);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (getgrouplist(user, gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            return groups;
        }
        groups.resize(static_cast<size_t>(count) > groups.size() ? count : 2 * groups.size());
    }
}
