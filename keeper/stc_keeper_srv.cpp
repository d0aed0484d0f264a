#include "keeper/stc_keeper_srv.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keeper/check_base.h"
#include "keeper/ini_keeper.h"
#include "keeper/ps_task.h"
#include "keeper/script_job.h"
#include "support/appliance.h"
#include "support/ev_debug.h"

void stcKeeperSrv::prerun_actions() {
    // The first list seen must be one written after the daemon started.
    unlink(APP_FUPS_LIST);
    KeeperSrv::prerun_actions();
}

void stcKeeperSrv::handle_seq_end() { default_fup = processes.find_ps_by_name("FUP_def"); }

void stcKeeperSrv::create_iniparser(const char* path) {
    delete ini;
    stc_ini = new iniKeeper_stc(path, this, timer_handler);
    ini = stc_ini;
}

void stcKeeperSrv::linux_shutdown(CommandType command) {
    if (command != COMMAND_SHUTDOWN && command != COMMAND_REBOOT) return;
    char line[64];
    snprintf(line, sizeof line, CMD_SHUTDOWN_FMT, command == COMMAND_SHUTDOWN ? "-h" : "-r");
    EV_TRACE(DL_NOTIFY, "stcKeeperSrv::linux_shutdown, run command:%s", line);
    run_own({APP_SHUTDOWN, command == COMMAND_SHUTDOWN ? "-h" : "-r", "now"});
}

void stcKeeperSrv::run_own(std::vector<std::string> argv) {
    const std::string program = argv.front();
    if (runner.start(tracedJob(std::move(argv))) < 0)
        EV_TRACE(DL_ERROR, "stcKeeperSrv, cannot run %s", program.c_str());
}

keeperStatus stcKeeperSrv::process_command(GeneralMsg& msg) {
    const KeeperCommand& cmd = msg.payload.command;
    EV_TRACE(DL_DEBUG, "stcKeeperSrv::process_command %s", keeperCommandStr(&cmd));
    if (cmd.type == COMMAND_SHUTDOWN || cmd.type == COMMAND_REBOOT) {
        shutdown(new KeeperCommand(cmd));
    } else if (cmd.type == COMMAND_CREATE_SNAPSHOT) {
        // Not waited for by anyone, but reaped, and stopped at its deadline.
        run_own({APP_SNAPSHOT_SCRIPT});
    }
    return KEEPER_OK;
}

keeperStatus stcKeeperSrv::set_dev_mode(const char* mode) {
    DevModeSelection chosen;
    if (!stc_ini || stc_ini->set_dev_mode(mode, &chosen) != KEEPER_OK) return KEEPER_FAIL;
    for (const DevModeSelection::Task& task : chosen.tasks)
        if (set_task_mode(task.exec.c_str(), task.args.c_str(), true) != KEEPER_OK)
            EV_TRACE(DL_DEBUG, "stcKeeperSrv::set_dev_mode, no process %s %s", task.exec.c_str(),
                     task.args.c_str());
    for (const std::string& check : chosen.checks)
        EV_TRACE(DL_DEBUG, "stcKeeperSrv::set_dev_mode, check %s enabled from the next start",
                 check.c_str());
    return KEEPER_OK;
}

const char* stcKeeperSrv::get_dev_mode() const { return stc_ini ? stc_ini->get_dev_mode() : ""; }

keeperStatus stcKeeperSrv::set_task_mode(const char* exec_name, const char* task_args, bool on) {
    for (PsTask* task : processes.get_tasks()) {
        if (strcmp(task->get_exec(), exec_name) == 0 && strcmp(task->get_args(), task_args) == 0) {
            task->set_permanent_mode(on, false);
            return KEEPER_OK;
        }
    }
    return KEEPER_FAIL;
}

keeperStatus stcKeeperSrv::set_check_mode(const char* name, const char* check_args, bool on) {
    for (auto& entry : check_levels) {
        CheckBase* check = entry.second->get_check_args(name, check_args);
        if (check) {
            check->set_permanent_mode(on, true);
            return KEEPER_OK;
        }
    }
    return KEEPER_FAIL;
}
