// Reloading the daemon's INI file while it runs: the file is read and vetted
// apart, compared with the running configuration section by section, and
// only what changed is stopped, built and started; the programs of
// unchanged tasks keep running untouched.
#ifndef KEEPER_CONFIG_RELOAD_H
#define KEEPER_CONFIG_RELOAD_H

#include <memory>
#include <string>
#include <vector>

#include "keeper/config_diff.h"
#include "protocol/keeper_msg.h"
#include "reactor/ev_handler.h"

class CheckBase;
class KeeperSrv;
class PsTask;
class StagedIni;
class TaskOnSeq;
struct TaskCounters;

// An event handler for its one timer only.
class ConfigReload : public EvHandler {
public:
    explicit ConfigReload(KeeperSrv& keeper);
    ~ConfigReload() override;
    ConfigReload(const ConfigReload&) = delete;
    ConfigReload& operator=(const ConfigReload&) = delete;

    // 0 applied, 2 refused (nothing changed), 4 nothing to change. Only
    // decided here: what changed is applied at the loop's next pass, so
    // that an answer goes out before any program is stopped.
    keeperStatus reload(const std::string& path);
    // Applies the reload decided last; also the timer callback that does it.
    int apply_decided(void*);
    // A supervised program has exited: a task the reload stopped is now
    // forgotten, or built again from its new section.
    void task_exited(PsTask* task);

private:
    // A task whose program is on its way out; `rebuild` is its new section
    // ("" for a task that is gone).
    struct Stopping {
        PsTask* task;
        std::string rebuild;
    };

    // Why no reload can be taken now (none loaded, busy), or nullptr.
    const char* busy_reason() const;
    bool vetted(StagedIni& staged) const;
    void apply(StagedIni& staged, const ConfigDiff& diff);
    void apply_general(const StagedIni& staged, const ConfigDiff& diff);
    void apply_flags();
    void apply_actions(const ConfigDiff& diff);
    // Points every task and check at the actions the file now names.
    void repoint_actions();
    std::vector<CheckBase*> checks_of(const std::vector<std::string>& sections) const;
    void retire_checks(const std::vector<CheckBase*>& checks);
    // Built-in checks stay with the daemon when their section goes.
    bool predefined(const CheckBase* check) const;
    void build_checks(const std::vector<std::string>& sections);
    void apply_tasks(const SectionChanges& tasks);
    TaskOnSeq* task_of(const std::string& section) const;
    // Stops the task's program and forgets the task once it has exited (at
    // once when none runs); with a section, builds it anew from there.
    void retire_task(TaskOnSeq* task, const std::string& rebuild);
    void forget_task(TaskOnSeq* task);
    // Builds, registers and starts the task of the section; a rebuilt
    // process carries on with the counters of the one it replaces.
    void build_task(const std::string& section, const TaskCounters* carried);

    KeeperSrv& keeper;
    std::vector<Stopping> stopping;
    // The file read and what differs, from the decision until it is applied.
    std::unique_ptr<StagedIni> decided;
    ConfigDiff decided_diff;
    int apply_timer = -1;
};

#endif
