// A program on a peer machine that connects to this daemon: nothing is
// forked; its init message stands for the start and the loss of its
// connection for the exit.
#ifndef KEEPER_PS_REMOTE_TASK_H
#define KEEPER_PS_REMOTE_TASK_H

#include <cstdint>
#include <string>

#include "keeper/ps_task.h"

class PsRemoteTask : public PsTask {
public:
    PsRemoteTask(TaskHost* keeper, TimerHandler* timers);

    using PsTask::run;
    keeperStatus run() override;
    keeperStatus restart() override;
    keeperStatus handle_up_msg(ClientHandler* handler) override;
    keeperStatus handle_init_msg(ClientHandler* handler, int pid, unsigned start_time) override;
    void handle_client_close() override;

    void set_target_params(ClientHandler* handler, unsigned start_time);

    uint32_t get_boot_time() const { return boot_time; }
    const std::string& get_peer_ip() const { return peer_ip; }

private:
    uint32_t boot_time;
    std::string peer_ip;
};

#endif
