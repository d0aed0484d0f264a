// The daemon as its plug-ins see it: the PluginHost that KeeperSrv owns and
// hands to every plug-in it registers.
#ifndef KEEPER_PLUGIN_HOST_H
#define KEEPER_PLUGIN_HOST_H

#include <list>

#include "keeper/keeper_plugin.h"
#include "reactor/ev_handler.h"

class EvEngine;
class TaskHost;

// EvHandler first: the engine calls the timer callback through an
// EvHandler pointer, which then needs no adjustment to reach the object.
class DaemonPluginHost : public EvHandler, public PluginHost {
public:
    DaemonPluginHost(TaskHost& keeper, PendingReplies& replies, EvEngine* engine)
        : keeper(keeper), replies(replies), engine(engine) {}
    // Takes back the calls still waiting for their timer.
    ~DaemonPluginHost() override;
    DaemonPluginHost(const DaemonPluginHost&) = delete;
    DaemonPluginHost& operator=(const DaemonPluginHost&) = delete;

    void publish(unsigned group, unsigned code, void* data, unsigned len) override;
    void schedule(long delay, std::function<void()> call) override;
    void request_reboot() override;
    std::string dev_mode() const override;
    keeperStatus set_dev_mode(const char* mode) override;
    int start(ProgramRunner::Job job) override;
    PendingReplies& pending_replies() override;

private:
    struct Pending {
        int timer;
        std::function<void()> call;
    };
    // The timer callback: runs and forgets one pending call.
    int fire(void* pending);

    TaskHost& keeper;
    PendingReplies& replies;
    EvEngine* engine;
    std::list<Pending> pending;
};

#endif
