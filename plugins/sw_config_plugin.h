// The appliance's configuration plug-in: keeps the system configuration in
// memory (host, gateways, interfaces, routes, name and time servers, access
// list, security switches, version), answers the daemon's configuration
// requests from it, and on every change rewrites the files the appliance's
// services read and runs the scripts that apply them.
#ifndef PLUGINS_SW_CONFIG_PLUGIN_H
#define PLUGINS_SW_CONFIG_PLUGIN_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "keeper/keeper_plugin.h"
#include "plugins/config_model.h"
#include "plugins/net_applier.h"
#include "plugins/rc_conf.h"
#include "plugins/resource_usage.h"
#include "plugins/service_files.h"
#include "protocol/keeper_records.h"

// Starts a program without waiting for it (ProgramRunner::start of the
// daemon): the run's id, -1 when it could not start.
using JobStarter = std::function<int(ProgramRunner::Job job)>;
// The final status of a request from the outcome of its program.
using OutcomeStatus = std::function<keeperStatus(const RunOutcome& outcome)>;

class SWConfigPlugin : public KeeperBasePligin {
public:
    SWConfigPlugin(const char* cfgFile, const char* confDir);
    SWConfigPlugin(const SWConfigPlugin&) = delete;
    SWConfigPlugin& operator=(const SWConfigPlugin&) = delete;

    keeperStatus handleRequest(GeneralMsg& msg) override;
    void init(PluginHost* host) override;
    // Resource sampling: the daemon's minute step (its argument is the
    // daemon) and the second CPU snapshot one second later.
    void on_timer(void* daemon) override;
    void get_next_cpu_usage();

    virtual keeperStatus _create_version_config();
    virtual keeperStatus _update_ntp_cfg_file(FileBatch& batch);
    // Brings the port at that position up (2) or down (other states).
    keeperStatus _set_link_status(int position, int state) {
        return net.set_link_status(position, state);
    }
    virtual keeperStatus _set_eth_if(ConfigNetIf* request, int& mask);
    // Hooks of a variant for extra variables of the configuration file:
    // KEEPER_FAIL means "not mine".
    virtual keeperStatus _read_conf_ext(const char* name, const char* value);
    virtual keeperStatus _update_conf_ext(FILE* out);
    virtual keeperStatus _update_sec_conf(FILE* out);
    virtual void _read_sec_changes(ConfigSecurity* request, int& mask);
    // The files a security change rewrites, into the batch.
    virtual keeperStatus _update_sec_files(FileBatch& batch, int mask);
    // Runs the scripts of a security change once its files are written.
    virtual void _apply_sec_changes(int& mask);
    virtual void _get_conf(GeneralMsg& msg);
    virtual void _set_conf(GeneralMsg& msg);

    bool ready() const { return ready_; }

    // The configuration file: written on its own, or into a batch of files
    // that change together.
    keeperStatus update_cfg_file();
    keeperStatus update_cfg_file(FileBatch& batch);
    void _create_bash_config(const char* path);
    keeperStatus _update_bash_cfg_file(FileBatch& batch, const char* path);

    // Network part (interfaces, gateways, routes, mirroring).
    keeperStatus get_if(ConfigAll& all);
    keeperStatus set_if(ConfigNetIf* request, int& mask);
    keeperStatus set_inb_gateway(uint32_t* address);
    keeperStatus set_oob_gateway(uint32_t* address);
    keeperStatus add_route(ConfigRoute* route);
    keeperStatus del_route(ConfigRoute* route);
    void _create_mirror_lists();
    void _process_mirroring();

    // Service files.
    keeperStatus set_host(ConfigHost* host, int& mask);
    keeperStatus add_server(ConfigAll* server, int& mask);
    keeperStatus del_server(ConfigAll* server, int& mask);
    bool get_ntp_list(std::list<ConfigAll*>& out) override;
    bool reach_ntp_srv() const override;
    keeperStatus add_acl(ConfigACLHost* acl);
    keeperStatus del_acl(ConfigACLHost* acl);
    keeperStatus set_time(ConfigTime* time, int& mask) { return files.set_time(*time, mask); }
    keeperStatus get_time(ConfigTime* time) { return files.get_time(time); }
    keeperStatus set_security(ConfigSecurity* request, int& mask);
    // False when the descriptor is missing or has a line too long: it is
    // then left as it is.
    bool updateJavaWebStart(const char* address, FileBatch& batch) {
        return files.write_webstart(address, batch);
    }

    // The file of a server type into the batch; KEEPER_FAIL when it cannot.
    keeperStatus _update_srv_cfg_file(FileBatch& batch, uint32_t type);

    // Seams for tests.
    void set_paths(const ConfigPaths& p) { files.set_paths(p); }
    void set_starter(JobStarter s) { starter = std::move(s); }
    // The daemon without init(), which loads the configuration.
    void set_host(PluginHost* h) { daemon_ = h; }
    void set_link_layer(std::unique_ptr<LinkLayer> layer) { net.set_link_layer(std::move(layer)); }
    void set_clock(std::function<time_t()> c) { net.set_clock(std::move(c)); }
    void set_resource_sources(ResourceUsage::Sources sources) { usage = ResourceUsage(sources); }

    // Read access to the model.
    const ConfigHost& host() const { return model.host; }
    uint32_t gateway(unsigned slot) const { return model.gateways[slot & 1]; }
    const ConfigSecurity& security() const { return model.security; }
    const ConfigVersion& version() const { return model.version; }
    uint32_t if_count() const { return model.ifCount; }
    const ConfigNetIf& if_entry(unsigned position) const { return model.ifTable[position]; }
    uint32_t pair_count() const { return model.pairCount; }
    const ConfigIfPair& pair(unsigned index) const { return model.pairs[index]; }
    const ConfigModel::RouteList& routes() const { return model.routes; }
    const ConfigModel::ServerList& servers() const { return model.servers; }
    const ConfigModel::AclList& acl() const { return model.acl; }
    const MirrorRecord& mirror_record(unsigned position) const { return net.record(position); }
    const ConfigHwStatus& hw_status() const { return model.hwStatus; }

protected:
    // The changes of set_if by kind, on the entry at `position`.
    keeperStatus _change_ip_interface(const ConfigNetIf* request, unsigned position);
    keeperStatus _change_plain_port(const ConfigNetIf* request, unsigned position);
    keeperStatus _change_eth_port(ConfigNetIf* request, unsigned position, int& mask);
    // Kind 132: false when nothing changed; the files the change needs
    // besides the configuration file go into the batch.
    bool _set_ip_if(const ConfigNetIf* request, unsigned position, FileBatch& batch);
    keeperStatus _set_gateway(unsigned slot, uint32_t address);
    bool _validate_gateway(unsigned slot, uint32_t address) const;
    using RouteList = ConfigModel::RouteList;
    using RouteEdit = std::function<void(RouteList&)>;
    // A route change that `edit` makes on the list: the file is prepared
    // before the route command runs, and list and file change only once
    // the command has succeeded.
    keeperStatus _run_route_cmd(const ConfigRoute& route, const char* verb, RouteEdit edit);
    // Makes the change of a route command that succeeded: commits the
    // batch prepared for it, or writes the file anew when another change
    // was written meanwhile (`prepared` null). A file that cannot be
    // written takes the route back out of the kernel.
    keeperStatus _keep_route_change(const ConfigRoute& route, const char* verb,
                                    const RouteEdit& edit, FileBatch* prepared);
    // The words of the route command.
    std::vector<std::string> _route_words(const ConfigRoute& route, const char* verb) const;
    // Writes the file of a server type; once it is written, a time server's
    // daemon is restarted.
    keeperStatus _write_servers(uint32_t type);
    // Writes the access files.
    keeperStatus _write_acl();
    // The daemon re-applies the network a second later.
    void _schedule_network_restart();
    void _schedule(long delay, std::function<void()> call);
    // Brings the hardware status up to date with the disk figure of the
    // step's df run and publishes what changed.
    void _publish_usage(int disk);

    void _print_servers_dbg() const;
    // Starts one of the appliance's scripts (scriptJob), serialised by its path.
    void run_script(const char* const argv[]);
    // Starts a host tool whose end decides the request's reply: the reply
    // is deferred under a token, and `finish` makes the final status of the
    // outcome. A tool that cannot start is finished at once as not started.
    keeperStatus run_for_reply(ProgramRunner::Job job, OutcomeStatus finish);
    int start(ProgramRunner::Job job);
    PendingReplies* pending_replies() const;

    std::string confDir;
    bool ready_ = false;
    JobStarter starter;
    // The token of the request being handled whose reply is deferred, 0 when
    // it is answered at once.
    uint32_t replyToken = 0;
    ResourceUsage usage;

    ConfigModel model;
    // Live link state and mirroring of the model's ports.
    NetApplier net;
    RcConf rc;
    ServiceFiles files;
};

// Whether text is a host or domain name this plug-in writes into system
// files: letters, digits, "-" and ".", labels of 1 to 63 characters.
bool validHostName(const char* text, bool allowEmpty);

#endif
