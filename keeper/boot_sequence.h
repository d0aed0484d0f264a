// The boot sequence: task levels started in ascending order, each once the
// one below is complete, and the check levels that run after it, where a
// failing must-check holds the levels above its own.
#ifndef KEEPER_BOOT_SEQUENCE_H
#define KEEPER_BOOT_SEQUENCE_H

#include <map>

#include "protocol/keeper_msg.h"

class CheckBase;
class CheckLevel;
class TaskHost;
class TaskLevel;
class TaskOnSeq;

class BootSequence {
public:
    using TaskLevels = std::map<unsigned, TaskLevel*>;
    using CheckLevels = std::map<unsigned, CheckLevel*>;

    // The levels stay with their owner, who creates and deletes them.
    BootSequence(TaskHost* host, TaskLevels& tasks, CheckLevels& checks);
    BootSequence(const BootSequence&) = delete;
    BootSequence& operator=(const BootSequence&) = delete;

    keeperStatus add_task(TaskOnSeq* task, unsigned level);
    // A check of a name already placed is not placed again.
    keeperStatus add_check(CheckBase* check, unsigned level);
    CheckBase* find_check(const char* name) const;

    // Starts the lowest level and as many above it as are complete at once.
    void start();
    // Goes on with the levels whose turn has come; at the end the checks run.
    void run();
    // The level's tasks are complete: the next level may start.
    void update_next_level(unsigned level);
    // Puts every check level on its timer.
    void init_checks();
    bool finished() const { return !not_finished; }
    // Every level that is to run has started (it may still wait for its
    // tasks to confirm).
    bool all_levels_started() const { return started && cur_level == end_level; }
    // The highest level whose tasks were run, -1 before the first.
    long reached_level() const { return reached; }
    // The levels were deleted: nothing is left to run.
    void forget_levels();

    void resume_next_check(unsigned level);
    void skip_next_check(unsigned level);
    bool lower_must_check_running(unsigned level) const;
    void run_waiting_checks(unsigned level);

private:
    // On the first run: the end is the level after the last enabled one.
    void find_end();
    void run_levels();
    void finish();

    TaskHost* host;
    TaskLevels& task_levels;
    CheckLevels& check_levels;
    TaskLevels::iterator cur_level;
    TaskLevels::iterator end_level;
    unsigned last_enabled_level = 0;
    bool started = false;
    bool first_run = true;
    bool not_finished = true;
    long reached = -1;
};

#endif
