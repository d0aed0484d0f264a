#include "keeper/keeper_srv.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "keeper/actions.h"
#include "keeper/check_base.h"
#include "keeper/client_handler.h"
#include "keeper/ini_keeper.h"
#include "keeper/ps_remote_task.h"
#include "keeper/ps_task.h"
#include "keeper/tasks.h"
#include "keeper/text.h"
#include "keeper/timer_handler.h"
#include "protocol/listing.h"
#include "protocol/wire_text.h"
#include "reactor/ev_engine.h"
#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/file_utils.h"
#include "support/proc_utils.h"

KeeperSrv* stcKeeper = nullptr;

namespace {

const unsigned kAllIds = 0xFFFFFFFF;
const unsigned kKaConfigCommand = 28;
const long kResourceTimerPeriod = 60;

// Decimal text other than 0: the text names a process by its index.
unsigned index_from_text(const char* text) {
    if (!*text) return 0;
    for (const char* c = text; *c; ++c)
        if (!isdigit(static_cast<unsigned char>(*c))) return 0;
    return static_cast<unsigned>(strtoul(text, nullptr, 10));
}

// Hands a listing built by the caller to the message, which sends it.
keeperStatus take_listing(GeneralMsg& msg, keeperStatus rc, char* text, unsigned len) {
    if (rc == KEEPER_OK && text) msg.setListing(text, len);
    free(text);
    return rc;
}

// A text field of a request, never read past its width.
template <size_t N>
void field_text(char (&out)[KEEPER_NAME_LEN], const char (&field)[N]) {
    copy_text(out, wireText(field).c_str());
}

}  // namespace

Flag::Flag(const char* n, bool e) : name(), enabled(e) { copy_text(name, n); }

// ---------------------------------------------------------------------------
// Child exits and the termination request.

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

// ---------------------------------------------------------------------------
// Life cycle.

KeeperSrv::KeeperSrv(EvEngine* e)
    : engine(e),
      actions(nullptr),
      ini(nullptr),
      timer_handler(nullptr),
      factory(nullptr),
      cur_level(task_levels.end()),
      end_level(task_levels.end()),
      last_enabled_level(0),
      first_run(true),
      not_finished(true) {}

KeeperSrv::~KeeperSrv() {
    for (auto& entry : plugins) delete entry.second;
    delete_configured_objects();
    for (auto& entry : predefined_checks) delete entry.second;
    delete ini;
    delete timer_handler;
    delete factory;
    if (stcKeeper == this) stcKeeper = nullptr;
}

void KeeperSrv::delete_configured_objects() {
    for (Flag* flag : flags) delete flag;
    flags.clear();
    std::set<CheckBase*> predefined;
    for (auto& entry : predefined_checks) predefined.insert(entry.second);
    std::set<CheckBase*> checks;
    for (auto& entry : check_levels) {
        for (CheckBase* check : entry.second->get_checks())
            if (!predefined.count(check)) checks.insert(check);
        delete entry.second;
    }
    check_levels.clear();
    for (CheckBase* check : checks) delete check;
    for (TaskOnSeq* task : owned_tasks) {
        PsTask* process = dynamic_cast<PsTask*>(task);
        if (process) processes.remove_ps(process);
        delete task;
    }
    owned_tasks.clear();
    for (auto& entry : task_levels) delete entry.second;
    task_levels.clear();
    cur_level = end_level = task_levels.end();
}

void KeeperSrv::discard_configuration() {
    delete_configured_objects();
    if (actions) actions->forget_configured_actions();
    desc = KeeperDesc();
}

int KeeperSrv::init(ActionHandler* registry, const char* confDir) {
    create_client_handler_factory();
    timer_handler = new TimerHandler(engine, this);
    timer_handler->add(kResourceTimerPeriod, &TimerHandler::run_wh_status, this,
                       kResourceTimerPeriod);
    set_action_registry(registry);
    build_predefined_checks();
    keeperStatus rc = parse_ini_file(confDir);
    EV_TRACE(DL_NOTIFY, "Keeper is listening on port %d", desc.port);
    if (!engine->evListen(desc.port, factory)) {
        EV_TRACE(DL_ERROR, "Keeper can't listen on port %d", desc.port);
        return 2;
    }
    if (rc != KEEPER_OK) return rc;
    return _init_specific();
}

void KeeperSrv::set_action_registry(ActionHandler* registry) {
    actions = registry;
    if (actions) actions->init(this);
}

void KeeperSrv::create_iniparser(const char* path) {
    delete ini;
    ini = new iniKeeper_srv(path, this, timer_handler);
}

void KeeperSrv::create_client_handler_factory() {
    delete factory;
    factory = new ClientHandlerFactory(engine, this);
}

keeperStatus KeeperSrv::parse_ini_file(const char* confDir) {
    std::string dir = confDir && isDir(confDir) ? confDir : "./";
    std::string base = dir + Com_getPidName();
    std::string path = base + APP_INI_SUFFIX;
    std::string backup = path + ".backup";
    // Left by a daemon that died while writing one of the files back.
    iniKeeper_file::remove_stale_temp_files(path);
    iniKeeper_file::remove_stale_temp_files(backup);
    EV_TRACE(DL_DEBUG, "KeeperSrv::parse_ini_file, ini file %s", path.c_str());
    create_iniparser(path.c_str());
    keeperStatus rc = ini->parse_ini_file();
    if (rc != KEEPER_FAIL) return rc;
    EV_TRACE(DL_WARNING, "KeeperSrv::parse_ini_file, Failed parse ini file, reading backup");
    // Nothing of the refused file may stay: a program in both files would
    // otherwise run twice.
    discard_configuration();
    EV_TRACE(DL_DEBUG, "KeeperSrv::parse_ini_file, backup ini file %s", backup.c_str());
    ini->reset_ini_file(backup.c_str());
    rc = ini->parse_ini_file();
    if (rc == KEEPER_FAIL)
        EV_TRACE(DL_ERROR, "KeeperSrv::parse_ini_file, Failed parse backup ini file.");
    return rc;
}

int KeeperSrv::run(bool noLoop) {
    prerun_actions();
    if (!noLoop) engine->run();
    return 0;
}

void KeeperSrv::adopt_task(TaskOnSeq* task) { owned_tasks.push_back(task); }

void KeeperSrv::adopt_predefined_check(CheckBase* check) {
    predefined_checks[check->get_name()] = check;
}

// ---------------------------------------------------------------------------
// Look-ups.

PsTask* KeeperSrv::find_ps_by_pid(int pid) const { return processes.find_ps_by_pid(pid); }

PsTask* KeeperSrv::find_ps_by_name(const char* name) const {
    PsTask* task = processes.find_ps_by_name(name);
    if (task) return task;
    unsigned index = index_from_text(name);
    return index ? processes.find_ps_by_index(index) : nullptr;
}

TaskOnSeq* KeeperSrv::find_task_by_name(const char* name) const {
    for (auto& entry : task_levels) {
        TaskOnSeq* task = entry.second->find_task_by_name(name);
        if (task) return task;
    }
    return nullptr;
}

CheckBase* KeeperSrv::find_check_by_name(const char* name) const {
    for (auto& entry : check_levels) {
        CheckBase* check = entry.second->get_check(name);
        if (check) return check;
    }
    return nullptr;
}

Flag* KeeperSrv::find_flag_by_name(const char* name) const {
    for (Flag* flag : flags)
        if (strcmp(flag->name, name) == 0) return flag;
    return nullptr;
}

TaskSingle* KeeperSrv::find_action_by_name(const char* name) const {
    return actions ? actions->get_action(name) : nullptr;
}

CallbackBase* KeeperSrv::find_cb_by_name(const char* name) const {
    return callbacks.find_cb_by_name(name);
}

unsigned KeeperSrv::get_target_boot_tm(const char* ip) const {
    PsRemoteTask* task = processes.find_ps_by_ip_rem(ip);
    return task ? task->get_boot_time() : 0;
}

CheckBase* KeeperSrv::get_predefined_check(const char* name) const {
    auto it = predefined_checks.find(name ? name : "");
    return it == predefined_checks.end() ? nullptr : it->second;
}

KeeperBasePligin* KeeperSrv::get_plugin(pluginType type) const {
    auto it = plugins.find(type);
    return it == plugins.end() ? nullptr : it->second;
}

keeperStatus KeeperSrv::registerPlugin(pluginType type, KeeperBasePligin* plugin) {
    if (plugins.count(type)) return KEEPER_FAIL;
    plugins[type] = plugin;
    plugin->init(this);
    return KEEPER_OK;
}

keeperStatus KeeperSrv::unregisterPlugin(pluginType type, KeeperBasePligin* plugin) {
    auto it = plugins.find(type);
    if (it == plugins.end() || it->second != plugin) return KEEPER_FAIL;
    plugins.erase(it);
    return KEEPER_OK;
}

// ---------------------------------------------------------------------------
// Boot sequence.

keeperStatus KeeperSrv::add_task_to_mgr(TaskOnSeq* task, unsigned level) {
    TaskLevel*& slot = task_levels[level];
    if (!slot) slot = new TaskLevel;
    slot->add_task(task);
    return KEEPER_OK;
}

keeperStatus KeeperSrv::add_check_to_mgr(CheckBase* check, unsigned level) {
    if (find_check_by_name(check->get_name())) return KEEPER_OK;
    CheckLevel*& slot = check_levels[level];
    if (!slot) slot = new CheckLevel;
    slot->add_check(check);
    return KEEPER_OK;
}

void KeeperSrv::prerun_actions() { start_tasks(); }

void KeeperSrv::start_tasks() {
    EV_TRACE(DL_NOTIFY, "Start tasks as defined in .ini file");
    if (task_levels.empty()) return;
    processes.set_externals_pid();
    cur_level = task_levels.begin();
    cur_level->second->activate();
    run_boot_sequence();
}

void KeeperSrv::run_boot_sequence() {
    if (first_run) {
        first_run = false;
        end_level = cur_level;
        for (auto it = task_levels.rbegin(); it != task_levels.rend(); ++it) {
            if (it->second->is_enabled()) {
                last_enabled_level = it->first;
                end_level = it.base();
                break;
            }
        }
    }
    while (cur_level != end_level) {
        if (cur_level->second->run_tasks() == KEEPER_FAIL) break;
        unsigned number = cur_level->first;
        auto next = std::next(cur_level);
        update_next_level(number);
        // update_next_level may already have moved the cursor to the end.
        if (cur_level == end_level) break;
        cur_level = next;
    }
    if (cur_level != end_level || !not_finished) return;
    auto last = task_levels.find(last_enabled_level);
    if (last == task_levels.end() || !last->second->check_level_status()) return;
    not_finished = false;
    handle_seq_end();
    init_checks();
    EV_TRACE(DL_NOTIFY, "Boot sequence is finished");
}

void KeeperSrv::update_next_level(unsigned level) {
    auto it = task_levels.find(level);
    if (it == task_levels.end() || !it->second->check_level_status()) return;
    auto next = std::next(it);
    if (next == task_levels.end())
        cur_level = end_level;
    else
        next->second->activate();
}

void KeeperSrv::init_checks() {
    for (auto& entry : check_levels) entry.second->add_to_timer();
}

void KeeperSrv::resume_next_check(unsigned level) {
    auto it = check_levels.find(level);
    if (it == check_levels.end() || !it->second->check_level_status()) return;
    it->second->set_holding(false);
    // A level above may hold the levels above itself (its must-check failed
    // while it was held, or before): those stay held.
    bool held = false;
    for (auto& entry : check_levels) {
        if (held)
            entry.second->skip();
        else
            entry.second->resume();
        held = held || entry.second->is_holding();
    }
}

void KeeperSrv::skip_next_check(unsigned level) {
    auto own = check_levels.find(level);
    if (own != check_levels.end()) own->second->set_holding(true);
    for (auto it = check_levels.upper_bound(level); it != check_levels.end(); ++it)
        it->second->skip();
}

// ---------------------------------------------------------------------------
// Processes and signals.

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

// ---------------------------------------------------------------------------
// Shutdown.

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
        cmd->timer = 5;
        engine->addTimer(delay, this, &KeeperSrv::shutdown, cmd, -1);
        return 0;
    }
    if (!shutting_down) EV_TRACE(DL_NOTIFY, "KeeperSrv::shutdown, no task is started any more");
    shutting_down = true;
    GeneralMsg bypass(KEEPER_COMMAND);
    bypass.payload.command = KeeperCommand{COMMAND_BYPASS, 32, 0};
    process_command(bypass);
    if (!processes.all_closed() && cmd->timer > 0 && cmd->technique == SHUTDOWN_STOP) {
        processes.stop_all();
        long delay = cmd->timer;
        cmd->technique = SHUTDOWN_KILL;
        cmd->timer = 0;
        engine->addTimer(delay, this, &KeeperSrv::shutdown, cmd, -1);
        return 0;
    }
    CommandType command = static_cast<CommandType>(cmd->type);
    delete cmd;
    processes.kill_all(SIGKILL);
    if (command == COMMAND_SHUTDOWN || command == COMMAND_REBOOT) {
        linux_shutdown(command);
    } else {
        engine->requestStop();
        engine->notifier().notify();
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Events, callbacks and flags.

keeperStatus KeeperSrv::send_event(unsigned group, unsigned id, void* data, unsigned len) {
    EV_TRACE(DL_TRACE, "KeeperSrv::send_event, event group:%s(%d), event id:%d", eventGrpStr(group),
             group, id);
    keeperStatus rc = processes.send_event(group, id, data, len);
    if (rc != KEEPER_OK) EV_TRACE(DL_ERROR, "*** Can't send event. group %d id= %d", group, id);
    return rc;
}

void KeeperSrv::_register_event(PsTask* task, unsigned group, unsigned id, int operation) {
    if (!task || group >= EVENT_GROUPS) return;
    if (group == EVENT_GRP_ALL) {
        // Registering for all groups subscribes to everything, whatever the
        // id; unregistering them ends every subscription.
        for (unsigned g = 0; g < EVENT_GROUPS; ++g) task->set_events(g, operation == 0 ? kAllIds : 0);
    } else if (operation == 0) {
        task->set_events(group, id == kAllIds ? kAllIds : (task->get_events(group) | id));
    } else {
        task->set_events(group, id == kAllIds ? 0u : (task->get_events(group) & ~id));
    }
    EV_TRACE(DL_TRACE,
             "KeeperSrv::register_event, success registration from task [%s],pid [%d] on event_grp "
             "%s(%d), "
             "event_id= %d",
             task->get_name(), task->get_pid(), eventGrpStr(group), group, id);
}

keeperStatus KeeperSrv::register_cb(const char* name, const char* text,
                                    CallbackLocal::Function fn) {
    CallbackLocal* cb = new CallbackLocal(name, text, fn);
    if (callbacks.register_callback(cb, nullptr) == KEEPER_OK) return KEEPER_OK;
    delete cb;
    return KEEPER_FAIL;
}

void KeeperSrv::add_flag(const char* name, unsigned enabled) {
    flags.push_back(new Flag(name, enabled != 0));
}

keeperStatus KeeperSrv::list_flags(char** text, unsigned* len) const {
    *text = nullptr;
    *len = 0;
    for (Flag* flag : flags) {
        char line[120];
        snprintf(line, sizeof line, "%s %s\n", flag->name, flag->enabled ? "On" : "Off");
        if (!listing_append(text, len, line)) return KEEPER_FAIL;
    }
    return KEEPER_OK;
}

void KeeperSrv::register_action(TaskSingle* action) {
    if (actions)
        actions->register_action(action);
    else
        delete action;
}

// ---------------------------------------------------------------------------
// Requests.

keeperStatus KeeperSrv::handleRequest(GeneralMsg& msg, ClientHandler* handler) {
    switch (msg.type()) {
        case KEEPER_SECONDARY_UP:
            handle_secondary_up(msg, handler);
            break;
        case KEEPER_INIT:
            handle_init(msg, handler);
            break;
        case KEEPER_REGISTER_CB:
            register_cb(msg, handler);
            break;
        case KEEPER_RUN_CB:
            run_cb(msg);
            break;
        case KEEPER_PRINT_PS:
            print_ps(msg);
            break;
        case KEEPER_PRINT_FLAGS:
            list_flags(msg);
            break;
        case KEEPER_PRINT_CB:
            print_cb(msg);
            break;
        case KEEPER_CHECK_ALIVE:
            check_alive_ack(handler);
            break;
        case KEEPER_REGISTER_EVENT:
            register_event(msg, handler);
            break;
        case KEEPER_NOTIFY_EVENT:
            pass_event(msg);
            break;
        case KEEPER_SET_TASK:
            set_task(msg);
            break;
        case KEEPER_SET_CHECK:
            set_check(msg);
            break;
        case KEEPER_SET_FLAG:
            set_flag_mode(msg);
            break;
        case KEEPER_ACTION_ON_PS:
            action_on_ps(msg);
            break;
        case KEEPER_ACTION_ON_CHECK:
            action_on_check(msg);
            break;
        case KEEPER_GET_CONFIG:
            if (msg.payload.config.cmd == kKaConfigCommand)
                _get_ka_config(msg, handler);
            else
                handle_config_req(msg);
            break;
        case KEEPER_SET_CONFIG:
            handle_config_req(msg);
            break;
        case KEEPER_COMMAND: {
            PsTask* task = processes.find_ps_by_handler(handler);
            if (handler && task) {
                EV_TRACE(DL_NOTIFY, "%s received from task %s",
                         keeperCommandStr(&msg.payload.command), task->get_name());
            }
            process_command(msg);
            break;
        }
        default:
            break;
    }
    return KEEPER_OK;
}

keeperStatus KeeperSrv::handle_secondary_up(GeneralMsg& msg, ClientHandler* handler) {
    char name[KEEPER_NAME_LEN];
    field_text(name, msg.payload.name);
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
    field_text(name, msg.payload.init.name);
    EV_TRACE(DL_TRACE, "KeeperSrv::handle_init, client %s, type %d, pid %d", name, keeper_type,
             pid);
    if (keeper_type == 3) return KEEPER_OK;
    if (keeper_type != 1 && keeper_type != 2) return KEEPER_FAIL;
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
    field_text(name, msg.payload.cb.name);
    field_text(text, msg.payload.cb.name2);
    EV_TRACE(DL_TRACE, "KeeperSrv::register_cb  %s", name);
    PsTask* task = processes.find_ps_by_handler(handler);
    if (!handler || !task) {
        EV_TRACE(DL_TRACE, "KeeperSrv::register_cb, failed to find task by hndl");
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
    field_text(task_name, msg.payload.runCb.task);
    field_text(cb_name, msg.payload.runCb.callback);
    field_text(cb_args, msg.payload.runCb.args);
    EV_TRACE(DL_TRACE, "KeeperSrv::run_cb  %s, task %s", cb_name, task_name);
    if (kind == 0) return callbacks.run_callback(cb_name, cb_args);
    if (kind == 1) return KEEPER_FAIL;
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
    field_text(task_name, msg.payload.value.name);
    EV_TRACE(DL_TRACE, "KeeperSrv::print_cb, task %s", task_name);
    const CallbackPool* pool = &callbacks;
    if (kind == 1) return KEEPER_FAIL;
    if (kind != 0) {
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
    return processes.send_event(msg.eventGrp, msg.eventId, msg.eventData(), msg.eventDataLen());
}

keeperStatus KeeperSrv::set_task(GeneralMsg& msg) {
    char name[KEEPER_NAME_LEN];
    field_text(name, msg.payload.setTask.task);
    EV_TRACE(DL_TRACE, "KeeperSrv::set_task, task %s", name);
    TaskOnSeq* task = find_task_by_name(name);
    if (!task) return KEEPER_FAIL;
    bool mode = msg.payload.setTask.mode != 0;
    if (task->is_enabled() != mode && ini) ini->set_task_mode(*task, mode);
    return task->set_permanent_mode(mode, msg.payload.setTask.second != 0);
}

keeperStatus KeeperSrv::set_check(GeneralMsg& msg) {
    char name[KEEPER_NAME_LEN], check_args[KEEPER_NAME_LEN];
    field_text(name, msg.payload.setCheck.check);
    field_text(check_args, msg.payload.setCheck.args);
    EV_TRACE(DL_TRACE, "KeeperSrv::set_check, check %s", name);
    CheckBase* check = find_check_by_name(name);
    if (!check || check->reinit(check_args) != KEEPER_OK) return KEEPER_FAIL;
    return ini ? ini->set_check_args(name, check_args) : KEEPER_FAIL;
}

keeperStatus KeeperSrv::set_flag_mode(GeneralMsg& msg) {
    char name[KEEPER_NAME_LEN];
    field_text(name, msg.payload.value.name);
    // The name becomes an INI section: refused unless it is a plain word.
    if (!*name || !text_made_of(name, "_-.")) {
        EV_TRACE(DL_ERROR, "KeeperSrv::set_flag_mode, flag name refused");
        return KEEPER_FAIL;
    }
    EV_TRACE(DL_TRACE, "KeeperSrv::set_flag_mode, flag %s", name);
    bool state = msg.payload.value.value != 0;
    Flag* flag = find_flag_by_name(name);
    if (flag)
        flag->enabled = state;
    else
        add_flag(name, state);
    return ini ? ini->set_flag_mode(name, state) : KEEPER_FAIL;
}

keeperStatus KeeperSrv::action_on_ps(GeneralMsg& msg) {
    char name[KEEPER_NAME_LEN];
    field_text(name, msg.payload.value.name);
    EV_TRACE(DL_TRACE, "KeeperSrv::action_on_ps, task %s", name);
    PsTask* task = find_ps_by_name(name);
    if (!task) return KEEPER_FAIL;
    switch (msg.payload.value.value) {
        case 0:
            return task->start();
        case 1:
            return task->stop();
        case 2:
            return task->restart();
        default:
            return KEEPER_FAIL;
    }
}

keeperStatus KeeperSrv::action_on_check(GeneralMsg& msg) {
    char name[KEEPER_NAME_LEN];
    field_text(name, msg.payload.value.name);
    EV_TRACE(DL_TRACE, "KeeperSrv::action_on_check, check %s", name);
    CheckBase* check = find_check_by_name(name);
    if (!check) return KEEPER_FAIL;
    unsigned action = msg.payload.value.value;
    if (action == 0) {
        EV_TRACE(DL_TRACE, "KeeperSrv::resume_check, found check:\n%s", check->asString().c_str());
        check->add_to_timer();
    } else if (action == 1)
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
