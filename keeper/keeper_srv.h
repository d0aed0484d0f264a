// The supervisor: owns the configuration, the task and check levels, the
// processes, the flags and the plug-ins, drives the boot sequence and answers
// the requests of its clients.
#ifndef KEEPER_KEEPER_SRV_H
#define KEEPER_KEEPER_SRV_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "keeper/allow_list.h"
#include "keeper/boot_sequence.h"
#include "keeper/child_notifier.h"
#include "keeper/child_watch.h"
#include "keeper/keeper_plugin.h"
#include "keeper/metrics_file.h"
#include "keeper/pending_replies.h"
#include "keeper/program_runner.h"
#include "keeper/ps_list.h"
#include "keeper/shutdown_delays.h"
#include "keeper/task_host.h"
#include "keeper/task_status.h"
#include "protocol/callback_pool.h"
#include "protocol/keeper_msg.h"
#include "protocol/keeper_records.h"
#include "reactor/ev_handler.h"

class EvEngine;
class ActionHandler;
class iniKeeper_srv;
class TimerHandler;
class CheckBase;
class CheckLevel;
class TaskLevel;
class TaskOnSeq;
class TaskSingle;
class PsTask;
class ClientHandler;
class ClientHandlerFactory;
class KeeperSrv;
class DaemonPluginHost;
class ConfigReload;

struct Flag {
    Flag(const char* name, bool enabled);
    char name[100];
    bool enabled;
};

struct KeeperDesc {
    unsigned type = 0;  // 0 primary, 1 secondary
    int port = 0;
    uint32_t primary_ip = 0;
    int primary_port = 0;
    char secondary_name[100] = {};
    uint32_t listen_ip = 0;  // network order; 0 binds every address
    AllowList allow_from;    // empty: every peer is served
    // The Prometheus text file of the status; empty: none.
    std::string metrics_file;
};

class KeeperSrv : public EvHandler, public TaskHost {
public:
    explicit KeeperSrv(EvEngine* engine);
    ~KeeperSrv() override;
    KeeperSrv(const KeeperSrv&) = delete;
    KeeperSrv& operator=(const KeeperSrv&) = delete;

    virtual int init(ActionHandler* actions, const char* confDir);
    virtual keeperStatus parse_ini_file(const char* confDir);
    virtual void prerun_actions();
    void handle_seq_end() override {}
    void settle_memory() override;
    virtual keeperStatus handleRequest(GeneralMsg& msg, ClientHandler* handler);
    int get_system_mode() override { return 1; }
    virtual void handle_sigterm(KeeperCommand* cmd);
    virtual int _init_specific() { return 0; }
    virtual void build_predefined_checks() {}
    virtual void stop_predefined_checks() {}
    virtual void linux_shutdown(CommandType) {}
    virtual void create_iniparser(const char* path);
    virtual void create_client_handler_factory();
    virtual keeperStatus set_task(GeneralMsg& msg);
    virtual keeperStatus set_flag_mode(GeneralMsg& msg);
    virtual keeperStatus set_check(GeneralMsg& msg);
    virtual keeperStatus action_on_ps(GeneralMsg& msg);
    virtual keeperStatus action_on_check(GeneralMsg& msg);
    virtual keeperStatus run_cb(GeneralMsg& msg);
    virtual keeperStatus print_cb(GeneralMsg& msg);
    virtual keeperStatus pass_event(GeneralMsg& msg);
    virtual keeperStatus print_ps(GeneralMsg& msg);
    virtual keeperStatus list_flags(GeneralMsg& msg);
    // KEEPER_PRINT_STATUS: the counters of the daemon, its tasks and checks.
    virtual keeperStatus print_status(GeneralMsg& msg);
    // KEEPER_RELOAD: answers with the status of reload_config().
    keeperStatus reload_request(ClientHandler* handler);
    virtual keeperStatus handle_config_req(GeneralMsg& msg);
    virtual keeperStatus handle_secondary_up(GeneralMsg& msg, ClientHandler* handler);
    virtual keeperStatus handle_init(GeneralMsg& msg, ClientHandler* handler);
    virtual keeperStatus register_cb(GeneralMsg& msg, ClientHandler* handler);
    virtual keeperStatus register_event(GeneralMsg& msg, ClientHandler* handler);
    virtual keeperStatus check_alive_ack(ClientHandler* handler);
    virtual keeperStatus process_command(GeneralMsg&) { return KEEPER_FAIL; }
    const char* get_dev_mode() const override { return ""; }
    keeperStatus set_dev_mode(const char*) override { return KEEPER_FAIL; }

    int run(bool noLoop);
    // Keeps the action registry and lets it register the predefined actions.
    void set_action_registry(ActionHandler* registry);

    // Look-ups.
    PsTask* find_ps_by_pid(int pid) const override;
    PsTask* find_ps_by_name(const char* name) const;
    TaskOnSeq* find_task_by_name(const char* name) const;
    CheckBase* find_check_by_name(const char* name) const { return boot.find_check(name); }
    Flag* find_flag_by_name(const char* name) const;
    TaskSingle* find_action_by_name(const char* name) const;
    CallbackBase* find_cb_by_name(const char* name) const override;
    CheckBase* get_predefined_check(const char* name) const;
    // Boot time of the peer at that address (its remote task), 0 if unknown.
    unsigned get_target_boot_tm(const char* ip) const;
    KeeperBasePligin* get_plugin(pluginType type) const override;
    bool run_plugin_work() override;
    // A daemon without fast-update processes has nothing to reconcile.
    keeperStatus fups_management() override { return KEEPER_OK; }

    keeperStatus registerPlugin(pluginType type, KeeperBasePligin* plugin);
    keeperStatus unregisterPlugin(pluginType type, KeeperBasePligin* plugin);

    // Boot sequence.
    keeperStatus add_task_to_mgr(TaskOnSeq* task, unsigned level) override {
        return boot.add_task(task, level);
    }
    keeperStatus add_check_to_mgr(CheckBase* check, unsigned level) override {
        return boot.add_check(check, level);
    }
    void start_tasks() { boot.start(); }
    void run_boot_sequence() override { boot.run(); }
    void update_next_level(unsigned level) override { boot.update_next_level(level); }
    void init_checks() { boot.init_checks(); }
    void resume_next_check(unsigned level) override { boot.resume_next_check(level); }
    void skip_next_check(unsigned level) override { boot.skip_next_check(level); }
    bool lower_must_check_running(unsigned level) const override {
        return boot.lower_must_check_running(level);
    }
    void run_waiting_checks(unsigned level) override { boot.run_waiting_checks(level); }
    bool boot_sequence_finished() const { return boot.finished(); }

    // Events, callbacks, flags, actions.
    keeperStatus send_event(unsigned group, unsigned id, void* data, unsigned len) override;
    void _register_event(PsTask* task, unsigned group, unsigned id, int operation);
    keeperStatus register_cb(const char* name, const char* text, CallbackLocal::Function fn);
    void add_flag(const char* name, unsigned enabled);
    keeperStatus list_flags(char** text, unsigned* len) const;
    void register_action(TaskSingle* action);
    // Takes ownership of a task built from the configuration.
    void adopt_task(TaskOnSeq* task);
    void adopt_predefined_check(CheckBase* check);

    // Shutdown sequence; also its own timer callback.
    int shutdown(void* cmd) override;
    // Once the staged stop has begun no task is started any more.
    bool is_shutting_down() const override { return shutting_down; }
    const ShutdownDelays& get_shutdown_delays() const override { return shutdown_delays; }
    void set_shutdown_delays(const ShutdownDelays& delays) { shutdown_delays = delays; }
    // Async-signal-safe: wakes the loop, which reaps the children; `pid` is
    // the child the signal names (0 for none).
    void handle_sigchld(pid_t pid);
    // A SIGCHLD reached the loop: reaps the children it may concern.
    void reap_children();
    // Hands a reaped child to its run or its task.
    void child_reaped(pid_t pid, int status);
    void watch_child(pid_t pid) override { children.watch(pid); }
    // The wait status (-1 when unknown) goes into the task's counters.
    void handleExitedChildPs(int pid, int status = -1);
    void handle_client_close(ClientHandler* handler);
    // Whether the peer of a new connection is one "allow from" lets in; a
    // refusal is traced at most once a second, so that a flood of them
    // cannot fill the trace.
    bool admits(EvAdapter* sock);
    // Async-signal-safe: records a termination request for the loop.
    void request_sigterm();
    // Async-signal-safe: the loop will reload the INI file.
    void request_reload();

    // Reads the main INI file again and applies what changed. The status is
    // decided before any program is stopped: 0 applied, 2 refused (nothing
    // changed; the trace says why), 4 nothing to change. Programs are
    // stopped and started after it returns, through the loop.
    keeperStatus reload_config();
    // reload_config for SIGHUP, with its outcome traced.
    void reload_on_signal();
    // A reload has forgotten or built tasks or checks: what holds one of
    // them beyond the levels and the process list finds it again.
    virtual void configuration_reloaded() {}

    EvEngine* get_engine() const { return engine; }
    TimerHandler* get_timer_handler() const { return timer_handler; }
    iniKeeper_srv* get_iniparser() const { return ini; }
    PsList& get_ps_list() override { return processes; }
    // Puts a process into the process list (once), or takes it out.
    keeperStatus add_process(PsTask* task) override { return processes.add_ps_to_list(task); }
    keeperStatus remove_process(PsTask* task) { return processes.remove_ps(task); }
    const KeeperDesc& get_desc() const { return desc; }
    void set_desc(const KeeperDesc& identity) { desc = identity; }
    ActionHandler* get_actions() const { return actions; }
    const std::map<unsigned, TaskLevel*>& get_task_levels() const { return task_levels; }
    const std::map<unsigned, CheckLevel*>& get_check_levels() const { return check_levels; }
    const std::vector<Flag*>& get_flags() const { return flags; }
    SigChildNotifier& get_child_notifier() { return child_notifier; }
    ChildWatch& get_children() { return children; }
    // Runs the programs the daemon needs for itself, without waiting.
    ProgramRunner& get_runner() override { return runner; }
    // Replies that wait for such a program, and the changes that wait for them.
    PendingReplies& get_replies() { return replies; }
    DaemonCounters& get_daemon_counters() { return daemon_counters; }
    long get_boot_level() const { return boot.reached_level(); }
    // The counters of the daemon, its tasks and checks as they are now.
    StatusSnapshot status_snapshot();

protected:
    keeperStatus _get_ka_config(GeneralMsg& msg, ClientHandler* handler);
    // KEEPER_GET_CONFIG: the keep-alive period of the asking program, or the
    // configuration plug-in's answer.
    keeperStatus get_config(GeneralMsg& msg, ClientHandler* handler);
    // KEEPER_COMMAND: traced with the sending task, then process_command.
    keeperStatus command_request(GeneralMsg& msg, ClientHandler* handler);
    // Forgets everything a refused INI file built (identity, flags, actions,
    // tasks, checks and their levels), so that the backup starts afresh; the
    // predefined checks stay.
    void discard_configuration();
    // Writes the status to the metrics file the general section names, if any.
    void start_metrics();

    EvEngine* engine;
    ActionHandler* actions;
    iniKeeper_srv* ini;
    TimerHandler* timer_handler;
    std::map<std::string, CheckBase*> predefined_checks;
    CallbackPool callbacks;
    std::map<unsigned, TaskLevel*> task_levels;
    PsList processes;
    std::map<unsigned, CheckLevel*> check_levels;
    std::map<pluginType, KeeperBasePligin*> plugins;
    std::vector<Flag*> flags;
    KeeperDesc desc;
    ClientHandlerFactory* factory;
    // After the levels it refers to.
    BootSequence boot;
    SigChildNotifier child_notifier;
    // Before the runner, which hands it the programs it starts.
    ChildWatch children;
    ProgramRunner runner;
    PendingReplies replies;
    // What the plug-ins are given of the daemon.
    std::unique_ptr<DaemonPluginHost> plugin_host;
    DaemonCounters daemon_counters;
    std::unique_ptr<MetricsFile> metrics;

private:
    friend class ConfigReload;
    // Deletes the flags, tasks, checks and levels built from the INI file.
    void delete_configured_objects();

    bool shutting_down = false;
    ShutdownDelays shutdown_delays;
    long refusal_traced_at = -1;  // uptime second of the last refusal traced
    std::vector<TaskOnSeq*> owned_tasks;
    // The main INI file (a reload never reads the backup).
    std::string ini_path;
    std::unique_ptr<ConfigReload> reloader;
};

// The one supervisor of the process, reached by the signal handlers.
extern KeeperSrv* stcKeeper;

#endif
