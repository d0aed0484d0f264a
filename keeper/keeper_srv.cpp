// The supervisor's life cycle, its look-ups and its events, callbacks and
// flags. The child-exit notifier, the boot sequence, the shutdown and the
// request handlers have files of their own.
#include "keeper/keeper_srv.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "keeper/actions.h"
#include "keeper/check_base.h"
#include "keeper/client_handler.h"
#include "keeper/config_reload.h"
#include "keeper/ini_keeper.h"
#include "keeper/plugin_host.h"
#include "keeper/ps_remote_task.h"
#include "keeper/ps_task.h"
#include "keeper/tasks.h"
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

const long kResourceTimerPeriod = 60;
// From the end of the boot sequence, or of the plug-in's periodic work, to
// the release of the memory only that work used: time for the programs it
// runs to end, and the release runs from the loop, past the work's return
// path.
const long kSettleDelay = 2;

// Decimal text other than 0: the text names a process by its index.
unsigned index_from_text(const char* text) {
    if (!*text) return 0;
    for (const char* c = text; *c; ++c)
        if (!isdigit(static_cast<unsigned char>(*c))) return 0;
    return static_cast<unsigned>(strtoul(text, nullptr, 10));
}

}  // namespace

Flag::Flag(const char* n, bool e) : name(), enabled(e) { setWireText(name, n); }

KeeperSrv::KeeperSrv(EvEngine* e)
    : engine(e),
      actions(nullptr),
      ini(nullptr),
      timer_handler(nullptr),
      factory(nullptr),
      boot(this, task_levels, check_levels),
      children([this](pid_t pid, int status) { child_reaped(pid, status); }),
      runner(e, &children),
      plugin_host(new DaemonPluginHost(*this, replies, e)) {}

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
    boot.forget_levels();
}

void KeeperSrv::discard_configuration() {
    delete_configured_objects();
    if (actions) actions->forget_configured_actions();
    desc = KeeperDesc();
}

void KeeperSrv::settle_memory() {
    // A daemon never initialised, as in the tests, has no timers.
    if (timer_handler) timer_handler->add(kSettleDelay, &TimerHandler::release_memory, nullptr, -1);
}

int KeeperSrv::init(ActionHandler* registry, const char* confDir) {
    daemon_counters.start_time = engine->getClock().wallTime();
    create_client_handler_factory();
    timer_handler = new TimerHandler(engine, this);
    timer_handler->add(kResourceTimerPeriod, &TimerHandler::run_wh_status, this,
                       kResourceTimerPeriod);
    set_action_registry(registry);
    build_predefined_checks();
    keeperStatus rc = parse_ini_file(confDir);
    // A daemon that is about to exit opens no port, not even for a moment,
    // and not on the every-address default of a "listen ip" it refused.
    if (rc != KEEPER_OK) return rc;
    EV_TRACE(DL_NOTIFY, "Keeper is listening on port %d", desc.port);
    if (!engine->evListen(desc.port, factory, desc.listen_ip)) {
        EV_TRACE(DL_ERROR, "Keeper can't listen on port %d", desc.port);
        return 2;
    }
    start_metrics();
    return _init_specific();
}

void KeeperSrv::start_metrics() {
    metrics.reset();
    if (desc.metrics_file.empty()) return;
    metrics.reset(new MetricsFile(engine, [this] { return status_snapshot(); }));
    metrics->start(desc.metrics_file);
}

void KeeperSrv::prerun_actions() { start_tasks(); }

StatusSnapshot KeeperSrv::status_snapshot() {
    return collect_status(StatusSources{engine->getClock(), daemon_counters, get_boot_level(),
                                        processes.get_tasks(), check_levels});
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
    ini_path = path;
    // Left by a daemon that died while writing one of the files back.
    iniKeeper_file::remove_stale_temp_files(path);
    iniKeeper_file::remove_stale_temp_files(backup);
    EV_TRACE(DL_DEBUG, "KeeperSrv::parse_ini_file, ini file %s", path.c_str());
    create_iniparser(path.c_str());
    keeperStatus rc = ini->parse_ini_file();
    if (rc != KEEPER_FAIL) return rc;
    // The backup may open the control port wider than the file says: a
    // "listen ip" or "allow from" written wrong is for the operator to mend.
    if (ini->general_malformed()) {
        EV_TRACE(DL_ERROR,
                 "KeeperSrv::parse_ini_file, %s has a malformed general key, the backup "
                 "is not read",
                 path.c_str());
        return KEEPER_FAIL;
    }
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

bool KeeperSrv::admits(EvAdapter* sock) {
    std::string peer;
    // No IPv4 peer (a local socket pair) is none the list speaks of.
    in_addr_t address = EvEngine::getPeer(sock, peer);
    if (!address || desc.allow_from.allows(address)) return true;
    long now = engine->getClock().uptime();
    if (now != refusal_traced_at) {
        refusal_traced_at = now;
        EV_TRACE(DL_WARNING, "KeeperSrv::admits, connection from %s refused: not in allow from",
                 peer.c_str());
    }
    return false;
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

bool KeeperSrv::run_plugin_work() {
    KeeperBasePligin* plugin = get_plugin(PLUGIN_CONFIG);
    if (!plugin) return false;
    plugin->on_timer(this);
    return true;
}

keeperStatus KeeperSrv::registerPlugin(pluginType type, KeeperBasePligin* plugin) {
    if (plugins.count(type)) return KEEPER_FAIL;
    plugins[type] = plugin;
    plugin->init(plugin_host.get());
    return KEEPER_OK;
}

keeperStatus KeeperSrv::unregisterPlugin(pluginType type, KeeperBasePligin* plugin) {
    auto it = plugins.find(type);
    if (it == plugins.end() || it->second != plugin) return KEEPER_FAIL;
    plugins.erase(it);
    return KEEPER_OK;
}

// ---------------------------------------------------------------------------
// Events, callbacks and flags.

keeperStatus KeeperSrv::send_event(unsigned group, unsigned id, void* data, unsigned len) {
    EV_TRACE(DL_TRACE, "KeeperSrv::send_event, event group:%s(%d), event id:%d", eventGrpStr(group),
             group, id);
    keeperStatus rc = processes.send_event(group, id, data, len);
    ++daemon_counters.events;
    if (rc != KEEPER_OK) EV_TRACE(DL_ERROR, "*** Can't send event. group %d id= %d", group, id);
    return rc;
}

void KeeperSrv::_register_event(PsTask* task, unsigned group, unsigned id, int operation) {
    if (!task || group >= EVENT_GRP_LIMIT) return;
    const bool subscribe = static_cast<uint32_t>(operation) == EVENT_OP_REGISTER;
    if (group == EVENT_GRP_ALL) {
        // Registering for all groups subscribes to everything, whatever the
        // id; unregistering them ends every subscription.
        for (unsigned g = 0; g < EVENT_GRP_LIMIT; ++g)
            task->set_events(g, subscribe ? EVENT_ID_ALL : 0);
    } else if (subscribe) {
        task->set_events(group, id == EVENT_ID_ALL ? EVENT_ID_ALL : (task->get_events(group) | id));
    } else {
        task->set_events(group, id == EVENT_ID_ALL ? 0u : (task->get_events(group) & ~id));
    }
    processes.note_subscriber(task);
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
