// Periodic checks grouped by level. A check runs on its own timer once the
// boot sequence has finished; the results are turned into failing episodes,
// with an action at the start of an episode, one when it has lasted longer
// than the check's timeout, and one when it ends. A failing must-check holds
// the checks of every higher level.
#ifndef KEEPER_CHECK_BASE_H
#define KEEPER_CHECK_BASE_H

#include <string>
#include <vector>

#include "keeper/task_status.h"
#include "keeper/tasks.h"

class CheckBase : public TaskOnSeq {
public:
    CheckBase(TaskHost* keeper, TimerHandler* timers);

    using TaskOnSeq::run;
    // Every run of every check passes here, so all are counted alike: one
    // that may not run now is a skipped run.
    keeperStatus run() final;
    keeperStatus stop() override;
    void set_must(bool m) override { must = m; }
    keeperStatus add_to_manager() override;

    virtual bool check_can_run();
    virtual keeperStatus init() { return KEEPER_OK; }
    virtual keeperStatus reinit(const char* new_args);
    virtual void set_action_on_success(TaskSingle* action) { success_action = action; }
    virtual void set_action_on_timeout(TaskSingle* action) { timeout_action = action; }
    virtual void set_interval(unsigned seconds) { interval = seconds; }
    virtual void set_timeout(unsigned seconds) { timeout = seconds; }
    // Seconds a run of the check's program may take; 0: its interval.
    void set_run_timeout(unsigned seconds) { run_timeout = seconds; }
    virtual void add_to_timer();
    virtual void skip_next();
    virtual void resume_next();
    virtual void skip() { active = false; }
    virtual void resume() { active = true; }
    // Appends the check's settings as text, one "name:value" group a line.
    virtual void dump(std::string& out) const;

    // A run put off while a must-check of a lower level was still running
    // takes place now.
    void run_if_waiting();

    // The dump and an empty line, for the trace.
    std::string asString() const;
    unsigned get_interval() const { return interval; }
    unsigned get_timeout() const { return timeout; }
    unsigned get_run_timeout() const { return run_timeout; }
    bool is_active() const { return active; }
    const CheckCounters& get_counters() const { return counters; }
    int get_timer() const { return check_timer; }
    TaskSingle* get_success_action() const { return success_action; }
    TaskSingle* get_timeout_action() const { return timeout_action; }

protected:
    long run_deadline() const override;
    // One run of a check that may run now: it calls begin_run() and, at once
    // or when its program or probe is over, end_run(); a run it cannot take
    // now is skip_run().
    virtual void run_once();
    // A run begins: counted, with the loop's clock.
    void begin_run();
    // The run begun last is over, its duration counted.
    void end_run(bool failed) { counters.finished(failed); }
    void skip_run() { ++counters.skipped; }

    bool active;
    unsigned interval;
    unsigned timeout;
    int check_timer;
    TaskSingle* success_action;
    TaskSingle* timeout_action;
    // Start of the current failing episode, in seconds of uptime: setting the
    // wall clock must neither fire nor delay a timeout.
    long failing_since;
    bool timeout_fired;
    unsigned run_timeout = 0;
    bool waiting_for_lower = false;
    CheckCounters counters;

private:
    // One run's result turned into the episode handling.
    void take_result(keeperStatus rc);
    void on_failure();
    void on_success();
    void run_action(TaskSingle* action, const char* fmt);
};

class CheckLevel {
public:
    void add_check(CheckBase* check) { checks.push_back(check); }
    // Forgets a check that is about to be deleted or placed anew.
    void remove_check(CheckBase* check);
    void add_to_timer();
    void skip();
    void resume();
    CheckBase* get_check(const char* name) const;
    CheckBase* get_check_args(const char* name, const char* args) const;
    bool check_level_status() const;
    const std::vector<CheckBase*>& get_checks() const { return checks; }

    // Whether this level holds the levels above it: set when one of its
    // must-checks starts failing, cleared once the whole level is healthy.
    bool is_holding() const { return holding; }
    void set_holding(bool h) { holding = h; }

private:
    std::vector<CheckBase*> checks;
    bool holding = false;
};

#endif
