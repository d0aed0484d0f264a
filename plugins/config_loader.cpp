// Loading the model at start-up: the configuration file through the
// per-variable reader, then the builders, then the service files.
#include "plugins/config_loader.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "plugins/net_applier.h"
#include "plugins/service_files.h"
#include "plugins/text_lines.h"
#include "support/ev_debug.h"
#include "support/net_utils.h"
#include "support/str_utils.h"

namespace {

const char* const kPortRoles[] = {"int", "ext", "mgmt", nullptr};
const char* const kDefaultLabels[] = {"INTERNAL", "EXTERNAL", "MGMNT", "OTHER"};

// Copies text into a fixed field, always terminated; false when it does not fit.
template <size_t N>
bool copyField(char (&field)[N], const std::string& text) {
    memset(field, 0, N);
    if (text.size() >= N) return false;
    memcpy(field, text.data(), text.size());
    return true;
}

uint32_t parseAddress(const std::string& text, const char* what) {
    uint32_t address = 0;
    if (!text.empty() && !Com_ipStr2Int(text.c_str(), &address))
        EV_TRACE(DL_ERROR, "SWConfigPlugin, %s [%s] is no IPv4 address", what, text.c_str());
    return address;
}

// The first word after `at` in line and the position past it.
std::string nextWord(const std::string& line, size_t& at) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) ++at;
    const size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r') ++at;
    return line.substr(start, at - start);
}

// How the trace names an entry of a group that the model cannot hold.
std::string entryName(int group, int index) {
    const char* const prefixes[CFG_GROUPS] = {"port ", "ip", "link", "route "};
    return prefixes[group] + std::to_string(index);
}

}  // namespace

keeperStatus RcConf::load() {
    parsed.reset(new ParseTables);
    keptLines.clear();
    std::vector<std::string> lines;
    if (!path.empty() && !readTextLines(path, lines)) {
        if (errno != ENOENT) {
            EV_TRACE(DL_ERROR, "SWConfigPlugin::_parse_cfg_file, Can't read file %s, %s",
                     path.c_str(), strerror(errno));
            return KEEPER_FAIL;
        }
        EV_TRACE(DL_NOTIFY, "SWConfigPlugin::_parse_cfg_file, no file %s: empty configuration",
                 path.c_str());
    }
    const size_t header = headerLineCount(lines);
    std::string name, value;
    for (size_t n = 0; n < lines.size(); ++n) {
        const int kind = parseShellLine(lines[n], name, value);
        if (kind < 0)
            EV_TRACE(DL_ERROR, "SWConfigPlugin::_parse_cfg_file, %s:%u not understood: %s",
                     path.c_str(), static_cast<unsigned>(n + 1), lines[n].c_str());
        else if (kind > 0)
            parse_param(name.c_str(), value.c_str(), static_cast<int>(value.size()));
        if (n >= header && keptAcrossWrites(lines[n])) keptLines.push_back(lines[n]);
    }
    for (int group = 0; group < CFG_GROUPS; ++group)
        for (int index : parsed->outside[group])
            EV_TRACE(DL_ERROR, "SWConfigPlugin::_parse_cfg_file, %s left out: index beyond %d",
                     entryName(group, index).c_str(),
                     (group == CFG_GROUP_ROUTE ? CFG_ROUTE_SLOTS : CFG_IF_SLOTS) - 1);
    create_if_config();
    create_pair_config();
    create_route_config();
    parsed.reset();
    return KEEPER_OK;
}

RcConf::ParseTables::Stored RcConf::ParseTables::store(const std::string& base, int index,
                                                       const std::string& value) {
    struct Table {
        const char* name;
        std::string* slots;
        CfgGroup group;
    };
    const Table tables[] = {
        {"IFNAME", ifName, CFG_GROUP_PORT},
        {"IFTYPE", ifType, CFG_GROUP_PORT},
        {"IFSTATUS", ifStatus, CFG_GROUP_PORT},
        {"IFAUTO", ifAuto, CFG_GROUP_PORT},
        {"IFSPEED", ifSpeed, CFG_GROUP_PORT},
        {"IFDUPLX", ifDuplex, CFG_GROUP_PORT},
        {"IFLABEL", ifLabel, CFG_GROUP_PORT},
        {"IFACTION", ifAction, CFG_GROUP_PORT},
        {"LINK", link, CFG_GROUP_LINK},
        {"LINKTYPE", linkType, CFG_GROUP_LINK},
        {"LINKSRC", linkSrc, CFG_GROUP_LINK},
        {"IPDEV", ipDev, CFG_GROUP_IP},
        {"IPADDR", ipAddr, CFG_GROUP_IP},
        {"NETMASK", netmask, CFG_GROUP_IP},
        {"VLAN", vlan, CFG_GROUP_IP},
        {"ROUTEDEV", routeDev, CFG_GROUP_ROUTE},
        {"ROUTETYPE", routeType, CFG_GROUP_ROUTE},
        {"ROUTEADDR", routeAddr, CFG_GROUP_ROUTE},
        {"ROUTEMASK", routeMask, CFG_GROUP_ROUTE},
        {"ROUTEGWAY", routeGway, CFG_GROUP_ROUTE},
    };
    bool* const seen[CFG_GROUPS] = {ifSeen, ipSeen, linkSeen, routeSeen};
    for (const Table& table : tables) {
        if (base != table.name) continue;
        const int slots = table.group == CFG_GROUP_ROUTE ? CFG_ROUTE_SLOTS : CFG_IF_SLOTS;
        if (index >= slots) {
            outside[table.group].insert(index);
            return OUTSIDE;
        }
        table.slots[index] = value;
        seen[table.group][index] = true;
        return STORED;
    }
    return NO_TABLE;
}

keeperStatus RcConf::parse_param(const char* name, const char* text, int length) {
    if (!name || !text || length < 0) return KEEPER_FAIL;
    if (!parsed) parsed.reset(new ParseTables);
    const std::string value(text, strnlen(text, static_cast<size_t>(length)));
    std::string base;
    int index = -1;
    if (!splitIndexedName(name, base, index)) {
        EV_TRACE(DL_ERROR, "SWConfigPlugin::_parse_cfg_param, bad index in [%s]", name);
        return KEEPER_FAIL;
    }
    // Entries beyond the tables are traced once each, after the whole file.
    const ParseTables::Stored stored =
        index >= 0 ? parsed->store(base, index, value) : ParseTables::NO_TABLE;
    if (stored != ParseTables::NO_TABLE)
        return stored == ParseTables::STORED ? KEEPER_OK : KEEPER_FAIL;
    if (base == "GATEWAY" && (index == 0 || index == 1)) {
        model.gateways[index] = parseAddress(value, name);
        return KEEPER_OK;
    }
    const char* const switches[] = {"HTTP", "TELNET", "PING",    "LCDCONF", "TCPSEC",
                                    "SSH",  "BRSTP",  "BRLEARN", nullptr};
    const int sw = index < 0 ? strMatch(base.c_str(), switches) : -1;
    if (sw >= 0) {
        uint32_t* const fields[] = {&model.security.http,   &model.security.telnet,
                                    &model.security.ping,   &model.security.lcdconf,
                                    &model.security.tcpsec, &model.security.ssh,
                                    &model.brStp,           &model.brLearn};
        *fields[sw] = strtol(value.c_str(), nullptr, 10) != 0 ? 1 : 2;
        return KEEPER_OK;
    }
    if (index < 0 && base == "DEVMODE") {
        const int mode = strMatch(value.c_str(), __dev_mode);
        if (mode >= 0 && model.devMode != 3) model.devMode = static_cast<uint32_t>(mode + 1);
        return KEEPER_OK;
    }
    if (index < 0 && base == "DBSESS") {
        const int sess = strMatch(value.c_str(), __adna_values);
        model.dbSess = sess >= 0 ? static_cast<uint32_t>(sess + 1) : 1;
        return KEEPER_OK;
    }
    // Written by us from the address and mask, so nothing to keep.
    if (base == "BROADCAST" && index >= 0) return KEEPER_OK;
    if (hooks.read_ext && hooks.read_ext(name, value.c_str()) == KEEPER_OK) return KEEPER_OK;
    EV_TRACE(DL_ERROR, "Unknown name of parameter [%s] value [%s]", name, value.c_str());
    return KEEPER_FAIL;
}

// Entries in this order: ports, IP interfaces, link groups, each in the
// order of the file's indexes. An entry's position, and so its id, is the
// same at every load of a file the writer wrote.
void RcConf::create_if_config() {
    memset(model.ifTable, 0, sizeof model.ifTable);
    model.ifCount = 0;
    create_ports();
    model.fileIfCount = model.ifCount;
    create_ip_ifs();
    create_link_groups();
}

ConfigNetIf* RcConf::add_if_entry(uint32_t kind, const std::string& name) {
    if (model.ifCount == CFG_IF_MAX) {
        EV_TRACE(DL_ERROR, "SWConfigPlugin::_create_if_config, %s left out: the table holds %u",
                 name.c_str(), CFG_IF_MAX);
        return nullptr;
    }
    ConfigNetIf& e = model.ifTable[model.ifCount];
    if (!copyField(e.name, name)) {
        EV_TRACE(DL_ERROR, "SWConfigPlugin::_create_if_config, name too long [%s]", name.c_str());
        return nullptr;
    }
    e.kind = kind;
    e.id = model.ifCount + 1;
    net.entry_added(model.ifCount);
    ++model.ifCount;
    return &e;
}

void RcConf::create_ports() {
    const ParseTables& t = *parsed;
    for (int i = 0; i < CFG_IF_SLOTS; ++i) {
        if (t.ifName[i].empty()) continue;
        ConfigNetIf* const e = add_if_entry(NETIF_KIND_ETH, t.ifName[i]);
        if (!e) continue;
        const int role = strMatch(t.ifType[i].c_str(), kPortRoles);
        e->role = role >= 0 ? static_cast<uint32_t>(role + 1) : IF_ROLE_OTHER;
        const std::string& label =
            t.ifLabel[i].empty() ? kDefaultLabels[role >= 0 ? role : 3] : t.ifLabel[i];
        copyField(e->descr, label.substr(0, sizeof e->descr - 1));
        e->adminStatus = t.ifStatus[i] == __if_status[1] ? 1 : 0;
        const int action = strMatch(t.ifAction[i].c_str(), __if_action);
        e->u.eth.action = action >= 0 ? static_cast<uint32_t>(action + 1) : 1;
        const int speed = strMatch(t.ifSpeed[i].c_str(), __if_speed);
        if (speed >= 0 && strcasecmp(t.ifAuto[i].c_str(), "on") != 0) {
            e->u.eth.autoneg = 1;
            e->u.eth.speed = static_cast<uint32_t>(speed);
            e->u.eth.duplex = strcasecmp(t.ifDuplex[i].c_str(), "half") == 0 ? 1 : 0;
        } else {
            e->u.eth.autoneg = 0;
            e->u.eth.speed = CFG_ALL_ONES;
            e->u.eth.duplex = CFG_ALL_ONES;
        }
        net.fill_link_details(*e);
    }
}

// Named after their index in the file, "ip<index>", which the writer keeps:
// a route's ROUTEDEV names the same interface at every load.
void RcConf::create_ip_ifs() {
    const ParseTables& t = *parsed;
    std::vector<std::string> names;
    for (int i = 0; i < CFG_IF_SLOTS; ++i) {
        if (!t.ipSeen[i]) continue;
        ConfigNetIf* const e = add_if_entry(NETIF_KIND_IP, "ip" + std::to_string(i));
        if (!e) continue;
        e->role = IF_ROLE_OTHER;
        e->adminStatus = 1;
        copyField(e->descr, "Virtual IP");
        splitStr(t.ipDev[i].c_str(), ",", names);
        for (const std::string& name : names) {
            const uint32_t id = port_id(name, e->name);
            if (id == 0) continue;
            if (e->u.ip.memberCount == NETIF_IP_MEMBERS) break;
            e->u.ip.member[e->u.ip.memberCount++] = id;
        }
        if (!t.ipAddr[i].empty()) {
            e->u.ip.address = parseAddress(t.ipAddr[i], "IPADDR");
            e->u.ip.mask = parseAddress(t.netmask[i], "NETMASK");
            if (e->u.ip.address != 0) e->adminStatus = 0;
        }
        e->u.ip.vlan = t.vlan[i].empty()
                           ? CFG_ALL_ONES
                           : static_cast<uint32_t>(strtoul(t.vlan[i].c_str(), nullptr, 10));
    }
}

// Named "link<index>" as IP interfaces are.
void RcConf::create_link_groups() {
    const ParseTables& t = *parsed;
    std::vector<std::string> names;
    std::vector<std::pair<ConfigNetIf*, int>> clones;
    for (int i = 0; i < CFG_IF_SLOTS; ++i) {
        if (!t.linkSeen[i]) continue;
        ConfigNetIf* const e = add_if_entry(NETIF_KIND_GROUP, "link" + std::to_string(i));
        if (!e) continue;
        copyField(e->descr, "Virtual Link");
        e->role = t.linkType[i] == "br"    ? IF_ROLE_BR
                  : t.linkType[i] == "tap" ? IF_ROLE_TAP
                                           : IF_ROLE_CLONE;
        if (e->role == IF_ROLE_CLONE && !t.linkSrc[i].empty()) clones.push_back({e, i});
        splitStr(t.link[i].c_str(), ",", names);
        for (const std::string& name : names) {
            const uint32_t id = port_id(name, e->name);
            if (id == 0) continue;
            if (e->u.group.memberCount == NETIF_GROUP_MEMBERS) break;
            e->u.group.member[e->u.group.memberCount++] = id - 1;
        }
    }
    // Once every entry is in place: a source may be any of them.
    for (const auto& clone : clones)
        clone.first->u.group.sourceId = entry_id(t.linkSrc[clone.second], clone.first->name);
}

// Members are ports only.
uint32_t RcConf::port_id(const std::string& name, const char* owner) const {
    for (uint32_t pos = 0; pos < model.fileIfCount; ++pos)
        if (name == model.ifTable[pos].name) return pos + 1;
    EV_TRACE(DL_ERROR, "SWConfigPlugin::_create_if_config, %s names no port [%s]", owner,
             name.c_str());
    return 0;
}

uint32_t RcConf::entry_id(const std::string& name, const char* owner) const {
    const int pos = model.find_if_by_name(name.c_str());
    if (pos >= 0) return static_cast<uint32_t>(pos + 1);
    EV_TRACE(DL_ERROR, "SWConfigPlugin::_parse_cfg_file, %s names no interface [%s]", owner,
             name.c_str());
    return 0;
}

void RcConf::create_pair_config() {
    model.pairCount = 0;
    auto add = [&](uint32_t first, uint32_t second) {
        if (model.pairCount < CFG_PAIR_MAX)
            model.pairs[model.pairCount++] = ConfigIfPair{first, second};
    };
    for (unsigned pos = 0; pos < model.ifCount; ++pos) {
        const ConfigNetIf& e = model.ifTable[pos];
        if (e.kind == NETIF_KIND_ETH || e.kind == NETIF_KIND_PORT) {
            add(0, e.id);
            continue;
        }
        add(e.id, 0);
        if (e.kind == NETIF_KIND_IP)
            for (unsigned m = 0; m < e.u.ip.memberCount && m < NETIF_IP_MEMBERS; ++m)
                add(e.u.ip.member[m], e.id);
        if (e.kind == NETIF_KIND_GROUP)
            for (unsigned m = 0; m < e.u.group.memberCount && m < NETIF_GROUP_MEMBERS; ++m)
                add(e.u.group.member[m] + 1, e.id);
    }
}

void RcConf::create_route_config() {
    const ParseTables& t = *parsed;
    model.routes.clear();
    // In file order, so that loading and rewriting keeps the file as it was.
    for (int i = 0; i < CFG_ROUTE_SLOTS; ++i) {
        if (!t.routeSeen[i]) continue;
        ConfigRoute route{};
        route.type = t.routeType[i] == __rt_type[1] ? ROUTE_TYPE_NET : ROUTE_TYPE_HOST;
        route.destination = parseAddress(t.routeAddr[i], "ROUTEADDR");
        route.mask = parseAddress(t.routeMask[i], "ROUTEMASK");
        route.gateway = parseAddress(t.routeGway[i], "ROUTEGWAY");
        route.device = t.routeDev[i].empty()
                           ? 0
                           : entry_id(t.routeDev[i], ("route " + std::to_string(i)).c_str());
        model.routes.push_back({model.next_handle(), route});
    }
}

void ServiceFiles::load_host() {
    std::vector<std::string> lines;
    if (!readTextLines(paths_.hostname, lines) || lines.empty()) return;
    const std::string& line = lines[0];
    const size_t dot = line.find('.');
    copyField(model.host.hostName, line.substr(0, dot).substr(0, sizeof model.host.hostName - 1));
    copyField(model.host.domainName,
              dot == std::string::npos
                  ? std::string()
                  : line.substr(dot + 1).substr(0, sizeof model.host.domainName - 1));
}

namespace {

// Servers named by the lines of a service file that start with `keyword`.
void loadServers(const std::string& path, const char* keyword, uint32_t type, uint32_t status,
                 const char* skip, std::vector<ConfigAll>& out) {
    std::vector<std::string> lines;
    if (!readTextLines(path, lines)) return;
    uint32_t order = 0;
    for (const std::string& line : lines) {
        size_t at = 0;
        if (nextWord(line, at) != keyword) continue;
        const std::string server = nextWord(line, at);
        if (server.empty() || (skip && server == skip)) continue;
        ConfigAll rec{};
        rec.action = status;
        rec.data.srv.type = type;
        rec.data.srv.order = ++order;
        if (!Com_ipStr2Int(server.c_str(), &rec.data.srv.u.address)) {
            rec.data.srv.byName = 1;
            copyField(rec.data.srv.u.name, server.substr(0, sizeof rec.data.srv.u.name - 1));
        }
        out.push_back(rec);
    }
}

}  // namespace

void ServiceFiles::load_dns() {
    std::vector<ConfigAll> found;
    loadServers(paths_.resolv, "nameserver", SRV_TYPE_DNS, SRV_STATUS_ADDED, nullptr, found);
    for (const ConfigAll& rec : found) model.servers.push_back({model.next_handle(), rec});
}

void ServiceFiles::load_ntp() {
    std::vector<ConfigAll> found;
    loadServers(paths_.ntp, "server", SRV_TYPE_NTP, SRV_STATUS_LOADED_NTP, "127.127.1.0", found);
    for (const ConfigAll& rec : found) model.servers.push_back({model.next_handle(), rec});
}

void ServiceFiles::load_acl() {
    std::vector<std::string> lines;
    if (!readTextLines(paths_.hostsAllow, lines)) return;
    for (const std::string& line : lines) {
        const size_t all = line.find("ALL:");
        if (all == std::string::npos) continue;
        size_t at = all + 4;
        for (std::string word = nextWord(line, at); !word.empty(); word = nextWord(line, at)) {
            if (word == "localhost") continue;
            ConfigACLHost acl{};
            const bool numeric = word.find_first_not_of("01234567890./") == std::string::npos;
            if (!numeric || !Com_ipStr2Int(word.c_str(), &acl.u.address)) {
                if (!numeric) EV_TRACE(DL_DEBUG, " Resolved ACL host - [%s]", word.c_str());
                acl.byName = 1;
                copyField(acl.u.name, word.substr(0, sizeof acl.u.name - 1));
            }
            model.acl.push_back({model.next_handle(), acl});
        }
        return;
    }
}

void ServiceFiles::load() {
    load_host();
    load_dns();
    load_ntp();
    load_acl();
}
