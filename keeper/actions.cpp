#include "keeper/actions.h"

#include <fcntl.h>
#include <unistd.h>

#include "keeper/task_host.h"
#include "support/appliance.h"
#include "support/ev_debug.h"

namespace {
const size_t kMinBuckets = 100;

void name_action(TaskSingle* action, const char* name) {
    action->set_name(name);
    action->set_exec(name);
}
}  // namespace

NoAction::NoAction(TaskHost* k) : TaskSingle(k, nullptr) { name_action(this, "None"); }

StopAction::StopAction(TaskHost* k) : TaskSingle(k, nullptr) { name_action(this, "Stop"); }

keeperStatus StopAction::run(void* task) {
    if (task) {
        EV_TRACE(DL_ERROR, "Stopping process.");
        static_cast<TaskOnSeq*>(task)->set_enabled(false);
    }
    return KEEPER_OK;
}

SwBootAction::SwBootAction(TaskHost* k) : TaskSingle(k, nullptr) { name_action(this, "Boot"); }

keeperStatus SwBootAction::run(void*) {
    EV_TRACE(DL_TRACE, "Running swBootAction");
    int fd = open(KP_SW_BAD_BOOT_FILE, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
    if (keeper)
        keeper->shutdown(new KeeperCommand{COMMAND_REBOOT, SHUTDOWN_STOP,
                                           keeper->get_shutdown_delays().stop_grace});
    return KEEPER_OK;
}

size_t ActionHandler::NameHash::operator()(const std::string& name) const {
    size_t h = 0;
    for (char c : name) h = 5 * h + static_cast<size_t>(static_cast<signed char>(c));
    return h;
}

ActionHandler::ActionHandler() : keeper(nullptr) { actions.reserve(kMinBuckets); }

ActionHandler::~ActionHandler() = default;

void ActionHandler::init(TaskHost* k) {
    keeper = k;
    register_predefined_actions();
}

void ActionHandler::register_predefined_actions() {
    register_action(new NoAction(keeper));
    register_action(new StopAction(keeper));
    register_action(new SwBootAction(keeper));
}

void ActionHandler::register_action(TaskSingle* action) {
    owned.emplace_back(action);
    actions[action->get_name()] = action;
}

TaskSingle* ActionHandler::get_action(const char* name) const {
    auto it = actions.find(name ? name : "");
    if (it != actions.end()) return it->second;
    it = actions.find("None");
    return it == actions.end() ? nullptr : it->second;
}

void ActionHandler::forget_configured_actions() {
    actions.clear();
    register_predefined_actions();
}
