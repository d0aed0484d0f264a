// The requests of the keeper's clients: one handler a message type, found
// through the table below.
#include <arpa/inet.h>

#include <cstdlib>
#include <map>

#include "keeper/callback_ps.h"
#include "keeper/check_base.h"
#include "keeper/client_handler.h"
#include "keeper/ini_keeper.h"
#include "keeper/keeper_srv.h"
#include "keeper/ps_task.h"
#include "keeper/tasks.h"
#include "protocol/wire_text.h"
#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/str_utils.h"

namespace {

// Hands a listing built by the caller to the message, which sends it.
keeperStatus take_listing(GeneralMsg& msg, keeperStatus rc, char* text, unsigned len) {
    if (rc == KEEPER_OK && text) msg.setListing(text, len);
    free(text);
    return rc;
}

// The handlers take the message, the connection, or both: these give them
// one shape for the table.
using Handler = keeperStatus (*)(KeeperSrv&, GeneralMsg&, ClientHandler*);

template <keeperStatus (KeeperSrv::*F)(GeneralMsg&)>
keeperStatus by_message(KeeperSrv& keeper, GeneralMsg& msg, ClientHandler*) {
    return (keeper.*F)(msg);
}

template <keeperStatus (KeeperSrv::*F)(GeneralMsg&, ClientHandler*)>
keeperStatus by_both(KeeperSrv& keeper, GeneralMsg& msg, ClientHandler* handler) {
    return (keeper.*F)(msg, handler);
}

template <keeperStatus (KeeperSrv::*F)(ClientHandler*)>
keeperStatus by_client(KeeperSrv& keeper, GeneralMsg&, ClientHandler* handler) {
    return (keeper.*F)(handler);
}

}  // namespace

// Types without an entry are ignored; every handler's status stays in the
// daemon (a reply, where there is one, travels in the message).
keeperStatus KeeperSrv::handleRequest(GeneralMsg& msg, ClientHandler* handler) {
    static const std::map<unsigned, Handler> table = {
        {KEEPER_SECONDARY_UP, by_both<&KeeperSrv::handle_secondary_up>},
        {KEEPER_INIT, by_both<&KeeperSrv::handle_init>},
        {KEEPER_REGISTER_CB, by_both<&KeeperSrv::register_cb>},
        {KEEPER_RUN_CB, by_message<&KeeperSrv::run_cb>},
        {KEEPER_PRINT_PS, by_message<&KeeperSrv::print_ps>},
        {KEEPER_PRINT_FLAGS, by_message<&KeeperSrv::list_flags>},
        {KEEPER_PRINT_CB, by_message<&KeeperSrv::print_cb>},
        {KEEPER_PRINT_STATUS, by_message<&KeeperSrv::print_status>},
        {KEEPER_CHECK_ALIVE, by_client<&KeeperSrv::check_alive_ack>},
        {KEEPER_REGISTER_EVENT, by_both<&KeeperSrv::register_event>},
        {KEEPER_NOTIFY_EVENT, by_message<&KeeperSrv::pass_event>},
        {KEEPER_SET_TASK, by_message<&KeeperSrv::set_task>},
        {KEEPER_SET_CHECK, by_message<&KeeperSrv::set_check>},
        {KEEPER_SET_FLAG, by_message<&KeeperSrv::set_flag_mode>},
        {KEEPER_ACTION_ON_PS, by_message<&KeeperSrv::action_on_ps>},
        {KEEPER_ACTION_ON_CHECK, by_message<&KeeperSrv::action_on_check>},
        {KEEPER_GET_CONFIG, by_both<&KeeperSrv::get_config>},
        {KEEPER_SET_CONFIG, by_message<&KeeperSrv::handle_config_req>},
        {KEEPER_COMMAND, by_both<&KeeperSrv::command_request>},
        {KEEPER_RELOAD, by_client<&KeeperSrv::reload_request>},
    };
    auto entry = table.find(msg.type());
    if (entry != table.end()) entry->second(*this, msg, handler);
    return KEEPER_OK;
}

keeperStatus KeeperSrv::get_config(GeneralMsg& msg, ClientHandler* handler) {
    if (msg.payload.config.cmd == CONFIG_KA_PERIOD) return _get_ka_config(msg, handler);
    return handle_config_req(msg);
}

keeperStatus KeeperSrv::command_request(GeneralMsg& msg, ClientHandler* handler) {
    PsTask* task = processes.find_ps_by_handler(handler);
    if (handler && task)
        EV_TRACE(DL_NOTIFY, "%s received from task %s", keeperCommandStr(&msg.payload.command),
                 task->get_name());
    return process_command(msg);
}

keeperStatus KeeperSrv::handle_secondary_up(GeneralMsg& msg, ClientHandler* handler) {
    char name[KEEPER_NAME_LEN];
    copyWireText(name, msg.payload.name);
    EV_TRACE(DL_TRACE, "KeeperSrv::handle_secondary_up of %s", name);
    PsTask* task = processes.find_ps_by_name(name);
    if (!task) return KEEPER_FAIL;
    keeperStatus rc = task->handle_up_msg(handler);
    // A peer announced this way is as confirmed as one that sent its init
    // message: a boot level waiting for it goes on.
    if (rc == KEEPER_OK) run_boot_sequence();
    return rc;
}

keeperStatus KeeperSrv::handle_init(GeneralMsg& msg, ClientHandler* handler) {
    unsigned keeper_type = msg.payload.init.keeperType;
    int pid = static_cast<int>(msg.payload.init.pid);
    char name[KEEPER_NAME_LEN];
    copyWireText(name, msg.payload.init.name);
    EV_TRACE(DL_TRACE, "KeeperSrv::handle_init, client %s, type %d, pid %d", name, keeper_type,
             pid);
    if (keeper_type == KEEPER_INIT_QUIET) return KEEPER_OK;
    if (keeper_type != KEEPER_INIT_PROGRAM && keeper_type != KEEPER_INIT_RECONNECT)
        return KEEPER_FAIL;
    PsTask* task = processes.find_ps_by_pid(pid);
    if (!task) task = processes.find_ps_by_name(name);
    if (!task) return KEEPER_FAIL;
    // A refused init (a program this daemon did not start) binds nothing: the
    // connection gets none of the task's probes, events or quit request.
    if (task->handle_init_msg(handler, pid, msg.payload.init.time) != KEEPER_OK) return KEEPER_FAIL;
    task->set_client(handler);
    if (handler) handler->set_task(task);
    run_boot_sequence();
    return KEEPER_OK;
}

keeperStatus KeeperSrv::register_cb(GeneralMsg& msg, ClientHandler* handler) {
    char name[KEEPER_NAME_LEN], text[KEEPER_NAME_LEN];
    copyWireText(name, msg.payload.cb.name);
    copyWireText(text, msg.payload.cb.name2);
    EV_TRACE(DL_TRACE, "KeeperSrv::register_cb  %s", name);
    PsTask* task = processes.find_ps_by_handler(handler);
    if (!handler || !task) {
        EV_TRACE(DL_TRACE, "KeeperSrv::register_cb, failed to find task by hndl");
        return KEEPER_FAIL;
    }
    // Registrations stay while the daemon runs: a program may not make them
    // grow without end.
    if (task->get_callbacks().get_callbacks().size() >= APP_MAX_TASK_CALLBACKS) {
        EV_TRACE(DL_ERROR, "KeeperSrv::register_cb, task %s holds %u callbacks, %s refused",
                 task->get_name(), APP_MAX_TASK_CALLBACKS, name);
        return KEEPER_FAIL;
    }
    CallbackPs* cb = new CallbackPs(name, text, msg.payload.cb.cbId, task);
    if (task->get_callbacks().register_callback(cb, nullptr) == KEEPER_OK) return KEEPER_OK;
    delete cb;
    return KEEPER_FAIL;
}

keeperStatus KeeperSrv::run_cb(GeneralMsg& msg) {
    unsigned kind = msg.payload.runCb.kind;
    char task_name[KEEPER_NAME_LEN], cb_name[KEEPER_NAME_LEN], cb_args[KEEPER_NAME_LEN];
    copyWireText(task_name, msg.payload.runCb.task);
    copyWireText(cb_name, msg.payload.runCb.callback);
    copyWireText(cb_args, msg.payload.runCb.args);
    EV_TRACE(DL_TRACE, "KeeperSrv::run_cb  %s, task %s", cb_name, task_name);
    if (kind == CB_KIND_KEEPER) return callbacks.run_callback(cb_name, cb_args);
    if (kind == CB_KIND_REFUSED) return KEEPER_FAIL;
    PsTask* task = find_ps_by_name(task_name);
    if (!task) {
        EV_TRACE(DL_TRACE, "KeeperSrv::run_cb, failed to find task %s", task_name);
        return KEEPER_FAIL;
    }
    return task->get_callbacks().run_callback(cb_name, cb_args);
}

keeperStatus KeeperSrv::print_cb(GeneralMsg& msg) {
    unsigned kind = msg.payload.value.value;
    char task_name[KEEPER_NAME_LEN];
    copyWireText(task_name, msg.payload.value.name);
    EV_TRACE(DL_TRACE, "KeeperSrv::print_cb, task %s", task_name);
    const CallbackPool* pool = &callbacks;
    if (kind == CB_KIND_REFUSED) return KEEPER_FAIL;
    if (kind != CB_KIND_KEEPER) {
        PsTask* task = find_ps_by_name(task_name);
        if (!task) return KEEPER_FAIL;
        pool = &task->get_callbacks();
    }
    char* text = nullptr;
    unsigned len = 0;
    keeperStatus rc = pool->cb_list(&text, &len);
    return take_listing(msg, rc, text, len);
}

keeperStatus KeeperSrv::print_ps(GeneralMsg& msg) {
    EV_TRACE(DL_TRACE, "KeeperSrv::list_ps");
    char* text = nullptr;
    unsigned len = 0;
    keeperStatus rc = processes.ps_list(&text, &len);
    return take_listing(msg, rc, text, len);
}

keeperStatus KeeperSrv::reload_request(ClientHandler* handler) {
    const KeeperReloadReply reply = {htonl(reload_config())};
    return handler->send(KEEPER_RELOAD, sizeof reply, &reply);
}

keeperStatus KeeperSrv::print_status(GeneralMsg& msg) {
    EV_TRACE(DL_TRACE, "KeeperSrv::print_status, form %u", msg.payload.status.form);
    const StatusSnapshot snap = status_snapshot();
    const std::string text =
        msg.payload.status.form == STATUS_FORM_JSON ? status_json(snap) : status_table(snap);
    msg.setListing(text.data(), text.size());
    return KEEPER_OK;
}

keeperStatus KeeperSrv::list_flags(GeneralMsg& msg) {
    EV_TRACE(DL_TRACE, "KeeperSrv::list_flags");
    char* text = nullptr;
    unsigned len = 0;
    keeperStatus rc = list_flags(&text, &len);
    return take_listing(msg, rc, text, len);
}

keeperStatus KeeperSrv::check_alive_ack(ClientHandler* handler) {
    PsTask* task = handler ? processes.find_ps_by_handler(handler) : nullptr;
    if (!task) {
        EV_TRACE(DL_ERROR, "KeeperSrv::check_alive_ack, Can't find task for ClientHandler %p",
                 static_cast<void*>(handler));
        return KEEPER_FAIL;
    }
    EV_TRACE(DL_DEBUG, "KeeperSrv::check_alive_ack, task [%s], pid [%d]", task->get_name(),
             task->get_pid());
    return task->check_alive_ack();
}

keeperStatus KeeperSrv::register_event(GeneralMsg& msg, ClientHandler* handler) {
    PsTask* task = handler ? processes.find_ps_by_handler(handler) : nullptr;
    if (!task) {
        EV_TRACE(DL_ERROR, "KeeperSrv::register_event, Can't find task for ClientHandler %p",
                 static_cast<void*>(handler));
        return KEEPER_FAIL;
    }
    _register_event(task, msg.payload.regEvent.group, msg.payload.regEvent.id,
                    static_cast<int>(msg.payload.regEvent.operation));
    return KEEPER_OK;
}

keeperStatus KeeperSrv::pass_event(GeneralMsg& msg) {
    ++daemon_counters.events;
    return processes.send_event(msg.eventGrp, msg.eventId, msg.eventData(), msg.eventDataLen());
}

keeperStatus KeeperSrv::set_task(GeneralMsg& msg) {
    char name[KEEPER_NAME_LEN];
    copyWireText(name, msg.payload.setTask.task);
    EV_TRACE(DL_TRACE, "KeeperSrv::set_task, task %s", name);
    TaskOnSeq* task = find_task_by_name(name);
    if (!task) return KEEPER_FAIL;
    bool mode = msg.payload.setTask.mode != 0;
    // The file first: a change it does not hold would be lost at the next
    // start, so the task neither changes nor starts or stops.
    if (task->is_enabled() != mode && (!ini || ini->set_task_mode(*task, mode) != KEEPER_OK)) {
        EV_TRACE(DL_ERROR, "KeeperSrv::set_task, task %s: not written, nothing changed", name);
        return KEEPER_FAIL;
    }
    return task->set_permanent_mode(mode, msg.payload.setTask.second != 0);
}

keeperStatus KeeperSrv::set_check(GeneralMsg& msg) {
    char name[KEEPER_NAME_LEN], check_args[KEEPER_NAME_LEN];
    copyWireText(name, msg.payload.setCheck.check);
    copyWireText(check_args, msg.payload.setCheck.args);
    EV_TRACE(DL_TRACE, "KeeperSrv::set_check, check %s", name);
    CheckBase* check = find_check_by_name(name);
    if (!check) return KEEPER_FAIL;
    const std::string before(check->get_args());
    if (check->reinit(check_args) != KEEPER_OK) return KEEPER_FAIL;
    if (ini && ini->set_check_args(name, check_args) == KEEPER_OK) return KEEPER_OK;
    // Only what the file holds stays in force.
    check->reinit(before.c_str());
    EV_TRACE(DL_ERROR, "KeeperSrv::set_check, check %s: not written, nothing changed", name);
    return KEEPER_FAIL;
}

keeperStatus KeeperSrv::set_flag_mode(GeneralMsg& msg) {
    char name[KEEPER_NAME_LEN];
    copyWireText(name, msg.payload.value.name);
    // The name becomes an INI section: refused unless it is a plain word.
    if (!*name || !text_made_of(name, "_-.")) {
        EV_TRACE(DL_ERROR, "KeeperSrv::set_flag_mode, flag name refused");
        return KEEPER_FAIL;
    }
    EV_TRACE(DL_TRACE, "KeeperSrv::set_flag_mode, flag %s", name);
    Flag* flag = find_flag_by_name(name);
    // Each new flag is kept in memory and in the INI file for good.
    if (!flag && flags.size() >= APP_MAX_FLAGS) {
        EV_TRACE(DL_ERROR, "KeeperSrv::set_flag_mode, %u flags known, flag %s refused",
                 APP_MAX_FLAGS, name);
        return KEEPER_FAIL;
    }
    bool state = msg.payload.value.value != 0;
    if (!ini || ini->set_flag_mode(name, state) != KEEPER_OK) {
        EV_TRACE(DL_ERROR, "KeeperSrv::set_flag_mode, flag %s: not written, nothing changed", name);
        return KEEPER_FAIL;
    }
    if (flag)
        flag->enabled = state;
    else
        add_flag(name, state);
    return KEEPER_OK;
}

keeperStatus KeeperSrv::action_on_ps(GeneralMsg& msg) {
    char name[KEEPER_NAME_LEN];
    copyWireText(name, msg.payload.value.name);
    EV_TRACE(DL_TRACE, "KeeperSrv::action_on_ps, task %s", name);
    PsTask* task = find_ps_by_name(name);
    if (!task) return KEEPER_FAIL;
    switch (msg.payload.value.value) {
        case TASK_ACTION_START:
            return task->start();
        case TASK_ACTION_KILL:
            return task->stop();
        case TASK_ACTION_RESTART:
            return task->restart();
        default:
            return KEEPER_FAIL;
    }
}

keeperStatus KeeperSrv::action_on_check(GeneralMsg& msg) {
    char name[KEEPER_NAME_LEN];
    copyWireText(name, msg.payload.value.name);
    EV_TRACE(DL_TRACE, "KeeperSrv::action_on_check, check %s", name);
    CheckBase* check = find_check_by_name(name);
    if (!check) return KEEPER_FAIL;
    unsigned action = msg.payload.value.value;
    if (action == CHECK_ACTION_START) {
        EV_TRACE(DL_TRACE, "KeeperSrv::resume_check, found check:\n%s", check->asString().c_str());
        check->add_to_timer();
    } else if (action == CHECK_ACTION_STOP)
        check->stop();
    return KEEPER_OK;
}

keeperStatus KeeperSrv::_get_ka_config(GeneralMsg& msg, ClientHandler* handler) {
    PsTask* task = handler ? processes.find_ps_by_handler(handler) : nullptr;
    if (!task) {
        msg.payload.config.status = KEEPER_FAIL;
        return KEEPER_FAIL;
    }
    msg.payload.config.status = KEEPER_OK;
    msg.payload.config.data.data.word[0] = task->get_ka_period_config();
    return KEEPER_OK;
}

keeperStatus KeeperSrv::handle_config_req(GeneralMsg& msg) {
    KeeperBasePligin* plugin = get_plugin(PLUGIN_CONFIG);
    if (!plugin) {
        msg.payload.config.status = KEEPER_FAIL;
        return KEEPER_FAIL;
    }
    return plugin->handleRequest(msg);
}
