// A daemon stand-in for the unit tests of tasks, checks, actions and the boot
// sequence: it records what they ask of it and answers from plain fields.
#ifndef KEEPER_FAKE_TASK_HOST_H
#define KEEPER_FAKE_TASK_HOST_H

#include <sys/wait.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "keeper/program_runner.h"
#include "keeper/ps_list.h"
#include "keeper/task_host.h"
#include "keeper/tasks.h"
#include "protocol/keeper_records.h"
#include "reactor/ev_engine.h"

class FakeTaskHost : public TaskHost {
public:
    struct Event {
        unsigned group;
        unsigned id;
        std::string data;
    };

    FakeTaskHost() = default;
    FakeTaskHost(const FakeTaskHost&) = delete;
    FakeTaskHost& operator=(const FakeTaskHost&) = delete;
    // The runner's descriptors go with the engine, before the runner.
    ~FakeTaskHost() override { engine.releaseAll(); }

    // Waits for the programs the runner started, as the daemon's loop would
    // be woken for them, until none is left.
    void settle_runs() {
        int status;
        pid_t pid;
        while (runner.running_count() > 0 && (pid = waitpid(-1, &status, 0)) > 0)
            runner.child_exited(pid, status);
    }

    keeperStatus send_event(unsigned group, unsigned id, void* data, unsigned len) override {
        events.push_back(Event{group, id, std::string(static_cast<const char*>(data), len)});
        return KEEPER_OK;
    }
    keeperStatus add_task_to_mgr(TaskOnSeq* task, unsigned level) override {
        tasks.emplace_back(task, level);
        return KEEPER_OK;
    }
    keeperStatus add_check_to_mgr(CheckBase* check, unsigned level) override {
        checks.emplace_back(check, level);
        return KEEPER_OK;
    }
    void update_next_level(unsigned level) override { next_levels.push_back(level); }
    void run_boot_sequence() override { ++boot_runs; }
    void handle_seq_end() override { ++seq_ends; }
    void settle_memory() override {}
    void resume_next_check(unsigned level) override { resumed.push_back(level); }
    void skip_next_check(unsigned level) override { skipped.push_back(level); }
    bool lower_must_check_running(unsigned) const override { return lower_must_running; }
    void run_waiting_checks(unsigned level) override { waiting_released.push_back(level); }
    CallbackBase* find_cb_by_name(const char*) const override { return nullptr; }
    PsTask* find_ps_by_pid(int pid) const override { return processes.find_ps_by_pid(pid); }
    KeeperBasePligin* get_plugin(pluginType) const override { return plugin; }
    keeperStatus add_process(PsTask* task) override { return processes.add_ps_to_list(task); }
    PsList& get_ps_list() override { return processes; }
    ProgramRunner& get_runner() override { return runner; }
    void watch_child(pid_t) override {}
    int get_system_mode() override { return system_mode; }
    int shutdown(void* cmd) override {
        std::unique_ptr<KeeperCommand> owned(static_cast<KeeperCommand*>(cmd));
        shutdowns.push_back(*owned);
        return 0;
    }
    bool is_shutting_down() const override { return shutting_down; }
    const ShutdownDelays& get_shutdown_delays() const override { return delays; }
    bool run_plugin_work() override {
        ++plugin_work;
        return plugin != nullptr;
    }
    keeperStatus fups_management() override {
        ++fups_runs;
        return KEEPER_OK;
    }
    const char* get_dev_mode() const override { return dev_mode.c_str(); }
    keeperStatus set_dev_mode(const char* mode) override {
        dev_mode = mode;
        return KEEPER_OK;
    }

    // Answers.
    bool lower_must_running = false;
    int system_mode = 1;
    bool shutting_down = false;
    ShutdownDelays delays;
    KeeperBasePligin* plugin = nullptr;
    PsList processes;
    EvEngine engine;
    ProgramRunner runner{&engine};
    std::string dev_mode;

    // Records.
    std::vector<Event> events;
    std::vector<std::pair<TaskOnSeq*, unsigned>> tasks;
    std::vector<std::pair<CheckBase*, unsigned>> checks;
    std::vector<unsigned> next_levels;
    std::vector<unsigned> resumed;
    std::vector<unsigned> skipped;
    std::vector<unsigned> waiting_released;
    std::vector<KeeperCommand> shutdowns;
    int boot_runs = 0;
    int seq_ends = 0;
    int plugin_work = 0;
    int fups_runs = 0;
};

// An action that counts its runs and keeps the argument of the last one.
class RecordingAction : public TaskSingle {
public:
    explicit RecordingAction(const char* n = "recorded") : TaskSingle(nullptr, nullptr) {
        set_name(n);
    }
    keeperStatus run(void* arg) override {
        ++runs;
        last_arg = arg;
        return KEEPER_OK;
    }

    int runs = 0;
    void* last_arg = nullptr;
};

#endif
