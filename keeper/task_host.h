// What tasks, checks, actions, the timer callbacks and the boot sequence ask
// of the daemon that runs them. They hold this interface rather than the
// daemon, so that each can be built and tested against a small fake.
#ifndef KEEPER_TASK_HOST_H
#define KEEPER_TASK_HOST_H

#include <sys/types.h>

#include "keeper/keeper_plugin.h"
#include "keeper/shutdown_delays.h"
#include "protocol/keeper_msg.h"

class CallbackBase;
class CheckBase;
class ProgramRunner;
class PsList;
class PsTask;
class TaskOnSeq;

class TaskHost {
public:
    virtual ~TaskHost() = default;

    // Publishes an event to the processes subscribed to its group and id.
    virtual keeperStatus send_event(unsigned group, unsigned id, void* data, unsigned len) = 0;

    // Boot levels: a task or check joins its level; a level whose tasks are
    // complete lets the next one start; the sequence goes on where it can.
    virtual keeperStatus add_task_to_mgr(TaskOnSeq* task, unsigned level) = 0;
    virtual keeperStatus add_check_to_mgr(CheckBase* check, unsigned level) = 0;
    virtual void update_next_level(unsigned level) = 0;
    virtual void run_boot_sequence() = 0;
    // Every boot level is complete.
    virtual void handle_seq_end() = 0;
    // The boot sequence, or some rare work, is done: a moment later, what
    // only that work used leaves memory.
    virtual void settle_memory() = 0;

    // Check levels: a failing must-check holds the levels above its own, its
    // recovery releases them; checks above wait for a must-check's run.
    virtual void resume_next_check(unsigned level) = 0;
    virtual void skip_next_check(unsigned level) = 0;
    virtual bool lower_must_check_running(unsigned level) const = 0;
    virtual void run_waiting_checks(unsigned level) = 0;

    // Look-ups.
    virtual CallbackBase* find_cb_by_name(const char* name) const = 0;
    virtual PsTask* find_ps_by_pid(int pid) const = 0;
    virtual KeeperBasePligin* get_plugin(pluginType type) const = 0;

    // The supervised processes and the programs the daemon runs for itself.
    virtual keeperStatus add_process(PsTask* task) = 0;
    virtual PsList& get_ps_list() = 0;
    virtual ProgramRunner& get_runner() = 0;
    // A program of a task was started: its exit is to be looked out for.
    virtual void watch_child(pid_t pid) = 0;

    // 0 while the device is bypassed: only units active on bypass run.
    virtual int get_system_mode() = 0;
    // Takes ownership of `cmd`, a KeeperCommand; also a timer callback.
    virtual int shutdown(void* cmd) = 0;
    virtual bool is_shutting_down() const = 0;
    virtual const ShutdownDelays& get_shutdown_delays() const = 0;

    // The configuration plug-in's periodic work; false without a plug-in.
    virtual bool run_plugin_work() = 0;
    // Reconciles the fast-update processes with their list file.
    virtual keeperStatus fups_management() = 0;
    // The device mode; a daemon without modes has none and chooses none.
    virtual const char* get_dev_mode() const = 0;
    virtual keeperStatus set_dev_mode(const char* mode) = 0;
};

#endif
