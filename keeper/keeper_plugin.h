// The interface through which the supervisor reaches its plug-ins; the
// configuration plug-in derives from it.
#ifndef KEEPER_KEEPER_PLUGIN_H
#define KEEPER_KEEPER_PLUGIN_H

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

protected:
    KeeperSrv* keeper = nullptr;
};

#endif
