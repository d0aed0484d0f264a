// vardo: the process supervisor of the appliance.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keeper/actions.h"
#include "keeper/shutdown_delays.h"
#include "keeper/signals.h"
#include "keeper/stc_keeper_srv.h"
#include "plugins/stc_config_plugin.h"
#include "reactor/ev_engine.h"
#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/proc_utils.h"
#include "support/service_notify.h"
#include "support/spawn.h"

EvEngine gReactor;

namespace {

// A task whose output is logged holds five descriptors (two pipes and its
// log): a thousand of them pass the usual soft limit of 1024.
void raise_file_limit() {
    if (const int error = Com_raiseFileLimit())
        EV_TRACE(DL_WARNING, "vardo, open-file limit not raised: %s", strerror(error));
}

}  // namespace

int main() {
    SetSignalHandlers();
    Com_takeNotifySocket();
    const std::string home = Com_appHome();
    EvDebug::setConfPath("vardo", home.c_str());
    raise_file_limit();
    ActionHandler actions;
    std::string confDir = home + "/" + APP_CONF_SUBDIR + "/";

    stcKeeperSrv* keeper = new stcKeeperSrv(&gReactor);
    keeper->get_child_notifier().init(&gReactor, keeper);
    keeper->get_children().init(&gReactor);
    stcKeeper = keeper;
    keeper->set_shutdown_delays(daemon_shutdown_delays());
    if (keeper->init(&actions, confDir.c_str()) != 0) {
        delete keeper;
        return 1;
    }
    keeper->registerPlugin(PLUGIN_CONFIG, new STCConfigPluginX(APP_RC_CONF, confDir.c_str()));
    keeper->run(false);
    EV_TRACE(DL_NOTIFY, "vardo has left the building.");
    shutdown();
    delete keeper;
    return 0;
}
