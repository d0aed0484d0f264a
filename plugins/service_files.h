// The files the appliance's services read (host name, hosts, name and time
// servers, access list, web-start descriptor) written from the model, and
// the host's clock and time zone.
#ifndef PLUGINS_SERVICE_FILES_H
#define PLUGINS_SERVICE_FILES_H

#include <cstdint>
#include <list>
#include <string>

#include "plugins/config_model.h"
#include "protocol/keeper_msg.h"
#include "protocol/keeper_records.h"

class FileBatch;

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
    // The model the files are written from.
    explicit ServiceFiles(ConfigModel& model) : model(model) {}
    ServiceFiles(const ServiceFiles&) = delete;
    ServiceFiles& operator=(const ServiceFiles&) = delete;

    void set_paths(const ConfigPaths& p) { paths_ = p; }
    // The host, servers and access list of the model from their files, as
    // far as they can be read.
    void load();
    const ConfigPaths& paths() const { return paths_; }

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

    ConfigModel& model;
    ConfigPaths paths_;
};

#endif
