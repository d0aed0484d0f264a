#include "keeper/ps_remote_task.h"

#include "keeper/client_handler.h"
#include "keeper/task_host.h"
#include "keeper/timer_handler.h"
#include "reactor/ev_engine.h"
#include "support/ev_debug.h"

PsRemoteTask::PsRemoteTask(TaskHost* k, TimerHandler* timers) : PsTask(k, timers), boot_time(0) {
    remote = true;
    valid = true;
}

keeperStatus PsRemoteTask::run() {
    if (!enabled || !mode_allows_run()) return KEEPER_OK;
    // Allowed: the daemon waits for the peer to connect.
    if (run_allowed()) return KEEPER_OK;
    if (get_kill_request()) return KEEPER_FAIL;
    EV_TRACE(DL_TRACE, "Remote task is not allowed to run, activating action on failure");
    run_failure_action(this);
    return KEEPER_FAIL;
}

keeperStatus PsRemoteTask::restart() { return KEEPER_FAIL; }

keeperStatus PsRemoteTask::handle_init_msg(ClientHandler* handler, int, unsigned start_time) {
    EV_TRACE(DL_NOTIFY, "Got init confirmation from %s", name);
    set_target_params(handler, start_time);
    counters.started(uptime());
    status = 0;
    client = handler;
    arm_keep_alive();
    keeper->update_next_level(level);
    return KEEPER_OK;
}

void PsRemoteTask::set_target_params(ClientHandler* handler, unsigned start_time) {
    long wall =
        timer_handler ? static_cast<long>(timer_handler->get_engine()->getClock().wallTime()) : 0;
    boot_time = static_cast<uint32_t>(wall - static_cast<long>(start_time));
    std::string peer;
    if (handler && handler->get_socket()) EvEngine::getPeer(handler->get_socket(), peer);
    peer_ip = peer.substr(0, peer.find(':'));
    EV_TRACE(DL_NOTIFY,
             "PsRemoteTask::set_target_params, task [%s], start time %d, ip %s, boot time %d", name,
             static_cast<int>(start_time), peer_ip.c_str(), static_cast<int>(boot_time));
}

keeperStatus PsRemoteTask::handle_up_msg(ClientHandler* handler) {
    EV_TRACE(DL_NOTIFY, "Remote task %s is started", name);
    counters.started(uptime());
    status = 0;
    client = handler;
    keeper->update_next_level(level);
    return KEEPER_OK;
}

void PsRemoteTask::handle_client_close() {
    EV_TRACE(DL_NOTIFY, "Connection closed by %s(%d)", name, get_pid());
    client = nullptr;
    status = 1;
    // The lost connection is this task's exit: the exit handling applies to a
    // task that has a pid.
    set_pid(0);
    handle_sigchld();
}
