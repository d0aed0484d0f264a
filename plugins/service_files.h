// The files the appliance's services read (host name, hosts, name and time
// servers, access list, web-start descriptor, the administrator's login
// profile) loaded into the model and written from it, the changes of host,
// servers, access list and security switches, and the host's clock and
// time zone.
#ifndef PLUGINS_SERVICE_FILES_H
#define PLUGINS_SERVICE_FILES_H

#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "plugins/config_model.h"
#include "protocol/keeper_msg.h"
#include "protocol/keeper_records.h"

class FileBatch;
class PluginJobs;
class RcConf;

// Where the plug-in finds the host's files. The defaults are the appliance's
// own (support/appliance.h); tests point them into a folder of their own.
struct ConfigPaths {
    ConfigPaths();
    std::string hostname, hosts, resolv, ntp;
    std::string hostsAllow, hostsDeny, hostsDenyAll, hostsDenyEmpty;
    std::string zoneinfoDir, localtime;
    std::string webstart;
    std::string adminProfile;
};

class ServiceFiles {
public:
    // The files of a security change besides the services': KEEPER_FAIL
    // when one cannot be written.
    using SecFiles = std::function<keeperStatus(FileBatch& batch, int mask)>;

    // The model the files are written from, the configuration file that
    // holds the security switches, and the plug-in that runs the tools and
    // scripts that apply a change.
    ServiceFiles(ConfigModel& model, RcConf& rc, PluginJobs& jobs)
        : model(model), rc(rc), jobs(jobs) {}
    ServiceFiles(const ServiceFiles&) = delete;
    ServiceFiles& operator=(const ServiceFiles&) = delete;

    void set_paths(const ConfigPaths& p) { paths_ = p; }
    // The host, servers and access list of the model from their files, as
    // far as they can be read.
    void load();
    // The version record from the first port's address and the version
    // file of the configuration folder.
    void load_version(const std::string& confDir);
    // The shell time-out from the administrator's login profile.
    void read_profile();
    // The profile with the model's shell time-out, into the batch.
    keeperStatus write_profile(FileBatch& batch);
    void trace_servers() const;

    // The changes: each writes its files as one batch, and the model keeps
    // the change only once they are written.
    keeperStatus set_host(ConfigHost* host, int& mask);
    keeperStatus add_server(ConfigAll* server, int& mask);
    keeperStatus del_server(ConfigAll* server, int& mask);
    keeperStatus add_acl(ConfigACLHost* acl);
    keeperStatus del_acl(ConfigACLHost* acl);
    keeperStatus set_security(ConfigSecurity* request, int& mask, const SecFiles& write);
    // The time servers, as the model's own records.
    bool ntp_list(std::list<ConfigAll*>& out);
    bool ntp_reached() const;

    // The writers: each adds its file to the batch; KEEPER_FAIL when it
    // cannot.
    keeperStatus write_hosts(FileBatch& batch) const;
    keeperStatus write_resolv(FileBatch& batch) const;
    keeperStatus write_ntp(FileBatch& batch) const;
    // hosts.allow with the list's line, and the hosts.deny that goes with it.
    keeperStatus write_acl(FileBatch& batch) const;
    // False when the descriptor is missing or has a line too long: it is
    // then left as it is.
    bool write_webstart(const char* address, FileBatch& batch) const;

    // The time zone, then the clock; the whole request or nothing.
    keeperStatus set_time(const ConfigTime& request, int& mask) const;
    keeperStatus get_time(ConfigTime* out) const;

private:
    void load_host();
    void load_dns();
    void load_ntp();
    void load_acl();
    // The file of a server type into the batch; KEEPER_FAIL when it cannot.
    keeperStatus write_srv_file(FileBatch& batch, uint32_t type);
    // Writes the file of a server type; once it is written, a time server's
    // daemon is restarted.
    keeperStatus write_servers(uint32_t type);
    // Writes the access files.
    keeperStatus write_acl_files();
    void read_sec_changes(ConfigSecurity* request, int& mask);
    // Runs the scripts of a security change once its files are written.
    void apply_sec_changes(int& mask);

    ConfigModel& model;
    RcConf& rc;
    PluginJobs& jobs;
    ConfigPaths paths_;
};

// Whether text is a host or domain name this plug-in writes into system
// files: letters, digits, "-" and ".", labels of 1 to 63 characters.
bool validHostName(const char* text, bool allowEmpty);

#endif
