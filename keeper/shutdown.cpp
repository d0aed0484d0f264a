// The staged stop on SIGTERM or a shutdown command: the bypass command,
// a quit request to every process, SIGKILL to what is left, then the end of
// the loop or the host's shutdown.
#include <csignal>

#include "keeper/keeper_srv.h"
#include "reactor/ev_engine.h"
#include "reactor/ev_notifier.h"
#include "support/ev_debug.h"

namespace {

// The bypass command of a stop carries a technique outside the named ones:
// no handler acts on it, it only leaves its trace.
constexpr uint32_t kStopBypassTechnique = 32;

}  // namespace

void KeeperSrv::handle_sigterm(KeeperCommand* cmd) {
    EV_TRACE(DL_NOTIFY, "Handling SIGTERM");
    stop_predefined_checks();
    shutdown(cmd);
}

int KeeperSrv::shutdown(void* arg) {
    KeeperCommand* cmd = static_cast<KeeperCommand*>(arg);
    if (!cmd) {
        EV_TRACE(DL_ERROR, "KeeperSrv::shutdown, no token");
        return 2;
    }
    EV_TRACE(DL_TRACE, "KeeperSrv::shutdown, command:%s", keeperCommandStr(cmd));
    if (cmd->technique == SHUTDOWN_DELAY && cmd->timer > 0) {
        long delay = cmd->timer;
        cmd->technique = SHUTDOWN_STOP;
        cmd->timer = shutdown_delays.stop_grace;
        engine->addTimer(delay, this, &KeeperSrv::shutdown, cmd, -1);
        return 0;
    }
    if (!shutting_down) EV_TRACE(DL_NOTIFY, "KeeperSrv::shutdown, no task is started any more");
    shutting_down = true;
    GeneralMsg bypass(KEEPER_COMMAND);
    bypass.payload.command = KeeperCommand{COMMAND_BYPASS, kStopBypassTechnique, 0};
    process_command(bypass);
    if (!processes.all_closed() && cmd->timer > 0 && cmd->technique == SHUTDOWN_STOP) {
        processes.stop_all();
        runner.stop_all(SIGTERM);
        long delay = cmd->timer;
        cmd->technique = SHUTDOWN_KILL;
        cmd->timer = 0;
        engine->addTimer(delay, this, &KeeperSrv::shutdown, cmd, -1);
        return 0;
    }
    CommandType command = static_cast<CommandType>(cmd->type);
    delete cmd;
    processes.kill_all(SIGKILL);
    runner.stop_all(SIGKILL);
    if (command == COMMAND_SHUTDOWN || command == COMMAND_REBOOT) {
        linux_shutdown(command);
    } else {
        engine->requestStop();
        engine->notifier().notify();
    }
    return 0;
}
