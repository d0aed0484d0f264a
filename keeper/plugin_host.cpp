#include "keeper/plugin_host.h"

#include <utility>

#include "keeper/task_host.h"
#include "reactor/ev_engine.h"
#include "support/ev_debug.h"

DaemonPluginHost::~DaemonPluginHost() {
    for (const Pending& waiting : pending) engine->delTimer(waiting.timer);
}

void DaemonPluginHost::publish(unsigned group, unsigned code, void* data, unsigned len) {
    keeper.send_event(group, code, data, len);
}

void DaemonPluginHost::schedule(long delay, std::function<void()> call) {
    pending.push_back(Pending{-1, std::move(call)});
    Pending& added = pending.back();
    added.timer = engine->addTimer(delay, this, &DaemonPluginHost::fire, &added, -1);
    if (added.timer >= 0) return;
    EV_TRACE(DL_ERROR, "DaemonPluginHost::schedule, no timer for a call in %ld s", delay);
    pending.pop_back();
}

int DaemonPluginHost::fire(void* arg) {
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (&*it != arg) continue;
        std::function<void()> call = std::move(it->call);
        pending.erase(it);
        call();
        break;
    }
    return 0;
}

void DaemonPluginHost::request_reboot() {
    keeper.shutdown(
        new KeeperCommand{COMMAND_REBOOT, SHUTDOWN_DELAY, keeper.get_shutdown_delays().reboot});
}

std::string DaemonPluginHost::dev_mode() const { return keeper.get_dev_mode(); }

keeperStatus DaemonPluginHost::set_dev_mode(const char* mode) { return keeper.set_dev_mode(mode); }

int DaemonPluginHost::start(ProgramRunner::Job job) {
    return keeper.get_runner().start(std::move(job));
}

PendingReplies& DaemonPluginHost::pending_replies() { return replies; }
