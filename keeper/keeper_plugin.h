// The interface through which the supervisor reaches its plug-ins; the
// configuration plug-in derives from it.
#ifndef KEEPER_KEEPER_PLUGIN_H
#define KEEPER_KEEPER_PLUGIN_H

#include <list>

#include "protocol/keeper_msg.h"

class KeeperSrv;

enum pluginType { PLUGIN_CONFIG = 1 };

// Event group a plug-in leaves in a KEEPER_SET_CONFIG message whose change is
// published to nobody.
constexpr uint32_t EVENT_GRP_NONE = EVENT_GRP_LIMIT;

// "Pligin" as the system's interface spells it.
class KeeperBasePligin {
public:
    virtual ~KeeperBasePligin() = default;
    virtual keeperStatus handleRequest(GeneralMsg& msg) = 0;
    virtual void init(KeeperSrv* srv) { keeper = srv; }
    virtual void on_timer(void*) {}
    virtual void get_next_cpu_usage() {}
    // The time servers, as the plug-in's own records (their status word is
    // the second word): valid until the plug-in's server list next changes.
    virtual bool get_ntp_list(std::list<ConfigAll*>&) { return false; }
    // Whether some time server answered the last probe.
    virtual bool reach_ntp_srv() const { return false; }

protected:
    KeeperSrv* keeper = nullptr;
};

#endif
