// The files the appliance's services read (host name, hosts, name and time
// servers, access list, web-start descriptor) written from the model, and
// the host's clock and time zone.
#ifndef PLUGINS_SERVICE_FILES_H
#define PLUGINS_SERVICE_FILES_H

#include <cstdint>
#include <list>
#include <string>

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

// A list element with the handle that list reads use as their cursor.
template <class Rec>
struct Handled {
    uint32_t handle;
    Rec rec;
};

class ServiceFiles {
public:
    using ServerList = std::list<Handled<ConfigAll>>;
    using AclList = std::list<Handled<ConfigACLHost>>;

    // The parts of the model the files are written from: the host, the
    // interface table and its entry count, the servers and the access list.
    ServiceFiles(const ConfigHost& host, const ConfigNetIf* table, const uint32_t& count,
                 const ServerList& servers, const AclList& acl)
        : host(host), table(table), count(count), servers(servers), acl(acl) {}
    ServiceFiles(const ServiceFiles&) = delete;
    ServiceFiles& operator=(const ServiceFiles&) = delete;

    void set_paths(const ConfigPaths& p) { paths_ = p; }
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
    const ConfigHost& host;
    const ConfigNetIf* table;
    const uint32_t& count;
    const ServerList& servers;
    const AclList& acl;
    ConfigPaths paths_;
};

#endif
