// Writing the model to the configuration file, and the shell time-out of the
// login profile.
#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "plugins/config_loader.h"
#include "plugins/service_files.h"
#include "plugins/text_lines.h"
#include "support/appliance.h"
#include "support/atomic_file.h"
#include "support/ev_debug.h"
#include "support/file_utils.h"
#include "support/net_utils.h"

namespace {

std::string dotted(uint32_t address) { return long2ipstr(ntohl(address)); }

// Empty for "none".
std::string dottedOrEmpty(uint32_t address) { return address ? dotted(address) : std::string(); }

template <size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

void putVar(FILE* out, const char* name, int index, const std::string& value) {
    if (index >= 0)
        fprintf(out, "%s[%d]=%s\n", name, index, shellQuote(value).c_str());
    else
        fprintf(out, "%s=%s\n", name, shellQuote(value).c_str());
}

// A code of a name table; an out-of-range code gives `fallback`.
std::string tableName(const char* const* table, size_t size, uint32_t index, const char* fallback) {
    return index < size ? table[index] : fallback;
}

// IP interfaces and link groups are written under the index they were
// loaded from, which ends their name ("ip3", "link0"): what names them in the
// file names the same entry at the next load.
int loadedIndex(const ConfigNetIf& entry) {
    const std::string name = fieldText(entry.name);
    const size_t digits = name.find_first_of("0123456789");
    return digits == std::string::npos ? 0 : atoi(name.c_str() + digits);
}

// A port's lines under its position among the ports.
void writePort(FILE* out, const ConfigNetIf& e, int n) {
    const ConfigNetIfEth& eth = e.u.eth;
    putVar(out, "IFNAME", n, fieldText(e.name));
    putVar(out, "IFTYPE", n, tableName(__if_attr, 7, e.role - 1, ""));
    putVar(out, "IFLABEL", n, fieldText(e.descr));
    if (e.adminStatus == 1) putVar(out, "IFSTATUS", n, __if_status[1]);
    if (e.kind == NETIF_KIND_ETH) {
        const bool autoneg = eth.autoneg != 1;
        putVar(out, "IFAUTO", n, __if_autoneg[autoneg ? 0 : 1]);
        putVar(out, "IFSPEED", n,
               autoneg ? DEF_CONFIG_AUTO : tableName(__if_speed, 3, eth.speed, DEF_CONFIG_AUTO));
        putVar(out, "IFDUPLX", n,
               autoneg ? DEF_CONFIG_AUTO : tableName(__if_duplex, 2, eth.duplex, DEF_CONFIG_AUTO));
    }
    putVar(out, "IFACTION", n, tableName(__if_action, 4, eth.action - 1, __if_action[0]));
    fputc('\n', out);
}

}  // namespace

keeperStatus RcConf::store() {
    FileBatch batch;
    if (store(batch) == KEEPER_OK && commit(batch)) return KEEPER_OK;
    EV_TRACE(DL_ERROR, "SWConfigPlugin::update_cfg_file, Can't write file %s, %s", path.c_str(),
             strerror(errno));
    return KEEPER_FAIL;
}

keeperStatus RcConf::store(FileBatch& batch) {
    if (path.empty()) return KEEPER_FAIL;
    FILE* out = batch.add(path.c_str()).stream();
    if (!out) {
        EV_TRACE(DL_ERROR, "SWConfigPlugin::update_cfg_file, Can't open for write file %s, %s",
                 path.c_str(), strerror(errno));
        return KEEPER_FAIL;
    }
    write(out);
    return KEEPER_OK;
}

void RcConf::write(FILE* out) {
    fputs(CFG_FILE_HEADER, out);
    putVar(out, "GATEWAY", 0, dottedOrEmpty(model.gateways[0]));
    putVar(out, "GATEWAY", 1, dottedOrEmpty(model.gateways[1]));
    if (hooks.write_sec) hooks.write_sec(out);
    int port = 0;
    for (unsigned pos = 0; pos < CFG_IF_MAX; ++pos) {
        const ConfigNetIf& e = model.ifTable[pos];
        if (e.kind == NETIF_KIND_ETH || e.kind == NETIF_KIND_PORT)
            writePort(out, e, port++);
        else if (e.kind == NETIF_KIND_IP)
            write_ip_if(out, e);
        else if (e.kind == NETIF_KIND_GROUP)
            write_link_group(out, e);
    }
    write_routes(out);
    if (hooks.write_ext) hooks.write_ext(out);
    write_kept_lines(out);
}

// Ids of other entries as the file names them, comma-separated; a link
// group counts its members from 0, hence `offset`.
std::string RcConf::names_of(const uint32_t* ids, uint32_t count, uint32_t offset) const {
    std::string names;
    for (uint32_t i = 0; i < count; ++i) {
        if (i) names += ',';
        names += model.if_name_by_id(ids[i] + offset);
    }
    return names;
}

void RcConf::write_ip_if(FILE* out, const ConfigNetIf& e) const {
    const ConfigNetIfIp& ip = e.u.ip;
    const int m = loadedIndex(e);
    putVar(out, "IPDEV", m, names_of(ip.member, std::min(ip.memberCount, NETIF_IP_MEMBERS), 0));
    const bool down = e.adminStatus == 1;
    putVar(out, "IPADDR", m, down ? "" : dotted(ip.address));
    putVar(out, "NETMASK", m, down ? "" : dotted(ip.mask));
    putVar(out, "BROADCAST", m, down ? "" : dotted(ip.address | ~ip.mask));
    putVar(out, "VLAN", m, ip.vlan == CFG_ALL_ONES ? "" : std::to_string(ip.vlan));
    fputc('\n', out);
}

void RcConf::write_link_group(FILE* out, const ConfigNetIf& e) const {
    const ConfigNetIfGroup& group = e.u.group;
    const int k = loadedIndex(e);
    putVar(out, "LINK", k,
           names_of(group.member, std::min(group.memberCount, NETIF_GROUP_MEMBERS), 1));
    putVar(out, "LINKTYPE", k, tableName(__if_attr, 7, e.role - 1, ""));
    putVar(out, "LINKSRC", k, model.if_name_by_id(group.sourceId));
    fputc('\n', out);
}

void RcConf::write_routes(FILE* out) const {
    int r = 0;
    for (const auto& entry : model.routes) {
        const ConfigRoute& route = entry.rec;
        putVar(out, "ROUTEDEV", r, model.if_name_by_id(route.device));
        putVar(out, "ROUTEADDR", r, dotted(route.destination));
        putVar(out, "ROUTEMASK", r, dotted(route.mask));
        putVar(out, "ROUTEGWAY", r, dotted(route.gateway));
        putVar(out, "ROUTETYPE", r, tableName(__rt_type, 2, route.type, __rt_type[0]));
        ++r;
    }
}

void RcConf::write_switches(FILE* out) const {
    const std::pair<const char*, uint32_t> switches[] = {{"TELNET", model.security.telnet},
                                                         {"PING", model.security.ping},
                                                         {"TCPSEC", model.security.tcpsec},
                                                         {"SSH", model.security.ssh}};
    for (const auto& sw : switches) putVar(out, sw.first, -1, sw.second != 2 ? "1" : "0");
}

// The login profile lies in the administrator's home folder, which is not
// the daemon's: it is read only as a regular file, so that a FIFO or a link
// put there can neither hold the loop nor show the daemon another file.
void ServiceFiles::read_profile() {
    const char* path = paths_.adminProfile.c_str();
    std::vector<std::string> lines;
    if (!readTextLines(fopenRegularForRead(path), lines)) {
        EV_TRACE(DL_NOTIFY, "Can't open file %s, %s", path, strerror(errno));
        return;
    }
    for (const std::string& line : lines) {
        const size_t at = line.find("TMOUT=");
        if (at == std::string::npos) continue;
        model.security.shellTimeout =
            static_cast<uint32_t>(strtoul(line.c_str() + at + 6, nullptr, 10));
        return;
    }
}

// The profile is the administrator's file, read and copied from one
// descriptor that follows no link; its previous content stays beside it as
// the ".old" copy, with the profile's owner and mode.
keeperStatus ServiceFiles::write_profile(FileBatch& batch) {
    const char* path = paths_.adminProfile.c_str();
    EV_TRACE(DL_DEBUG, " SWConfigPlugin::_update_bash_cfg_file, %s", path);
    std::string text;
    struct stat like;
    FILE* in = fopenRegularForRead(path);
    const bool read = in && fstat(fileno(in), &like) == 0 && readAllText(in, text);
    if (in) fclose(in);
    if (!read && (in || errno != ENOENT)) {
        EV_TRACE(DL_ERROR, "Can't open file %s, %s", path, strerror(errno));
        return KEEPER_FAIL;
    }
    if (read) {
        const std::string old = std::string(path) + APP_PROFILE_OLD_SUFFIX;
        if (FILE* copy = batch.add(old.c_str(), like).stream())
            fwrite(text.data(), 1, text.size(), copy);
    }
    FILE* out = batch.add(path).stream();
    if (!out) {
        EV_TRACE(DL_ERROR, "Can't open for write file %s, %s", path, strerror(errno));
        return KEEPER_FAIL;
    }
    for (const std::string& line : splitTextLines(text))
        if (line.find("TMOUT=") == std::string::npos) fprintf(out, "%s\n", line.c_str());
    fprintf(out, "TMOUT=%u\n", model.security.shellTimeout);
    return KEEPER_OK;
}
