// The interface through which the supervisor reaches its plug-ins, and the
// narrow one through which a plug-in reaches the supervisor; the
// configuration plug-in derives from the first.
#ifndef KEEPER_KEEPER_PLUGIN_H
#define KEEPER_KEEPER_PLUGIN_H

#include <functional>
#include <list>
#include <string>

#include "keeper/pending_replies.h"
#include "keeper/program_runner.h"
// The jobs of appliance scripts that a plug-in hands to PluginHost::start.
#include "keeper/script_job.h"
#include "protocol/keeper_msg.h"

enum pluginType { PLUGIN_CONFIG = 1 };

// Event group a plug-in leaves in a KEEPER_SET_CONFIG message whose change is
// published to nobody.
constexpr uint32_t EVENT_GRP_NONE = EVENT_GRP_LIMIT;

// What a plug-in asks of the daemon that hosts it.
class PluginHost {
public:
    virtual ~PluginHost() = default;
    // Publishes an event to the daemon's subscribers.
    virtual void publish(unsigned group, unsigned code, void* data, unsigned len) = 0;
    // Calls `call` once, `delay` seconds later, on the daemon's loop.
    virtual void schedule(long delay, std::function<void()> call) = 0;
    // Stops the tasks and reboots the appliance after the daemon's reboot
    // delay.
    virtual void request_reboot() = 0;
    // The device mode, "" until one is chosen or on a daemon without modes.
    virtual std::string dev_mode() const = 0;
    // Chooses the device mode: KEEPER_FAIL on a daemon without modes.
    virtual keeperStatus set_dev_mode(const char* mode) = 0;
    // Starts a host program without waiting for it: the run's id, -1 when
    // it could not start.
    virtual int start(ProgramRunner::Job job) = 0;
    // Replies deferred until a program ends.
    virtual PendingReplies& pending_replies() = 0;
};

// "Pligin" as the system's interface spells it.
class KeeperBasePligin {
public:
    virtual ~KeeperBasePligin() = default;
    virtual keeperStatus handleRequest(GeneralMsg& msg) = 0;
    virtual void init(PluginHost* host) { daemon_ = host; }
    virtual void on_timer(void*) {}
    // The time servers, as the plug-in's own records (their status word is
    // the second word): valid until the plug-in's server list next changes.
    virtual bool get_ntp_list(std::list<ConfigAll*>&) { return false; }
    // Whether some time server answered the last probe.
    virtual bool reach_ntp_srv() const { return false; }

protected:
    PluginHost* daemon_ = nullptr;
};

#endif
