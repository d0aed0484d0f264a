// Child exits and the termination request, carried out of the signal
// handlers into the loop, and what the keeper does with them there.
#include "keeper/child_notifier.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "keeper/config_reload.h"
#include "keeper/keeper_srv.h"
#include "keeper/ps_task.h"
#include "reactor/ev_engine.h"
#include "support/ev_debug.h"

SigChildNotifier::~SigChildNotifier() {
    if (readAdapter) close(engine->evDetach(readAdapter));
    if (writeSock >= 0) close(writeSock);
}

int SigChildNotifier::handleClose(EvAdapter*) {
    readAdapter = nullptr;
    return 0;
}

int SigChildNotifier::init(EvEngine* e, KeeperSrv* k) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        EV_TRACE(DL_ERROR, "SigChildNotifier::init, socketpair error (%s)", strerror(errno));
        return -1;
    }
    // A full pair must never block a signal handler.
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    writeSock = fds[1];
    readSock = fds[0];
    EV_TRACE(DL_DEBUG, "SigChildNotifier::init, writeSock %d, readSock %d", writeSock, readSock);
    engine = e;
    readAdapter = engine->registerSocket(readSock, this, true, 0);
    keeper = k;
    return 0;
}

void SigChildNotifier::wake() {
    if (writeSock < 0) return;
    const int saved = errno;
    const char byte = 0;
    // A full pair already holds a wake-up; the failed write loses nothing.
    if (write(writeSock, &byte, 1) < 0) {
    }
    errno = saved;
}

void SigChildNotifier::request_termination() {
    termination_requested = 1;
    wake();
}

int SigChildNotifier::handleInput(EvAdapter* sock) {
    unsigned char scrap[256];
    for (int left = sock->peek(nullptr, 0); left > 0;) {
        const int n = sock->read(scrap, std::min(left, static_cast<int>(sizeof scrap)));
        if (n <= 0) break;
        left -= n;
    }
    if (!keeper) return 0;
    if (termination_requested) {
        termination_requested = 0;
        keeper->handle_sigterm(new KeeperCommand{COMMAND_QUIT, SHUTDOWN_STOP,
                                                 keeper->get_shutdown_delays().stop_grace});
    }
    keeper->reap_children();
    if (reload_requested) {
        reload_requested = 0;
        keeper->reload_on_signal();
    }
    return 0;
}

void SigChildNotifier::request_reload() {
    reload_requested = 1;
    wake();
}

void KeeperSrv::reap_children() { children.sigchld_arrived(); }

void KeeperSrv::child_reaped(pid_t pid, int status) {
    if (!runner.child_exited(pid, status)) handleExitedChildPs(pid, status);
}

void KeeperSrv::handle_sigchld(pid_t pid) {
    if (pid > 0) children.signalled(pid);
    child_notifier.wake();
}

void KeeperSrv::request_sigterm() { child_notifier.request_termination(); }

void KeeperSrv::request_reload() { child_notifier.request_reload(); }

void KeeperSrv::handleExitedChildPs(int pid, int status) {
    EV_TRACE(DL_DEBUG, "KeeperSrv::handleExitedChildPs, child pid %d", pid);
    PsTask* task = processes.find_ps_by_pid(pid);
    if (!task) return;
    task->get_counters().exit_status(status);
    task->handle_sigchld();
    if (reloader) reloader->task_exited(task);
}

void KeeperSrv::handle_client_close(ClientHandler* handler) {
    if (!handler) return;
    // One connection may have announced itself for more than one task.
    for (PsTask* task : processes.get_tasks())
        if (task->get_client() == handler) task->handle_client_close();
}
