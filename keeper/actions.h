// Named actions that tasks and checks run on failure, success or time-out.
#ifndef KEEPER_ACTIONS_H
#define KEEPER_ACTIONS_H

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "keeper/tasks.h"

class NoAction : public TaskSingle {
public:
    explicit NoAction(TaskHost* keeper);
    keeperStatus run(void*) override { return KEEPER_OK; }
};

// Disables the task that triggered it.
class StopAction : public TaskSingle {
public:
    explicit StopAction(TaskHost* keeper);
    keeperStatus run(void* task) override;
};

// Leaves the bad-boot marker and reboots the host.
class SwBootAction : public TaskSingle {
public:
    explicit SwBootAction(TaskHost* keeper);
    keeperStatus run(void*) override;
};

class ActionHandler {
public:
    ActionHandler();
    virtual ~ActionHandler();
    ActionHandler(const ActionHandler&) = delete;
    ActionHandler& operator=(const ActionHandler&) = delete;

    virtual void register_predefined_actions();
    virtual void init(TaskHost* keeper);

    // Stores the action under its name, replacing any of that name; the
    // registry keeps every action it was given until it is destroyed, since
    // tasks may still refer to a replaced one.
    void register_action(TaskSingle* action);
    // The action of that name, or the "None" action.
    TaskSingle* get_action(const char* name) const;
    // Only the predefined actions are found by name again; the objects stay
    // with the registry for whoever still refers to them.
    void forget_configured_actions();

private:
    struct NameHash {
        size_t operator()(const std::string& name) const;
    };

    TaskHost* keeper;
    std::unordered_map<std::string, TaskSingle*, NameHash> actions;
    std::vector<std::unique_ptr<TaskSingle>> owned;
};

#endif
