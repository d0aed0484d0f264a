#include "keeper/config_reload.h"

#include <algorithm>

#include "keeper/actions.h"
#include "keeper/check_base.h"
#include "keeper/client_handler.h"
#include "keeper/ini_keeper.h"
#include "keeper/keeper_srv.h"
#include "keeper/ps_task.h"
#include "keeper/tasks.h"
#include "reactor/ev_engine.h"
#include "support/ev_debug.h"

// The INI file read apart from the running daemon: it registers nothing,
// and every task is only vetted, as start-up would judge it, then dropped.
class StagedIni : public iniKeeper_srv {
public:
    StagedIni(const char* path, KeeperSrv* keeper, TimerHandler* timers)
        : iniKeeper_srv(path, keeper, timers) {}

    const KeeperDesc& get_desc() const { return desc; }

protected:
    void take_desc(const KeeperDesc& d) override { desc = d; }
    void take_flag(const char*, bool) override {}
    void take_action(TaskSingle* action) override { delete action; }
    keeperStatus take_task(TaskOnSeq* task) override {
        const keeperStatus rc = task->vet();
        delete task;
        return rc;
    }
    // Checks are built only when the reload is applied: one that is not
    // valid never refuses a file.
    void _parse_check(const std::string&) override {}

private:
    KeeperDesc desc;
};

ConfigReload::ConfigReload(KeeperSrv& k) : keeper(k) {}

ConfigReload::~ConfigReload() {
    if (apply_timer >= 0) keeper.get_engine()->delTimer(apply_timer);
}

keeperStatus KeeperSrv::reload_config() {
    if (!reloader) reloader.reset(new ConfigReload(*this));
    return reloader->reload(ini_path);
}

void KeeperSrv::reload_on_signal() {
    const keeperStatus rc = reload_config();
    EV_TRACE(DL_NOTIFY, "KeeperSrv::reload_on_signal, SIGHUP: %s",
             rc == KEEPER_OK          ? "applied"
             : rc == KEEPER_NO_CHANGE ? "nothing to change"
                                      : "refused");
}

const char* ConfigReload::busy_reason() const {
    if (!keeper.ini) return "no INI file was loaded at start-up";
    if (keeper.is_shutting_down()) return "the daemon is shutting down";
    if (!keeper.boot.all_levels_started()) return "the boot sequence is still under way";
    if (decided || !stopping.empty()) return "the previous reload is still under way";
    return nullptr;
}

keeperStatus ConfigReload::reload(const std::string& path) {
    if (const char* reason = busy_reason()) {
        EV_TRACE(DL_WARNING, "KeeperSrv::reload_config, refused: %s", reason);
        return KEEPER_FAIL;
    }
    EV_TRACE(DL_NOTIFY, "KeeperSrv::reload_config, reading %s", path.c_str());
    std::unique_ptr<StagedIni> staged(new StagedIni(path.c_str(), &keeper, keeper.timer_handler));
    if (!vetted(*staged)) return KEEPER_FAIL;
    ConfigDiff diff = diff_config(*keeper.ini, *staged);
    if (!diff.any) {
        EV_TRACE(DL_NOTIFY, "KeeperSrv::reload_config, nothing changed");
        return KEEPER_NO_CHANGE;
    }
    decided = std::move(staged);
    decided_diff = std::move(diff);
    // Due at once: the loop's next pass applies it.
    EvEngine* engine = keeper.get_engine();
    apply_timer = engine->addTimer(static_cast<long>(engine->getClock().wallTime()), 1, this,
                                   &ConfigReload::apply_decided, nullptr, -1);
    return KEEPER_OK;
}

int ConfigReload::apply_decided(void*) {
    if (apply_timer >= 0) keeper.get_engine()->delTimer(apply_timer);
    apply_timer = -1;
    if (!decided) return 0;
    std::unique_ptr<StagedIni> staged = std::move(decided);
    if (keeper.is_shutting_down())
        EV_TRACE(DL_WARNING, "KeeperSrv::reload_config, dropped: the daemon is shutting down");
    else
        apply(*staged, decided_diff);
    return 0;
}

bool ConfigReload::vetted(StagedIni& staged) const {
    if (staged.parse_ini_file() == KEEPER_OK) return true;
    const char* why = !staged.get_dictionary()     ? "it is missing, empty or not valid INI text"
                      : staged.general_malformed() ? "a key of its general section is malformed"
                                                   : "an enabled must task is not valid";
    EV_TRACE(DL_ERROR, "KeeperSrv::reload_config, %s refused, nothing changed: %s",
             staged.get_path(), why);
    return false;
}

void ConfigReload::apply(StagedIni& staged, const ConfigDiff& diff) {
    // The running objects are found through the sections they were built
    // from, before the new file takes the place of the old one.
    std::vector<std::string> old_checks = diff.checks.removed;
    old_checks.insert(old_checks.end(), diff.checks.changed.begin(), diff.checks.changed.end());
    const std::vector<CheckBase*> retired = checks_of(old_checks);
    keeper.ini->swap_dictionary(staged);
    keeper.ini->read_task_defaults();
    apply_general(staged, diff);
    apply_flags();
    apply_actions(diff);
    retire_checks(retired);
    std::vector<std::string> new_checks = diff.checks.added;
    new_checks.insert(new_checks.end(), diff.checks.changed.begin(), diff.checks.changed.end());
    build_checks(new_checks);
    apply_tasks(diff.tasks);
    if (!diff.actions.empty()) repoint_actions();
    keeper.configuration_reloaded();
    // The reader and the builders ran once: their code need not stay.
    keeper.settle_memory();
    EV_TRACE(DL_NOTIFY,
             "KeeperSrv::reload_config, applied: tasks %zu new, %zu gone, %zu changed; checks %zu "
             "new, %zu gone, %zu changed",
             diff.tasks.added.size(), diff.tasks.removed.size(), diff.tasks.changed.size(),
             diff.checks.added.size(), diff.checks.removed.size(), diff.checks.changed.size());
}

void ConfigReload::apply_general(const StagedIni& staged, const ConfigDiff& diff) {
    for (const std::string& key : diff.restart_keys)
        EV_TRACE(DL_WARNING,
                 "KeeperSrv::reload_config, general key [%s] changed: a restart is needed to "
                 "apply it",
                 key.c_str());
    const std::string& metrics_file = staged.get_desc().metrics_file;
    if (metrics_file == keeper.desc.metrics_file) return;
    keeper.desc.metrics_file = metrics_file;
    keeper.start_metrics();
}

void ConfigReload::apply_flags() {
    std::vector<Flag*> old = keeper.flags, kept;
    for (const char* section : keeper.ini->sections()) {
        std::string name;
        bool enabled = false;
        if (ini_section_family(section) != INI_FLAGS ||
            !keeper.ini->read_flag(section, &name, &enabled))
            continue;
        auto same = std::find_if(old.begin(), old.end(),
                                 [&](Flag* flag) { return flag && name == flag->name; });
        if (same == old.end()) {
            kept.push_back(new Flag(name.c_str(), enabled));
            continue;
        }
        (*same)->enabled = enabled;
        kept.push_back(*same);
        *same = nullptr;
    }
    for (Flag* flag : old) delete flag;
    keeper.flags = kept;
}

void ConfigReload::apply_actions(const ConfigDiff& diff) {
    if (diff.actions.empty() || !keeper.actions) return;
    // The registry keeps the replaced objects: a run still under way ends
    // in an object that is still there.
    keeper.actions->forget_configured_actions();
    for (const char* section : keeper.ini->sections())
        if (ini_section_family(section) == INI_ACTIONS) keeper.ini->_parse_action(section);
}

void ConfigReload::repoint_actions() {
    const iniKeeper_srv& file = *keeper.ini;
    for (TaskOnSeq* task : keeper.owned_tasks)
        if (!task->get_section().empty())
            task->set_failure_action(file.named_action(task->get_section(), "action on failure"));
    for (auto& level : keeper.check_levels)
        for (CheckBase* check : level.second->get_checks())
            if (!check->get_section().empty()) file.bind_check_actions(check, check->get_section());
}

std::vector<CheckBase*> ConfigReload::checks_of(const std::vector<std::string>& sections) const {
    std::vector<CheckBase*> found;
    for (auto& level : keeper.check_levels)
        for (CheckBase* check : level.second->get_checks())
            if (std::find(sections.begin(), sections.end(), check->get_section()) != sections.end())
                found.push_back(check);
    return found;
}

void ConfigReload::retire_checks(const std::vector<CheckBase*>& checks) {
    for (CheckBase* check : checks) {
        const unsigned level = check->get_level();
        const bool was_holding = check->is_must() && check->check_status() != 0;
        check->stop();
        auto slot = keeper.check_levels.find(level);
        if (slot != keeper.check_levels.end()) slot->second->remove_check(check);
        // The levels above a failing must-check that is gone are let go.
        if (was_holding) keeper.resume_next_check(level);
        if (!predefined(check)) delete check;
    }
}

bool ConfigReload::predefined(const CheckBase* check) const {
    for (const auto& entry : keeper.predefined_checks)
        if (entry.second == check) return true;
    return false;
}

void ConfigReload::build_checks(const std::vector<std::string>& sections) {
    for (const std::string& section : sections) {
        keeper.ini->_parse_check(section);
        // Checks run once the boot sequence has finished; until then they
        // wait for it like every other.
        if (!keeper.boot_sequence_finished()) continue;
        for (CheckBase* check : checks_of({section})) check->add_to_timer();
    }
}

void ConfigReload::apply_tasks(const SectionChanges& tasks) {
    for (const std::string& section : tasks.removed)
        if (TaskOnSeq* task = task_of(section)) retire_task(task, "");
    for (const std::string& section : tasks.changed) {
        TaskOnSeq* task = task_of(section);
        if (task)
            retire_task(task, section);
        else
            build_task(section, nullptr);
    }
    for (const std::string& section : tasks.added) build_task(section, nullptr);
}

TaskOnSeq* ConfigReload::task_of(const std::string& section) const {
    for (TaskOnSeq* task : keeper.owned_tasks)
        if (task->get_section() == section) return task;
    return nullptr;
}

void ConfigReload::retire_task(TaskOnSeq* task, const std::string& rebuild) {
    PsTask* process = dynamic_cast<PsTask*>(task);
    if (process && !process->is_remote() && process->get_pid() != -1) {
        process->stop();
        stopping.push_back({process, rebuild});
        return;
    }
    TaskCounters counters;
    if (process) counters = process->get_counters();
    forget_task(task);
    if (!rebuild.empty()) build_task(rebuild, process ? &counters : nullptr);
}

void ConfigReload::task_exited(PsTask* task) {
    auto entry = std::find_if(stopping.begin(), stopping.end(),
                              [task](const Stopping& s) { return s.task == task; });
    if (entry == stopping.end()) return;
    // Started again meanwhile (a restart request): it has to go all the same.
    if (task->get_pid() != -1) {
        task->stop();
        return;
    }
    const std::string rebuild = entry->rebuild;
    stopping.erase(entry);
    const TaskCounters counters = task->get_counters();
    forget_task(task);
    // A stop of the daemon that began meanwhile starts nothing any more.
    if (!rebuild.empty() && !keeper.is_shutting_down()) build_task(rebuild, &counters);
    keeper.configuration_reloaded();
}

void ConfigReload::forget_task(TaskOnSeq* task) {
    EV_TRACE(DL_NOTIFY, "KeeperSrv::reload_config, task %s forgotten", task->get_name());
    auto level = keeper.task_levels.find(task->get_level());
    if (level != keeper.task_levels.end()) level->second->remove_task(task);
    if (PsTask* process = dynamic_cast<PsTask*>(task)) {
        if (ClientHandler* client = process->get_client()) client->set_task(nullptr);
        keeper.processes.remove_ps(process);
    }
    auto& owned = keeper.owned_tasks;
    owned.erase(std::remove(owned.begin(), owned.end(), task), owned.end());
    delete task;
}

void ConfigReload::build_task(const std::string& section, const TaskCounters* carried) {
    const size_t before = keeper.owned_tasks.size();
    keeper.ini->_parse_task(section);
    if (keeper.owned_tasks.size() == before) return;
    TaskOnSeq* task = keeper.owned_tasks.back();
    PsTask* process = dynamic_cast<PsTask*>(task);
    if (process && carried) process->get_counters() = *carried;
    // The boot sequence has started every level: a new task does not wait.
    if (task->is_valid()) task->run();
}
