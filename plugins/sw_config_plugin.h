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
#include "plugins/plugin_jobs.h"
#include "plugins/rc_conf.h"
#include "plugins/resource_usage.h"
#include "plugins/service_files.h"
#include "protocol/keeper_records.h"

// Starts a program without waiting for it (ProgramRunner::start of the
// daemon): the run's id, -1 when it could not start.
using JobStarter = std::function<int(ProgramRunner::Job job)>;

// Owns the model and the parts that load, store and apply it: RcConf (the
// configuration file), ServiceFiles (the services' files, host, servers,
// access list, security) and NetApplier (interfaces, gateways, routes,
// mirroring); the request tables (config_requests.cpp) reach them.
class SWConfigPlugin : public KeeperBasePligin, public PluginJobs {
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
    bool get_ntp_list(std::list<ConfigAll*>& out) override { return files.ntp_list(out); }
    bool reach_ntp_srv() const override { return files.ntp_reached(); }

    // Hooks of a variant for extra variables of the configuration file:
    // KEEPER_FAIL means "not mine".
    virtual keeperStatus _read_conf_ext(const char* name, const char* value);
    virtual keeperStatus _update_conf_ext(FILE* out);
    virtual keeperStatus _update_sec_conf(FILE* out);
    // The files a security change rewrites, into the batch.
    virtual keeperStatus _update_sec_files(FileBatch& batch, int mask);
    virtual void _get_conf(GeneralMsg& msg);
    virtual void _set_conf(GeneralMsg& msg);

    bool ready() const { return ready_; }
    NetApplier& network() { return net; }
    ServiceFiles& service_files() { return files; }

    // The configuration file: written on its own, or into a batch of files
    // that change together.
    keeperStatus update_cfg_file() { return rc.store(); }
    keeperStatus update_cfg_file(FileBatch& batch) { return rc.store(batch); }

    // The changes the tests make directly.
    keeperStatus set_if(ConfigNetIf* request, int& mask) { return net.set_if(request, mask); }
    keeperStatus set_oob_gateway(uint32_t* address) { return net.set_gateway(0, *address); }
    // Brings the port at that position up (2) or down (other states).
    keeperStatus _set_link_status(int position, int state) {
        return net.set_link_status(position, state);
    }
    void _create_mirror_lists() { net.create_mirror_lists(); }
    void _process_mirroring() { net.process_mirroring(); }
    keeperStatus add_server(ConfigAll* server, int& mask) { return files.add_server(server, mask); }
    keeperStatus add_acl(ConfigACLHost* acl) { return files.add_acl(acl); }
    keeperStatus del_acl(ConfigACLHost* acl) { return files.del_acl(acl); }
    keeperStatus set_time(ConfigTime* time, int& mask) { return files.set_time(*time, mask); }
    keeperStatus set_security(ConfigSecurity* request, int& mask);
    // False when the descriptor is missing or has a line too long: it is
    // then left as it is.
    bool updateJavaWebStart(const char* address, FileBatch& batch) {
        return files.write_webstart(address, batch);
    }

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
    void schedule(long delay, std::function<void()> call) override;
    bool hosted() const override { return daemon_ != nullptr; }
    void run_script(const char* const argv[]) override;
    keeperStatus run_for_reply(ProgramRunner::Job job, OutcomeStatus finish) override;
    int start(ProgramRunner::Job job) override;
    // Brings the hardware status up to date with the disk figure of the
    // step's df run and publishes what changed.
    void _publish_usage(int disk);

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

#endif
