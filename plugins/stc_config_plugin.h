// The device variant of the configuration plug-in, the one the daemon
// creates: adds the device mode and the shell time-out of the
// administrator's login profile.
#ifndef PLUGINS_STC_CONFIG_PLUGIN_H
#define PLUGINS_STC_CONFIG_PLUGIN_H

#include "plugins/sw_config_plugin.h"

class STCConfigPluginX : public SWConfigPlugin {
public:
    using SWConfigPlugin::SWConfigPlugin;

    void init(PluginHost* host) override;
    // Adds the login profile for a new shell time-out.
    keeperStatus _update_sec_files(FileBatch& batch, int mask) override;
    void _get_conf(GeneralMsg& msg) override;
    void _set_conf(GeneralMsg& msg) override;

protected:
    // The device mode is kept by the daemon's INI model; these reach it.
    // The current mode ("" when none was chosen), and choosing it.
    virtual std::string _dev_mode() const;
    virtual keeperStatus _set_dev_mode(const char* mode);
};

#endif
