// Host name, name and time servers, the access list, time and time zone,
// security switches, the version record and the web-start descriptor: the
// plug-in's changes keep their part of the model, and ServiceFiles rewrites
// the file its service reads.
#include "plugins/service_files.h"

#include <arpa/inet.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "plugins/config_loader.h"
#include "plugins/plugin_jobs.h"
#include "plugins/rc_conf.h"
#include "plugins/text_lines.h"
#include "support/appliance.h"
#include "support/atomic_file.h"
#include "support/ev_debug.h"
#include "support/net_utils.h"

ConfigPaths::ConfigPaths()
    : hostname(APP_HOSTNAME_FILE),
      hosts(APP_HOSTS_FILE),
      resolv(APP_RESOLV_CONF),
      ntp(APP_NTP_CONF),
      hostsAllow(APP_HOSTS_ALLOW),
      hostsDeny(APP_HOSTS_DENY),
      hostsDenyAll(APP_HOSTS_DENY_ALL),
      hostsDenyEmpty(APP_HOSTS_DENY_EMPTY),
      zoneinfoDir(APP_ZONEINFO_DIR),
      localtime(APP_LOCALTIME_LINK),
      webstart(APP_WEBSTART_FILE),
      adminProfile(APP_ADMIN_PROFILE) {}

namespace {

// Change-mask bit of each server type.
const int kServerTypeBits[] = {0, 16, 128, 256, 512, 64, 32};

int serverTypeBit(uint32_t type) {
    return type < sizeof kServerTypeBits / sizeof kServerTypeBits[0] ? kServerTypeBits[type] : 0;
}

template <size_t N>
bool terminated(const char (&field)[N]) {
    return memchr(field, '\0', N) != nullptr;
}

std::string serverText(const ConfigSrv& srv) {
    if (srv.byName) return std::string(srv.u.name, strnlen(srv.u.name, sizeof srv.u.name));
    return long2ipstr(ntohl(srv.u.address));
}

std::string aclText(const ConfigACLHost& acl) {
    if (acl.byName) return std::string(acl.u.name, strnlen(acl.u.name, sizeof acl.u.name));
    return long2ipstr(ntohl(acl.u.address));
}

// Whether two list records name the same host: host names are compared as
// DNS compares them, without regard to case.
template <class A, class B>
bool sameHost(const A& a, const B& b) {
    if ((a.byName != 0) != (b.byName != 0)) return false;
    if (!a.byName) return a.u.address == b.u.address;
    return strncasecmp(a.u.name, b.u.name, std::min(sizeof a.u.name, sizeof b.u.name)) == 0;
}

// The access list's line of hosts.allow.
std::string aclLine(const std::list<Handled<ConfigACLHost>>& acl) {
    std::string all = "ALL: localhost";
    for (const auto& entry : acl) all += " " + aclText(entry.rec);
    return all;
}

// Bounds of the lists: the services that read them stay quick and
// hosts_access reads a line into a buffer of 2,048 bytes and skips a longer
// one, which would lock out every host listed on it.
constexpr size_t kAclMax = 100;
constexpr size_t kServersPerTypeMax = 16;
constexpr uint32_t kServerTypeMax = 6;
constexpr size_t kHostsLineMax = 2048;

// Time-zone names as the zone folder spells them, never leaving it.
bool validZoneName(const char* zone) {
    if (zone[0] == '/' || strstr(zone, "..") != nullptr) return false;
    for (const char* c = zone; *c; ++c)
        if (!isalnum(static_cast<unsigned char>(*c)) && strchr("/_-+.", *c) == nullptr)
            return false;
    return true;
}

bool readableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), R_OK) == 0;
}

// Replaces the text of `line` from `from` up to the next `stop` with `with`.
bool replaceUpTo(std::string& line, size_t from, char stop, const char* with) {
    if (from > line.size()) return false;
    const size_t end = line.find(stop, from);
    if (end == std::string::npos) return false;
    line.replace(from, end - from, with);
    return true;
}

// A line of the web-start descriptor with the management address in the
// one place it names it, if any.
std::string withAddress(std::string line, const char* address) {
    const char codebase[] = "codebase=\"http://";
    size_t at;
    if (line.find("<jnlp") != std::string::npos &&
        (at = line.find(codebase)) != std::string::npos) {
        replaceUpTo(line, at + sizeof codebase - 1, '"', address);
    } else if (line.find("<title>Mirevant") != std::string::npos &&
               line.find("One -") != std::string::npos) {
        replaceUpTo(line, line.find('-') + 2, '<', address);
    } else if ((at = line.find("<argument>")) != std::string::npos) {
        replaceUpTo(line, at + 10, '<', address);
    }
    return line;
}

}  // namespace

bool validHostName(const char* text, bool allowEmpty) {
    if (!text[0]) return allowEmpty;
    size_t label = 0;
    for (const char* c = text;; ++c) {
        if (*c == '.' || *c == '\0') {
            if (label == 0 || label > 63 || c[-1] == '-') return false;
            if (*c == '\0') return true;
            label = 0;
            continue;
        }
        if (!isalnum(static_cast<unsigned char>(*c)) && (*c != '-' || label == 0)) return false;
        ++label;
    }
}

// ---------------------------------------------------------------------------
// Host name.

keeperStatus ServiceFiles::set_host(ConfigHost* host, int& mask) {
    if (!terminated(host->hostName) || !terminated(host->domainName) ||
        !validHostName(host->hostName, false) || !validHostName(host->domainName, true)) {
        EV_TRACE(DL_ERROR, "set_host: refused, host or domain is no valid name");
        return KEEPER_FAIL;
    }
    if (strcmp(model.host.hostName, host->hostName) != 0) mask |= HOST_CHANGED_NAME;
    if (strcmp(model.host.domainName, host->domainName) != 0) mask |= HOST_CHANGED_DOMAIN;
    if (mask == 0) return KEEPER_NO_CHANGE;
    EV_TRACE(DL_NOTIFY, "set_host: %s.%s", host->hostName, host->domainName);
    ModelUndo<ConfigHost> undo(model.host);
    memset(&model.host, 0, sizeof model.host);
    strcpy(model.host.hostName, host->hostName);
    strcpy(model.host.domainName, host->domainName);
    FileBatch batch;
    if (FILE* out = batch.add(paths_.hostname.c_str()).stream())
        fprintf(out, "%s.%s\n", model.host.hostName, model.host.domainName);
    else
        EV_TRACE(DL_ERROR, "set_host: failed to open %s: %s", paths_.hostname.c_str(),
                 strerror(errno));
    const bool rendered = write_hosts(batch) == KEEPER_OK &&
                          (!(mask & HOST_CHANGED_DOMAIN) || write_resolv(batch) == KEEPER_OK);
    if (!rendered || !rc.commit(batch)) return KEEPER_FAIL;
    undo.keep();
    // The files are written: only a tool that hangs fails the request.
    ProgramRunner::Job job =
        ProgramRunner::program({APP_HOSTNAME_PROG, model.host.hostName}, APP_RUN_DEADLINE_HOST_CMD);
    return jobs.run_for_reply(std::move(job), [](const RunOutcome& outcome) {
        if (outcome.kind != RunOutcome::TimedOut) return KEEPER_OK;
        EV_TRACE(DL_ERROR, "set_host: %s %s", APP_HOSTNAME_PROG, outcome.text().c_str());
        return KEEPER_FAIL;
    });
}

keeperStatus ServiceFiles::write_hosts(FileBatch& batch) const {
    FILE* out = batch.add(paths_.hosts.c_str()).stream();
    if (!out) {
        EV_TRACE(DL_ERROR, "_update_host_list_file: failed to open %s: %s", paths_.hosts.c_str(),
                 strerror(errno));
        return KEEPER_FAIL;
    }
    fputs("127.0.0.1       localhost\n", out);
    for (unsigned pos = 0; pos < model.ifCount; ++pos) {
        const ConfigNetIf& e = model.ifTable[pos];
        if (e.kind != NETIF_KIND_IP || e.adminStatus == 1) continue;
        fprintf(out, "%s\t%s.%s %s\n", long2ipstr(ntohl(e.u.ip.address)), model.host.hostName,
                model.host.domainName, model.host.hostName);
    }
    return KEEPER_OK;
}

// ---------------------------------------------------------------------------
// Name and time servers.

keeperStatus ServiceFiles::write_resolv(FileBatch& batch) const {
    FILE* out = batch.add(paths_.resolv.c_str()).stream();
    if (!out) {
        EV_TRACE(DL_ERROR, "%s: failed to open %s: %s", "_update_dns_cfg_file",
                 paths_.resolv.c_str(), strerror(errno));
        return KEEPER_FAIL;
    }
    fprintf(out, "%s %s\n", "domain", model.host.domainName);
    for (const auto& server : model.servers)
        if (server.rec.data.srv.type == SRV_TYPE_DNS)
            fprintf(out, "nameserver %s\n", serverText(server.rec.data.srv).c_str());
    return KEEPER_OK;
}

keeperStatus ServiceFiles::write_ntp(FileBatch& batch) const {
    FILE* out = batch.add(paths_.ntp.c_str()).stream();
    if (!out) {
        EV_TRACE(DL_ERROR, "%s: failed to open %s: %s", "_update_ntp_cfg_file", paths_.ntp.c_str(),
                 strerror(errno));
        return KEEPER_FAIL;
    }
    const char local[] = "127.127.1.0";
    fprintf(out, "server %s\n", local);
    fprintf(out, "fudge  %s stratum 14\n", local);
    fputs(
        "driftfile /etc/ntp/drift\nrestrict default ignore\nrestrict 127.0.0.1\n"
        "disable monitor stats\n",
        out);
    std::vector<std::string> names;
    for (const auto& server : model.servers)
        if (server.rec.data.srv.type == SRV_TYPE_NTP)
            names.push_back(serverText(server.rec.data.srv));
    for (const std::string& name : names) fprintf(out, "server %s\n", name.c_str());
    for (const std::string& name : names)
        fprintf(out, "restrict %s noquery nomodify notrap nopeer\n", name.c_str());
    return KEEPER_OK;
}

keeperStatus ServiceFiles::write_srv_file(FileBatch& batch, uint32_t type) {
    if (type == SRV_TYPE_DNS) return write_resolv(batch);
    if (type == SRV_TYPE_NTP) return write_ntp(batch);
    return KEEPER_OK;
}

keeperStatus ServiceFiles::write_servers(uint32_t type) {
    FileBatch batch;
    if (write_srv_file(batch, type) != KEEPER_OK || !rc.commit(batch)) return KEEPER_FAIL;
    if (type == SRV_TYPE_NTP) jobs.run_script(ARGV_NTP_RESTART);
    return KEEPER_OK;
}

// Why a server cannot be added to `servers`: a message, nullptr when it can.
// A server already listed is not one of these: the list stays as it is.
static const char* serverRefusal(const std::list<Handled<ConfigAll>>& servers,
                                 const ConfigSrv& srv) {
    if (srv.type > kServerTypeMax) return "no such server type";
    if (srv.byName && (!terminated(srv.u.name) || !validHostName(srv.u.name, false)))
        return "server name is no valid host name";
    size_t ofType = 0;
    for (const auto& server : servers) {
        const ConfigSrv& listed = server.rec.data.srv;
        if (listed.type != srv.type) continue;
        if (listed.order == srv.order) return "a server of that type has that order";
        ++ofType;
    }
    return ofType >= kServersPerTypeMax ? "the servers of that type are full" : nullptr;
}

keeperStatus ServiceFiles::add_server(ConfigAll* all, int& mask) {
    ConfigSrv& srv = all->data.srv;
    if (const char* refusal = serverRefusal(model.servers, srv)) {
        EV_TRACE(DL_ERROR, "add_server: refused, %s (type %u, order %u)", refusal, srv.type,
                 srv.order);
        return KEEPER_FAIL;
    }
    EV_TRACE(DL_NOTIFY, "Try to add/update server type = %d ip= [%s]", srv.type,
             serverText(srv).c_str());
    for (const auto& server : model.servers) {
        const ConfigSrv& listed = server.rec.data.srv;
        if (listed.type == srv.type && sameHost(listed, srv)) return KEEPER_NO_CHANGE;
    }
    // Sorted by type, then by order.
    auto at = model.servers.begin();
    while (at != model.servers.end() &&
           (at->rec.data.srv.type < srv.type ||
            (at->rec.data.srv.type == srv.type && at->rec.data.srv.order < srv.order)))
        ++at;
    ModelUndo<std::list<Handled<ConfigAll>>> undo(model.servers);
    ConfigAll rec{};
    rec.action = SRV_STATUS_ADDED;
    rec.data.srv.type = srv.type;
    rec.data.srv.byName = srv.byName ? 1 : 0;
    rec.data.srv.order = srv.order;
    if (srv.byName)
        strcpy(rec.data.srv.u.name, srv.u.name);
    else
        rec.data.srv.u.address = srv.u.address;
    model.servers.insert(at, {model.next_handle(), rec});
    if (write_servers(srv.type) != KEEPER_OK) return KEEPER_FAIL;
    undo.keep();
    trace_servers();
    mask |= serverTypeBit(srv.type);
    return KEEPER_OK;
}

keeperStatus ServiceFiles::del_server(ConfigAll* all, int& mask) {
    const ConfigSrv& srv = all->data.srv;
    EV_TRACE(DL_NOTIFY, "Try to delete server type = %d ip= [%s]", srv.type,
             srv.byName && !terminated(srv.u.name) ? "" : serverText(srv).c_str());
    for (auto it = model.servers.begin(); it != model.servers.end(); ++it) {
        const ConfigSrv& listed = it->rec.data.srv;
        if (listed.type != srv.type || listed.order != srv.order) continue;
        const uint32_t type = listed.type;
        ModelUndo<std::list<Handled<ConfigAll>>> undo(model.servers);
        model.servers.remove_if([&srv](const Handled<ConfigAll>& server) {
            return server.rec.data.srv.type == srv.type && server.rec.data.srv.order == srv.order;
        });
        if (write_servers(type) != KEEPER_OK) return KEEPER_FAIL;
        undo.keep();
        trace_servers();
        mask |= serverTypeBit(type);
        return KEEPER_OK;
    }
    return KEEPER_NO_CHANGE;
}

void ServiceFiles::trace_servers() const {
    for (const auto& server : model.servers) {
        const ConfigSrv& srv = server.rec.data.srv;
        EV_TRACE(DL_DEBUG, "%d: %s", srv.type,
                 srv.byName ? srv.u.name : long2ipstr(ntohl(srv.u.address)));
    }
}

bool ServiceFiles::ntp_list(std::list<ConfigAll*>& out) {
    bool found = false;
    // The records themselves: the time-server probe keeps each server's
    // state in its status word.
    for (auto& server : model.servers) {
        if (server.rec.data.srv.type != 6) continue;
        out.push_back(&server.rec);
        found = true;
    }
    return found;
}

bool ServiceFiles::ntp_reached() const {
    for (const auto& server : model.servers)
        if (server.rec.data.srv.type == SRV_TYPE_NTP && server.rec.action == SRV_STATUS_ADDED)
            return true;
    return false;
}

// ---------------------------------------------------------------------------
// Access list.

keeperStatus ServiceFiles::add_acl(ConfigACLHost* acl) {
    ConfigACLHost rec{};
    rec.byName = acl->byName ? 1 : 0;
    if (!rec.byName) {
        rec.u.address = acl->u.address;
    } else if (terminated(acl->u.name) && validHostName(acl->u.name, false)) {
        strcpy(rec.u.name, acl->u.name);
    } else {
        EV_TRACE(DL_ERROR, "add_acl: refused, host is no valid host name");
        return KEEPER_FAIL;
    }
    for (const auto& entry : model.acl) {
        if (!sameHost(entry.rec, rec)) continue;
        EV_TRACE(DL_NOTIFY, "ACL already exists in the table.");
        return KEEPER_NO_CHANGE;
    }
    // The line with the new host and its line feed.
    const size_t line = aclLine(model.acl).size() + 1 + aclText(rec).size() + 1;
    if (model.acl.size() >= kAclMax || line >= kHostsLineMax) {
        EV_TRACE(DL_ERROR, "add_acl: refused, the list is full");
        return KEEPER_FAIL;
    }
    ModelUndo<std::list<Handled<ConfigACLHost>>> undo(model.acl);
    model.acl.push_front({model.next_handle(), rec});
    if (write_acl_files() != KEEPER_OK) return KEEPER_FAIL;
    undo.keep();
    EV_TRACE(DL_NOTIFY, "ACL host is added.");
    return KEEPER_OK;
}

keeperStatus ServiceFiles::del_acl(ConfigACLHost* acl) {
    for (auto it = model.acl.begin(); !acl->byName && it != model.acl.end(); ++it) {
        if (it->rec.byName || it->rec.u.address != acl->u.address) continue;
        ModelUndo<std::list<Handled<ConfigACLHost>>> undo(model.acl);
        const uint32_t handle = it->handle;
        model.acl.remove_if(
            [handle](const Handled<ConfigACLHost>& entry) { return entry.handle == handle; });
        if (write_acl_files() != KEEPER_OK) return KEEPER_FAIL;
        undo.keep();
        EV_TRACE(DL_NOTIFY, "ACL host is deleted.");
        return KEEPER_OK;
    }
    EV_TRACE(DL_NOTIFY, "ACL host not found in the table.");
    return KEEPER_NO_CHANGE;
}

keeperStatus ServiceFiles::write_acl_files() {
    FileBatch batch;
    return write_acl(batch) == KEEPER_OK && rc.commit(batch) ? KEEPER_OK : KEEPER_FAIL;
}

keeperStatus ServiceFiles::write_acl(FileBatch& batch) const {
    std::vector<std::string> lines;
    // A missing file is written anew.
    if (!readTextLines(paths_.hostsAllow, lines) && errno != ENOENT) {
        EV_TRACE(DL_ERROR, "Can't open %s file for read", paths_.hostsAllow.c_str());
        return KEEPER_FAIL;
    }
    FILE* out = batch.add(paths_.hostsAllow.c_str()).stream();
    if (!out) {
        EV_TRACE(DL_ERROR, "Can't open %s file for write", paths_.hostsAllow.c_str());
        return KEEPER_FAIL;
    }
    const std::string all = aclLine(model.acl);
    EV_TRACE(DL_DEBUG, "    ACL - %s", all.c_str());
    const char end[] = "# End of hosts.allow.";
    bool allSeen = false;
    for (const std::string& line : lines) {
        if (line.compare(0, 3, "ALL") == 0) {
            fprintf(out, "%s\n", all.c_str());
            allSeen = true;
        } else if (line.compare(0, sizeof end - 1, end) != 0) {
            fprintf(out, "%s\n", line.c_str());
        }
    }
    if (!allSeen) fprintf(out, "%s\n", all.c_str());
    fprintf(out, "%s\n", end);
    const std::string& deny = model.acl.empty() ? paths_.hostsDenyEmpty : paths_.hostsDenyAll;
    if (!batch.addCopy(deny.c_str(), paths_.hostsDeny.c_str())) {
        EV_TRACE(DL_ERROR, "Can't copy file %s to %s", deny.c_str(), paths_.hostsDeny.c_str());
        return KEEPER_FAIL;
    }
    return KEEPER_OK;
}

// ---------------------------------------------------------------------------
// Time and time zone.

// Whether /etc/localtime must change to `target`: the zone is unchanged only
// when the link is exactly the zone's file (Etc/GMT+1 is no part of
// Etc/GMT+10). False with `refused` set when the new zone has no file.
static bool zoneChangeNeeded(const std::string& localtime, const std::string& target,
                             std::string& previous, bool& refused) {
    char link[PATH_MAX + 1] = {};
    const ssize_t len = readlink(localtime.c_str(), link, sizeof link - 1);
    if (len > 0) link[len] = '\0';
    previous = link;
    EV_TRACE(DL_NOTIFY, "SWConfigPlugin::set_time. Previous timezone was %s", link);
    if (target == previous) return false;
    EV_TRACE(DL_NOTIFY, "SWConfigPlugin::set_time. Try to SET timezone to %s", target.c_str());
    // Checked before anything changes: a link to nothing would leave the
    // host without a time zone.
    refused = !readableFile(target);
    if (refused)
        EV_TRACE(DL_ERROR,
                 "SWConfigPlugin::set_time. File %s does not exist or is not accessible in the "
                 "read mode",
                 target.c_str());
    return !refused;
}

// A new link beside the old one, renamed over it: never a moment without one.
static bool replaceLink(const std::string& link, const std::string& target) {
    const std::string temp = link + ".new" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) == 0 && rename(temp.c_str(), link.c_str()) == 0)
        return true;
    EV_TRACE(DL_ERROR, "SWConfigPlugin::set_time. Error in symlink() as %s  ->  %s",
             strerror(errno), target.c_str());
    unlink(temp.c_str());
    return false;
}

static bool setClock(uint32_t seconds) {
    const time_t when = static_cast<time_t>(seconds);
    char text[32] = {};
    ctime_r(&when, text);
    text[strcspn(text, "\n")] = '\0';
    EV_TRACE(DL_NOTIFY, "SWConfigPlugin::set_time. SET time %s", text);
    const timeval tv{when, 0};
    if (settimeofday(&tv, nullptr) == 0) return true;
    EV_TRACE(DL_ERROR, "SWConfigPlugin::set_time. Error in settimeofday() as %s", strerror(errno));
    return false;
}

keeperStatus ServiceFiles::set_time(const ConfigTime& request, int& mask) const {
    mask = 0;
    if (!terminated(request.timeZone)) return KEEPER_FAIL;
    const char* zone = request.timeZone;
    const std::string target = paths_.zoneinfoDir + zone;
    std::string previous;
    bool zoneChange = false;
    if (zone[0]) {
        EV_TRACE(DL_NOTIFY, "SWConfigPlugin::set_time. SET timezone %s", zone);
        if (!validZoneName(zone)) {
            EV_TRACE(DL_ERROR, "SWConfigPlugin::set_time. Refused timezone name %s", zone);
            return KEEPER_FAIL;
        }
        bool refused = false;
        zoneChange = zoneChangeNeeded(paths_.localtime, target, previous, refused);
        if (refused) return KEEPER_FAIL;
    }
    // The zone first: a request whose zone cannot be set leaves the clock
    // as it was.
    if (zoneChange) {
        if (!replaceLink(paths_.localtime, target)) return KEEPER_FAIL;
        EV_TRACE(DL_NOTIFY, "SWConfigPlugin::set_time. Now timezone is %s", target.c_str());
        mask |= TIME_CHANGED_ZONE;
    }
    if (request.time != 0) {
        if (!setClock(request.time)) {
            // Refused as a whole: the zone goes back to what it was.
            if (zoneChange && !previous.empty()) replaceLink(paths_.localtime, previous);
            return KEEPER_FAIL;
        }
        mask |= TIME_CHANGED_CLOCK;
    }
    return mask ? KEEPER_OK : KEEPER_NO_CHANGE;
}

keeperStatus ServiceFiles::get_time(ConfigTime* out) const {
    memset(out, 0, sizeof *out);
    out->time = static_cast<uint32_t>(time(nullptr));
    strcpy(out->timeZone, "UTC");
    char target[257] = {};
    const ssize_t len = readlink(paths_.localtime.c_str(), target, sizeof target - 1);
    const std::string& dir = paths_.zoneinfoDir;
    if (len > 0 && static_cast<size_t>(len) > dir.size() &&
        dir.compare(0, dir.size(), target, dir.size()) == 0) {
        const std::string zone(target + dir.size(), static_cast<size_t>(len) - dir.size());
        snprintf(out->timeZone, sizeof out->timeZone, "%s", zone.c_str());
    }
    return KEEPER_OK;
}

// ---------------------------------------------------------------------------
// Security switches.

keeperStatus ServiceFiles::set_security(ConfigSecurity* request, int& mask, const SecFiles& write) {
    for (uint32_t value : {request->telnet, request->ping, request->tcpsec, request->ssh}) {
        if (value != CFG_ALL_ONES && value != 1 && value != 2) {
            EV_TRACE(DL_ERROR, "SWConfigPlugin::set_security, refused switch value %u", value);
            return KEEPER_FAIL;
        }
    }
    ModelUndo<ConfigSecurity> undo(model.security);
    int changes = 0;
    read_sec_changes(request, changes);
    if (changes == 0) return KEEPER_NO_CHANGE;
    FileBatch batch;
    if (write(batch, changes) != KEEPER_OK || !rc.commit(batch)) return KEEPER_FAIL;
    undo.keep();
    mask |= changes;
    apply_sec_changes(changes);
    return KEEPER_OK;
}

void ServiceFiles::read_sec_changes(ConfigSecurity* request, int& mask) {
    const struct {
        uint32_t ConfigSecurity::*field;
        int bit;
    } fields[] = {{&ConfigSecurity::telnet, SEC_CHANGED_TELNET},
                  {&ConfigSecurity::ping, SEC_CHANGED_PING},
                  {&ConfigSecurity::tcpsec, SEC_CHANGED_TCPSEC},
                  {&ConfigSecurity::shellTimeout, SEC_CHANGED_SHELL_TIMEOUT},
                  {&ConfigSecurity::ssh, SEC_CHANGED_SSH}};
    for (const auto& f : fields) {
        const uint32_t wanted = request->*f.field;
        if (wanted == CFG_ALL_ONES || wanted == model.security.*f.field) continue;
        model.security.*f.field = wanted;
        mask |= f.bit;
    }
}

void ServiceFiles::apply_sec_changes(int& mask) {
    if (mask & (SEC_CHANGED_PING | SEC_CHANGED_TCPSEC)) jobs.run_script(ARGV_SECURITY);
    if (mask & SEC_CHANGED_TELNET)
        jobs.run_script(model.security.telnet == 1 ? ARGV_INETD_START : ARGV_INETD_STOP);
    if (mask & SEC_CHANGED_SSH)
        jobs.run_script(model.security.ssh == 1 ? ARGV_SSHD_START : ARGV_SSHD_STOP);
}

// ---------------------------------------------------------------------------
// Version record and web-start descriptor.

void ServiceFiles::load_version(const std::string& confDir) {
    for (unsigned pos = 0; pos < model.ifCount; ++pos) {
        const ConfigNetIf& e = model.ifTable[pos];
        if (e.kind != NETIF_KIND_ETH || strcmp(e.name, "eth0") != 0) continue;
        const uint8_t serial[4] = {0, e.u.eth.hwAddr[3], e.u.eth.hwAddr[4], e.u.eth.hwAddr[5]};
        memcpy(&model.version.serial, serial, sizeof serial);
        break;
    }
    std::string path = confDir;
    if (!path.empty() && path.back() != '/') path += '/';
    std::vector<std::string> lines;
    if (readTextLines(path + APP_ACTYPE_FILE, lines)) {
        for (const std::string& line : lines) {
            if (line.find("Version") == std::string::npos) continue;
            snprintf(model.version.swVersion, sizeof model.version.swVersion, "%s", line.c_str());
            break;
        }
    }
    EV_TRACE(DL_NOTIFY, "serial %u, sw %s", model.version.serial, model.version.swVersion);
}

bool ServiceFiles::write_webstart(const char* address, FileBatch& batch) const {
    std::vector<std::string> lines;
    if (!readTextLines(paths_.webstart, lines)) {
        EV_TRACE(DL_ERROR, "updateJavaWebStart: failed to open kelda.jnlp file");
        return false;
    }
    std::string text;
    for (std::string line : lines) {
        if (line.empty()) continue;
        if (line.size() > 254) {
            EV_TRACE(DL_ERROR, "updateJavaWebStart: line too long, exiting.");
            return false;
        }
        text += withAddress(line, address) + "\n";
    }
    // A descriptor that cannot be replaced fails the batch.
    if (FILE* out = batch.add(paths_.webstart.c_str()).stream()) {
        fputs(text.c_str(), out);
        return true;
    }
    EV_TRACE(DL_ERROR, "updateJavaWebStart: Renaming new file failed");
    return false;
}
