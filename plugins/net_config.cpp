// The network part of the model as clients see it: interface walks. Changes
// of interfaces, gateways and routes need the link layer and the route
// commands; until this build has them they are refused.
#include <cstring>

#include "plugins/sw_config_plugin.h"
#include "support/ev_debug.h"

keeperStatus SWConfigPlugin::get_if(ConfigAll& all) {
    const uint32_t position = all.cursor;
    memset(&all.data, 0, sizeof all.data);
    all.cursor = 0;
    if (position < ifCount) {
        all.data.netIf = ifTable[position];
        all.cursor = ifTable[position].id;
    }
    return KEEPER_OK;
}

void SWConfigPlugin::_fill_link_details(ConfigNetIf& entry) {
    // No link layer yet: capability mask and hardware address stay zero.
    entry.u.eth.supported = 0;
    memset(entry.u.eth.hwAddr, 0, sizeof entry.u.eth.hwAddr);
}

namespace {

keeperStatus refused(const char* operation) {
    EV_TRACE(DL_ERROR, "SWConfigPlugin::%s, not supported by this build", operation);
    return KEEPER_FAIL;
}

}  // namespace

keeperStatus SWConfigPlugin::set_if(ConfigNetIf*, int&) { return refused("set_if"); }
keeperStatus SWConfigPlugin::set_inb_gateway(uint32_t*) { return refused("set_inb_gateway"); }
keeperStatus SWConfigPlugin::set_oob_gateway(uint32_t*) { return refused("set_oob_gateway"); }
keeperStatus SWConfigPlugin::add_route(ConfigRoute*) { return refused("add_route"); }
keeperStatus SWConfigPlugin::del_route(ConfigRoute*) { return refused("del_route"); }
