// The configuration requests of the daemon's clients: one getter and one
// setter a configuration command, found through the tables below.
#include <cstring>
#include <map>

#include "plugins/sw_config_plugin.h"
#include "support/ev_debug.h"

namespace {

const char* cmd_name(unsigned cmd) {
    const char* name = configCmdStr(cmd);
    return name ? name : "";
}

// The element after the one whose handle is the cursor (the first for 0);
// null past the end and for a cursor that names no element.
template <class Rec>
const Handled<Rec>* next_after(const std::list<Handled<Rec>>& list, uint32_t cursor) {
    auto it = list.begin();
    if (cursor != 0) {
        while (it != list.end() && it->handle != cursor) ++it;
        if (it != list.end()) ++it;
    }
    return it == list.end() ? nullptr : &*it;
}

// One step of a list walk: the next element into `field`, its handle into
// the cursor; past the end an empty payload and cursor 0.
template <class Rec>
void read_next(const std::list<Handled<Rec>>& list, ConfigAll& all, Rec& field) {
    const Handled<Rec>* next = next_after(list, all.cursor);
    memset(&all.data, 0, sizeof all.data);
    all.cursor = next ? next->handle : 0;
    if (next) field = next->rec;
}

// The pairs are walked by index: the cursor is the index of the next one.
keeperStatus get_pair(SWConfigPlugin& plugin, ConfigAll& all) {
    const uint32_t index = all.cursor;
    memset(&all.data, 0, sizeof all.data);
    all.cursor = 0;
    if (index < plugin.pair_count()) {
        all.data.ifPair = plugin.pair(index);
        all.cursor = index + 1;
    }
    return KEEPER_OK;
}

// A server travels as a whole record, its handle as the cursor.
keeperStatus get_server(SWConfigPlugin& plugin, ConfigAll& all) {
    const Handled<ConfigAll>* next = next_after(plugin.servers(), all.cursor);
    if (next) {
        all = next->rec;
        all.cursor = next->handle;
    } else {
        memset(&all, 0, sizeof all);
    }
    return KEEPER_OK;
}

using Getter = keeperStatus (*)(SWConfigPlugin&, ConfigAll&);

// What a setter changed goes out as an event of its group, the mask its
// code. A list change also names its action in the record.
struct Setter {
    keeperStatus (*set)(SWConfigPlugin&, ConfigAll&, int& mask);
    uint32_t group;
    uint32_t action;  // 0 leaves the record's own
};

using P = SWConfigPlugin;
using A = ConfigAll;

const std::map<unsigned, Getter> kGetters = {
    {CONFIG_TIME, [](P& p, A& a) { return p.service_files().get_time(&a.data.time); }},
    {CONFIG_IF, [](P& p, A& a) { return p.network().get_if(a); }},
    {CONFIG_IFPAIR, get_pair},
    {CONFIG_HOST, [](P& p, A& a) { return a.data.host = p.host(), KEEPER_OK; }},
    {CONFIG_INB_GATEWAY, [](P& p, A& a) { return a.data.word[0] = p.gateway(1), KEEPER_OK; }},
    {CONFIG_OOB_GATEWAY, [](P& p, A& a) { return a.data.word[0] = p.gateway(0), KEEPER_OK; }},
    {CONFIG_SRV_GET, get_server},
    {CONFIG_ROUTE_GET,
     [](P& p, A& a) { return read_next(p.routes(), a, a.data.route), KEEPER_OK; }},
    {CONFIG_SECURITY, [](P& p, A& a) { return a.data.sec = p.security(), KEEPER_OK; }},
    {CONFIG_ACL_GET, [](P& p, A& a) { return read_next(p.acl(), a, a.data.acl), KEEPER_OK; }},
    {CONFIG_VERSION, [](P& p, A& a) { return a.data.ver = p.version(), KEEPER_OK; }},
    {CONFIG_HWSTATUS, [](P& p, A& a) { return a.data.hw = p.hw_status(), KEEPER_OK; }},
};

const std::map<unsigned, Setter> kSetters = {
    {CONFIG_TIME,
     {[](P& p, A& a, int& m) { return p.service_files().set_time(a.data.time, m); }, EVENT_GRP_TIME,
      0}},
    {CONFIG_IF,
     {[](P& p, A& a, int& m) { return p.network().set_if(&a.data.netIf, m); }, EVENT_GRP_IF, 0}},
    {CONFIG_HOST,
     {[](P& p, A& a, int& m) { return p.service_files().set_host(&a.data.host, m); },
      EVENT_GRP_HOST, 0}},
    {CONFIG_INB_GATEWAY,
     {[](P& p, A& a, int& m) {
          return m = GATEWAY_CHANGED_INB, p.network().set_gateway(1, a.data.word[0]);
      },
      EVENT_GRP_GATEWAY, 0}},
    {CONFIG_OOB_GATEWAY,
     {[](P& p, A& a, int& m) {
          return m = GATEWAY_CHANGED_OOB, p.network().set_gateway(0, a.data.word[0]);
      },
      EVENT_GRP_GATEWAY, 0}},
    {CONFIG_SRV_ADD,
     {[](P& p, A& a, int& m) { return p.service_files().add_server(&a, m); }, EVENT_GRP_SERVER,
      CONFIG_ACTION_ADD}},
    {CONFIG_SRV_DEL,
     {[](P& p, A& a, int& m) { return p.service_files().del_server(&a, m); }, EVENT_GRP_SERVER,
      CONFIG_ACTION_DEL}},
    {CONFIG_ROUTE_ADD,
     {[](P& p, A& a, int&) { return p.network().add_route(&a.data.route); }, EVENT_GRP_ROUTE,
      CONFIG_ACTION_ADD}},
    {CONFIG_ROUTE_DEL,
     {[](P& p, A& a, int&) { return p.network().del_route(&a.data.route); }, EVENT_GRP_ROUTE,
      CONFIG_ACTION_DEL}},
    {CONFIG_SECURITY,
     {[](P& p, A& a, int& m) { return p.set_security(&a.data.sec, m); }, EVENT_GRP_SECURITY, 0}},
    {CONFIG_ACL_ADD,
     {[](P& p, A& a, int&) { return p.service_files().add_acl(&a.data.acl); }, EVENT_GRP_ACL,
      CONFIG_ACTION_ADD}},
    {CONFIG_ACL_DEL,
     {[](P& p, A& a, int&) { return p.service_files().del_acl(&a.data.acl); }, EVENT_GRP_ACL,
      CONFIG_ACTION_DEL}},
    // Publishes the version record as the client sent it; the model
    // keeps its own.
    {CONFIG_VERSION, {[](P&, A&, int&) { return KEEPER_OK; }, EVENT_GRP_VERSION, 0}},
};

}  // namespace

void SWConfigPlugin::_get_conf(GeneralMsg& msg) {
    KeeperConfigMsg& req = msg.payload.config;
    auto entry = kGetters.find(req.cmd);
    if (entry != kGetters.end()) {
        req.status = entry->second(*this, req.data);
        return;
    }
    EV_TRACE(DL_ERROR, "ClientHandler::get_conf, unknown command:%s (%u)", cmd_name(req.cmd),
             req.cmd);
    req.status = KEEPER_FAIL;
}

void SWConfigPlugin::_set_conf(GeneralMsg& msg) {
    KeeperConfigMsg& req = msg.payload.config;
    auto entry = kSetters.find(req.cmd);
    if (entry == kSetters.end()) {
        EV_TRACE(DL_ERROR, "SWConfigPlugin::_set_conf, unsupported command:%s (%u)",
                 cmd_name(req.cmd), req.cmd);
        req.status = KEEPER_FAIL;
        return;
    }
    int mask = 0;
    const keeperStatus status = entry->second.set(*this, req.data, mask);
    if (entry->second.action) req.data.action = entry->second.action;
    req.status = status;
    if (status == KEEPER_FAIL) return;
    msg.eventGrp = entry->second.group;
    msg.eventId = static_cast<uint32_t>(mask);
    if (status == KEEPER_OK_REBOOT && daemon_) {
        EV_TRACE(DL_NOTIFY, "SWConfigPlugin::_set_conf, %s needs a reboot", cmd_name(req.cmd));
        daemon_->request_reboot();
    }
}
