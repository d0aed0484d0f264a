// Units of work of the supervisor: a named command (TaskSingle), a unit that
// takes part in the boot sequence (TaskOnSeq) and one boot level (TaskLevel).
#ifndef KEEPER_TASKS_H
#define KEEPER_TASKS_H

#include <functional>
#include <string>
#include <vector>

#include "keeper/task_output.h"
#include "protocol/keeper_msg.h"

class TaskHost;
class TimerHandler;
class CallbackBase;
struct RunOutcome;

enum implementType {
    IMPLEMENT_INTERNAL = 0,  // a callback inside the daemon
    IMPLEMENT_APP = 1,       // a program run through the shell
    IMPLEMENT_INVALID = 2
};

// A text of a task's command line, cut to 2047 characters like the wire
// fields that carry it. It is kept on the heap at its own length: thousands
// of tasks must not each hold the limit four times over.
class TaskText {
public:
    static const size_t kMax = 2047;
    void set(const char* text);
    void set(const std::string& text) { set(text.c_str()); }
    void clear() { text.clear(); }
    bool empty() const { return text.empty(); }
    const char* c_str() const { return text.c_str(); }
    operator const char*() const { return text.c_str(); }

private:
    std::string text;
};

// Task-type bit of a program that is not in the table of known programs.
const unsigned TASK_TYPE_OTHER = 256;

// Task-type bit of a known executable name, or TASK_TYPE_OTHER.
unsigned known_program_type(const char* exec);

class TaskSingle {
public:
    // Result of one run, on the loop: at once for a callback, when the
    // program has ended for an App.
    using RunDone = std::function<void(keeperStatus)>;

    TaskSingle(TaskHost* keeper, TimerHandler* timers);
    virtual ~TaskSingle();
    TaskSingle(const TaskSingle&) = default;
    TaskSingle& operator=(const TaskSingle&) = delete;

    virtual void set_args(const char* text);
    virtual keeperStatus validate();
    // Runs the unit once. An App is started and not waited for: the answer
    // says whether it started.
    virtual keeperStatus run(void* arg);
    virtual void set_implement(implementType impl) { implement = impl; }
    virtual void set_implement(const char* word);

    void set_name(const char* text);
    void set_exec(const char* text);
    void change_exec(const char* text);
    void set_location(const char* text);
    void set_cmd();

    const char* get_name() const { return name; }
    const char* get_exec() const { return exec; }
    const char* get_args() const { return args; }
    const char* get_exec_path() const { return exec_path; }
    const char* get_command() const { return command; }
    implementType get_implement() const { return implement; }
    unsigned get_type() const { return type; }
    bool is_valid() const { return valid; }
    // Whether a program this unit started is still running.
    bool run_in_flight() const;
    TaskHost* get_keeper() const { return keeper; }
    TimerHandler* get_timer_handler() const { return timer_handler; }

protected:
    // SIGKILL to every copy of this command line left running by an earlier
    // daemon: `copies` are the processes with the same program and arguments;
    // a child of this daemon among them is spared. `origin` names the caller
    // in the trace.
    void kill_stale_copies(const std::vector<int>& copies, const char* origin) const;
    // Traces the attempt, validates the unit and starts its composed command
    // line through the shell; `done` gets the result when it has ended.
    // KEEPER_FAIL when it is not valid or could not start.
    keeperStatus start_app(RunDone done);
    void trace_attempt() const;
    // Starts `line` through the shell with that deadline. A run of this unit
    // still going is stopped first: two copies of one action or task never
    // run side by side. False when it could not start (done is not called).
    // The program's standard output and error are out_fd and err_fd (-1:
    // /dev/null).
    bool start_shell(const char* line, long deadline, std::function<void(const RunOutcome&)> done,
                     int out_fd = -1, int err_fd = -1);
    // Where the output of the program start_app runs goes (-1: /dev/null, as
    // for checks and actions).
    virtual void route_output(int& out_fd, int& err_fd);
    // Seconds a run of the command may take.
    virtual long run_deadline() const;

    TaskText location;
    implementType implement;
    CallbackBase* callback;
    bool valid;
    TaskText command;
    char name[100];
    char exec[100];
    TaskText args;
    TaskText exec_path;
    unsigned type;
    TaskHost* keeper;
    TimerHandler* timer_handler;
    // The unit's program on the daemon's runner; a copy of the unit has none.
    struct RunSlot {
        int id = -1;
        RunSlot() = default;
        RunSlot(const RunSlot&) {}
        RunSlot& operator=(const RunSlot&) { return *this; }
    } run_slot;
};

class TaskOnSeq : public TaskSingle {
public:
    TaskOnSeq(TaskHost* keeper, TimerHandler* timers);
    TaskOnSeq(const TaskOnSeq&) = default;

    using TaskSingle::run;
    keeperStatus validate() override;
    virtual keeperStatus run();
    virtual keeperStatus stop() { return keeperStatus(2); }
    virtual void set_must(bool m);
    virtual keeperStatus add_to_manager();
    // Whether a file holding this unit may be loaded, as add_to_manager
    // decides it, but with no effect on the daemon: the unit joins no level
    // and no failure action runs.
    virtual keeperStatus vet();
    virtual unsigned check_status() { return status; }

    keeperStatus set_permanent_mode(bool enable, bool apply);

    // Where the program's standard output and error go; a bad mode leaves
    // the task invalid.
    void set_output(const OutputConfig& config) { output.config = config; }
    const OutputConfig& get_output_config() const { return output.config; }
    // The capture of a task whose output is logged, once its program has
    // started; null otherwise.
    const TaskOutput* get_output() const { return output.capture(); }

    // The INI section the unit was built from ("" for one built otherwise):
    // its name may differ from the unit's name, which is the way back to it.
    void set_section(const std::string& s) { section = s; }
    const std::string& get_section() const { return section; }
    void set_level(unsigned l) { level = l; }
    void set_enabled(bool e) { enabled = e; }
    void set_active_on_bypass(bool a) { active_on_bypass = a; }
    void set_failure_action(TaskSingle* action) { failure_action = action; }

    unsigned get_level() const { return level; }
    bool is_enabled() const { return enabled; }
    bool is_must() const { return must; }
    bool is_active_on_bypass() const { return active_on_bypass; }
    TaskSingle* get_failure_action() const { return failure_action; }

protected:
    // An explicit enable-and-run request is about to run the unit; a process
    // forgets here that it was stopped on purpose.
    virtual void prepare_explicit_run() {}
    // Runs the failure action (if any) with the given argument.
    void run_failure_action(void* arg);
    // Whether the supervisor's system mode lets this unit run.
    bool mode_allows_run() const;
    // Whether the supervisor has begun to shut down (traced: nothing starts).
    bool refused_by_shutdown() const;
    // A boot step's program has ended: the level may go on, or the failure
    // action runs.
    void boot_run_ended(keeperStatus rc);
    void route_output(int& out_fd, int& err_fd) override;

    bool must;
    unsigned level;
    bool enabled;
    bool active_on_bypass;
    TaskSingle* failure_action;
    unsigned status;
    std::string section;
    // Kept across runs: the pipes of a logged output outlive each program.
    OutputRoute output;
};

class TaskLevel {
public:
    keeperStatus run_tasks();
    bool check_level_status();
    bool is_enabled() const;
    TaskOnSeq* find_task_by_name(const char* name) const;

    void add_task(TaskOnSeq* task) { tasks.push_back(task); }
    // Forgets a task that is about to be deleted.
    void remove_task(TaskOnSeq* task);
    void activate() { activated = true; }
    bool is_activated() const { return activated; }
    const std::vector<TaskOnSeq*>& get_tasks() const { return tasks; }

private:
    std::vector<TaskOnSeq*> tasks;
    bool activated = false;
    bool complete = false;
};

#endif
