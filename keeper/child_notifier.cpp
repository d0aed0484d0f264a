// Child exits and the termination request, carried out of the signal
// handlers into the loop, and what the keeper does with them there.
#include "keeper/child_notifier.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

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

void SigChildNotifier::notify(int pid) {
    if (writeSock <= 0) return;
    int saved = errno;
    if (write(writeSock, &pid, sizeof pid) != sizeof pid)
        EV_TRACE(DL_USER1, "SigChildNotifier::notify, failed to write pid %d, writeSock %d", pid,
                 writeSock);
    errno = saved;
}

int SigChildNotifier::handleInput(EvAdapter* sock) {
    int pid = -1;
    if (sock->read(reinterpret_cast<unsigned char*>(&pid), sizeof pid) != sizeof pid || !keeper) {
        EV_TRACE(DL_ERROR, "SigChildNotifier::handleInput, failed to read pid, stream %d",
                 sock->getHandle());
        return -1;
    }
    if (pid == kSigtermUnit)
        keeper->handle_sigterm(new KeeperCommand{COMMAND_QUIT, SHUTDOWN_STOP, 5});
    else
        keeper->handleExitedChildPs(pid);
    return 0;
}

void KeeperSrv::handle_sigchld() {
    // Runs in the signal handler: the code it interrupted must find errno as
    // it left it (the last waitpid ends with ECHILD or leaves it changed).
    int saved = errno;
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) >= 1) child_notifier.notify(pid);
    errno = saved;
}

void KeeperSrv::request_sigterm() { child_notifier.notify(SigChildNotifier::kSigtermUnit); }

void KeeperSrv::handleExitedChildPs(int pid) {
    EV_TRACE(DL_DEBUG, "KeeperSrv::handleExitedChildPs, child pid %d", pid);
    PsTask* task = processes.find_ps_by_pid(pid);
    if (task) task->handle_sigchld();
}

void KeeperSrv::handle_client_close(ClientHandler* handler) {
    if (!handler) return;
    // One connection may have announced itself for more than one task.
    for (PsTask* task : processes.get_tasks())
        if (task->get_client() == handler) task->handle_client_close();
}
