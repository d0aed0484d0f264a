#include "plugins/stc_config_plugin.h"

#include <cstring>

#include "protocol/wire_text.h"
#include "support/ev_debug.h"

void STCConfigPluginX::init(PluginHost* daemon) {
    SWConfigPlugin::init(daemon);
    files.read_profile();
}

keeperStatus STCConfigPluginX::_update_sec_files(FileBatch& batch, int mask) {
    const keeperStatus status = SWConfigPlugin::_update_sec_files(batch, mask);
    if (status != KEEPER_OK || !(mask & SEC_CHANGED_SHELL_TIMEOUT)) return status;
    return files.write_profile(batch);
}

void STCConfigPluginX::_get_conf(GeneralMsg& msg) {
    KeeperConfigMsg& req = msg.payload.config;
    if (req.cmd != CONFIG_DEV_MODE) return SWConfigPlugin::_get_conf(msg);
    memset(&req.data.data, 0, sizeof req.data.data);
    const std::string mode = _dev_mode();
    setWireText(reinterpret_cast<char*>(req.data.data.raw), sizeof req.data.data.raw, mode.c_str());
    req.status = KEEPER_OK;
}

void STCConfigPluginX::_set_conf(GeneralMsg& msg) {
    KeeperConfigMsg& req = msg.payload.config;
    if (req.cmd != CONFIG_DEV_MODE) return SWConfigPlugin::_set_conf(msg);
    char mode[sizeof req.data.data.raw + 1] = {};
    memcpy(mode, req.data.data.raw, sizeof req.data.data.raw);
    req.status = _set_dev_mode(mode);
    // The mode is announced by nobody: no change event.
    msg.eventGrp = EVENT_GRP_NONE;
}

std::string STCConfigPluginX::_dev_mode() const { return daemon_ ? daemon_->dev_mode() : ""; }

keeperStatus STCConfigPluginX::_set_dev_mode(const char* mode) {
    if (!daemon_) return KEEPER_FAIL;
    const keeperStatus status = daemon_->set_dev_mode(mode);
    EV_TRACE(DL_NOTIFY, "STCConfigPluginX::_set_dev_mode, %s: %d", mode, status);
    return status;
}
