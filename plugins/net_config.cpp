// The network part of the model: interfaces with their live link state, the
// two default gateways and the static routes. Changes are written to the
// configuration file; the route command applies a route, and its request is
// answered once the command has ended; the network script re-applies
// addresses and gateways a second later, and a port's link settings take
// effect at the next boot.
#include <arpa/inet.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "plugins/config_loader.h"
#include "plugins/net_applier.h"
#include "plugins/plugin_jobs.h"
#include "plugins/service_files.h"
#include "protocol/link_modes.h"
#include "support/appliance.h"
#include "support/atomic_file.h"
#include "support/ev_debug.h"
#include "support/net_utils.h"

namespace {

std::string dotted(uint32_t address) { return long2ipstr(ntohl(address)); }

// A request field that holds all ones is not given.
bool given(uint32_t field) { return field != CFG_ALL_ONES; }

bool givenInRange(uint32_t field, uint32_t first, uint32_t last) {
    return !given(field) || (field >= first && field <= last);
}

template <size_t N>
bool terminated(const char (&field)[N]) {
    return memchr(field, '\0', N) != nullptr;
}

// Ones followed by zeros (network order in, as the model keeps it).
bool contiguousMask(uint32_t mask) {
    const uint32_t host = ~ntohl(mask);
    return (host & (host + 1)) == 0;
}

// The words of a command with its "%s" words replaced by `values`, in order.
std::vector<std::string> commandWords(const char* const* command,
                                      std::initializer_list<std::string> values) {
    std::vector<std::string> words;
    auto value = values.begin();
    for (; *command; ++command)
        words.push_back(strcmp(*command, "%s") == 0 && value != values.end() ? *value++ : *command);
    return words;
}

// Route commands run one at a time, and never beside the network restart,
// which applies the routes again.
ProgramRunner::Job routeJob(std::vector<std::string> words) {
    ProgramRunner::Job job = ProgramRunner::program(std::move(words), APP_RUN_DEADLINE_HOST_CMD);
    job.queue = APP_ROUTE_QUEUE;
    return job;
}

bool sameRoute(const ConfigRoute& a, const ConfigRoute& b) {
    return a.type == b.type && a.destination == b.destination && a.mask == b.mask &&
           a.gateway == b.gateway && a.device == b.device;
}

// A mode without negotiation that the port's capability mask lists.
bool modeSupported(uint32_t speed, uint32_t duplex, uint32_t capability) {
    if (speed > 2 || duplex > 1) {
        EV_TRACE(DL_ERROR, " Mode speed= %d, duplex= %d is NOT supported", static_cast<int>(speed),
                 static_cast<int>(duplex));
        return false;
    }
    return check_supported(static_cast<int>(speed) + 2, static_cast<int>(duplex) + 2,
                           static_cast<int>(capability)) != 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Interfaces.

keeperStatus NetApplier::get_if(ConfigAll& all) {
    const uint32_t position = all.cursor;
    memset(&all.data, 0, sizeof all.data);
    all.cursor = 0;
    if (position < model.ifCount) {
        update_status(model.ifTable[position]);
        all.data.netIf = model.ifTable[position];
        all.cursor = model.ifTable[position].id;
    }
    return KEEPER_OK;
}

keeperStatus NetApplier::set_if(ConfigNetIf* request, int& mask) {
    const uint32_t kind = request->kind;
    if (kind != NETIF_KIND_ETH && kind != NETIF_KIND_PORT && kind != NETIF_KIND_IP) {
        EV_TRACE(DL_ERROR, "NetApplier::set_if, kind %u cannot be set", kind);
        return KEEPER_FAIL;
    }
    const uint32_t id = request->id;
    if (id == 0 || id > CFG_IF_MAX || model.ifTable[id - 1].id != id) {
        EV_TRACE(DL_ERROR, "NetApplier::set_if, no interface with id %u", id);
        return KEEPER_FAIL;
    }
    const unsigned position = id - 1;
    const ConfigNetIf& entry = model.ifTable[position];
    if (entry.kind != kind || !terminated(request->name) ||
        strcmp(entry.name, request->name) != 0) {
        EV_TRACE(DL_ERROR, "NetApplier::set_if, interface %u is no kind %u named as asked", id,
                 kind);
        return KEEPER_FAIL;
    }
    if (kind == NETIF_KIND_IP) return change_ip_interface(request, position);
    if (kind == NETIF_KIND_PORT) return change_plain_port(request, position);
    return change_eth_port(request, position, mask);
}

keeperStatus NetApplier::change_ip_interface(const ConfigNetIf* request, unsigned position) {
    const ConfigNetIfIp& ip = request->u.ip;
    if ((given(ip.vlan) && ip.vlan > 4094) || (ip.address != 0 && !contiguousMask(ip.mask))) {
        EV_TRACE(DL_ERROR, "NetApplier::set_if, %s: VLAN %u or mask %s refused",
                 model.ifTable[position].name, ip.vlan, dotted(ip.mask).c_str());
        return KEEPER_FAIL;
    }
    ModelUndo<ConfigNetIf> undo(model.ifTable[position]);
    FileBatch batch;
    if (!set_ip_if(request, position, batch)) return KEEPER_NO_CHANGE;
    if (rc.store(batch) != KEEPER_OK || !rc.commit(batch)) return KEEPER_FAIL;
    undo.keep();
    schedule_network_restart();
    return KEEPER_OK;
}

// Kept for readers of the model; nothing of it is written.
keeperStatus NetApplier::change_plain_port(const ConfigNetIf* request, unsigned position) {
    ConfigNetIf& entry = model.ifTable[position];
    const ConfigNetIfEth& want = request->u.eth;
    if (!givenInRange(want.speed, 0, 2) || !givenInRange(want.duplex, 0, 1) ||
        !givenInRange(want.action, 1, 4)) {
        EV_TRACE(DL_ERROR, "NetApplier::set_if, %s: a code out of range", entry.name);
        return KEEPER_FAIL;
    }
    ConfigNetIfEth& eth = entry.u.eth;
    for (auto field : {&ConfigNetIfEth::speed, &ConfigNetIfEth::duplex, &ConfigNetIfEth::liveSpeed,
                       &ConfigNetIfEth::liveDuplex, &ConfigNetIfEth::action})
        if (given(want.*field)) eth.*field = want.*field;
    return KEEPER_NO_CHANGE;
}

// The port's links follow its new action only once the change is written.
keeperStatus NetApplier::change_eth_port(ConfigNetIf* request, unsigned position, int& mask) {
    ConfigNetIf& entry = model.ifTable[position];
    const ConfigNetIfEth& want = request->u.eth;
    EV_TRACE(DL_NOTIFY, "Try to set IF [%s] conf: autoneg= %d, duplex= %d, speed= %d, action= %d",
             entry.name, static_cast<int>(want.autoneg), static_cast<int>(want.duplex),
             static_cast<int>(want.speed), static_cast<int>(want.action));
    ModelUndo<ConfigNetIf> undo(entry);
    const uint32_t action = entry.u.eth.action;
    int changes = 0;
    const keeperStatus status = set_eth_if(request, changes);
    if (status > KEEPER_OK_REBOOT) return status;
    if (rc.store() != KEEPER_OK) return KEEPER_FAIL;
    undo.keep();
    mask |= changes;
    if (entry.u.eth.action != action) {
        create_mirror_lists();
        process_mirroring();
    }
    return status;
}

keeperStatus NetApplier::set_eth_if(ConfigNetIf* request, int& mask) {
    const uint32_t id = request->id;
    if (id == 0 || id > CFG_IF_MAX || model.ifTable[id - 1].kind != NETIF_KIND_ETH)
        return KEEPER_FAIL;
    ConfigNetIf& entry = model.ifTable[id - 1];
    ConfigNetIfEth& eth = entry.u.eth;
    const ConfigNetIfEth& want = request->u.eth;
    if (!givenInRange(request->adminStatus, 0, 1) || !givenInRange(want.autoneg, 0, 1) ||
        !givenInRange(want.speed, 0, 2) || !givenInRange(want.duplex, 0, 1) ||
        !givenInRange(want.action, 1, 4)) {
        EV_TRACE(DL_ERROR, "SWConfigPlugin::_set_eth_if, %s: a code out of range", entry.name);
        return KEEPER_FAIL;
    }

    const bool adminChanges =
        given(request->adminStatus) && request->adminStatus != entry.adminStatus;
    const uint32_t autoneg = given(want.autoneg) ? want.autoneg : eth.autoneg;
    const uint32_t speed = given(want.speed) ? want.speed : eth.speed;
    const uint32_t duplex = given(want.duplex) ? want.duplex : eth.duplex;
    // With negotiation on, speed and duplex are the link's business.
    const bool modeChanges =
        autoneg != eth.autoneg || (autoneg == 1 && (speed != eth.speed || duplex != eth.duplex));
    // Checked before anything is stored: a refused request changes nothing.
    if (modeChanges && autoneg == 1 && !modeSupported(speed, duplex, eth.supported))
        return KEEPER_FAIL;

    if (adminChanges) {
        entry.adminStatus = request->adminStatus;
        mask |= IF_CHANGED_ADMIN;
    }
    if (modeChanges) {
        if (autoneg != eth.autoneg) mask |= IF_CHANGED_SPEED | IF_CHANGED_DUPLEX;
        if (speed != eth.speed) mask |= IF_CHANGED_SPEED;
        if (duplex != eth.duplex) mask |= IF_CHANGED_DUPLEX;
        eth.autoneg = autoneg;
        eth.speed = speed;
        eth.duplex = duplex;
    }
    // Administrative state and link mode are applied by the rc scripts at
    // boot.
    keeperStatus answer = adminChanges || modeChanges ? KEEPER_OK_REBOOT : KEEPER_NO_CHANGE;
    if (given(want.action) && want.action != eth.action) {
        eth.action = want.action;
        mask |= IF_CHANGED_ACTION;
        answer = adminChanges || modeChanges ? KEEPER_OK_REBOOT : KEEPER_OK;
    }
    *request = entry;
    return answer;
}

bool NetApplier::set_ip_if(const ConfigNetIf* request, unsigned position, FileBatch& batch) {
    ConfigNetIf& entry = model.ifTable[position];
    ConfigNetIfIp& ip = entry.u.ip;
    const ConfigNetIfIp& want = request->u.ip;
    if (want.vlan == ip.vlan && want.address == ip.address && want.mask == ip.mask) return false;
    EV_TRACE(DL_NOTIFY, "%s: %d, %d, %d", "_set_ip_if", static_cast<int>(want.vlan),
             static_cast<int>(want.address), static_cast<int>(want.mask));
    ip.vlan = want.vlan;
    ip.address = want.address;
    ip.mask = want.mask;
    if (ip.address == 0) {
        entry.adminStatus = 1;
        files.write_hosts(batch);
        return true;
    }
    bool management = false;
    for (uint32_t m = 0; m < ip.memberCount && m < NETIF_IP_MEMBERS; ++m) {
        const uint32_t member = ip.member[m];
        if (member >= 1 && member <= CFG_IF_MAX && model.ifTable[member - 1].kind != 0 &&
            model.ifTable[member - 1].role == IF_ROLE_MGMT)
            management = true;
    }
    if (management) {
        if (files.write_webstart(dotted(ip.address).c_str(), batch))
            EV_TRACE(DL_NOTIFY, "kelda.jnlp ip change success.");
        else
            EV_TRACE(DL_ERROR, "kelda.jnlp ip change FAILURE.");
    }
    entry.adminStatus = 0;
    // A hosts file that cannot be written fails the batch.
    files.write_hosts(batch);
    return true;
}

// In the route commands' queue: the script applies the routes again, and a
// burst of address and gateway changes restarts the network at most twice.
void NetApplier::schedule_network_restart() {
    if (jobs.hosted())
        jobs.schedule(1, [this] { jobs.start(scriptJob(ARGV_INET1_RESTART, APP_ROUTE_QUEUE)); });
}

// ---------------------------------------------------------------------------
// Gateways.

keeperStatus NetApplier::set_gateway(unsigned slot, uint32_t address) {
    if (address == model.gateways[slot]) return KEEPER_NO_CHANGE;
    EV_TRACE(DL_NOTIFY, "_set_gateway: [%d] %s", slot, dotted(address).c_str());
    if (!validate_gateway(slot, address)) return KEEPER_FAIL;
    const uint32_t old = model.gateways[slot];
    ModelUndo<uint32_t> undo(model.gateways[slot]);
    model.gateways[slot] = address;
    if (rc.store() != KEEPER_OK) return KEEPER_FAIL;
    undo.keep();
    // The answer never depended on the old default route's removal: nothing
    // waits for it.
    if (old != 0) jobs.start(routeJob(commandWords(ARGV_ROUTE_DEL_DEFAULT, {dotted(old)})));
    schedule_network_restart();
    return KEEPER_OK;
}

bool NetApplier::validate_gateway(unsigned slot, uint32_t address) const {
    if (address == 0) return true;
    const uint32_t role = slot == 1 ? IF_ROLE_INT : IF_ROLE_MGMT;
    const ConfigNetIf* port = nullptr;
    for (unsigned pos = 0; pos < model.ifCount && !port; ++pos)
        if (model.ifTable[pos].kind == NETIF_KIND_ETH && model.ifTable[pos].role == role)
            port = &model.ifTable[pos];
    if (!port) {
        EV_TRACE(DL_ERROR, "_validate_gateway: phys interface not found, attr %d", role);
        return false;
    }
    for (unsigned pos = 0; pos < model.ifCount; ++pos) {
        const ConfigNetIf& e = model.ifTable[pos];
        if (e.kind != NETIF_KIND_IP) continue;
        for (uint32_t m = 0; m < e.u.ip.memberCount && m < NETIF_IP_MEMBERS; ++m) {
            if (e.u.ip.member[m] != port->id) continue;
            if ((address & e.u.ip.mask) == (e.u.ip.address & e.u.ip.mask)) return true;
            EV_TRACE(DL_ERROR, "_validate_gateway: gateway address %s doesn't match IP subnet",
                     dotted(address).c_str());
            return false;
        }
    }
    EV_TRACE(DL_ERROR, "_validate_gateway: IP interface not found, attr %d, index %d", role,
             port->id);
    return false;
}

// ---------------------------------------------------------------------------
// Static routes.

keeperStatus NetApplier::add_route(ConfigRoute* route) {
    // The file holds no more routes than the loader reads back.
    if (model.routes.size() >= static_cast<size_t>(CFG_ROUTE_SLOTS)) {
        EV_TRACE(DL_ERROR, "add_route: refused, the table holds %d routes", CFG_ROUTE_SLOTS);
        return KEEPER_FAIL;
    }
    for (const auto& entry : model.routes) {
        if (sameRoute(entry.rec, *route)) {
            EV_TRACE(DL_NOTIFY, "Route already exists in the table.");
            return KEEPER_NO_CHANGE;
        }
    }
    // Device 0 is a route without a device; any other id names an interface.
    if (route->type > 1 || (route->device != 0 && model.if_name_by_id(route->device).empty())) {
        EV_TRACE(DL_ERROR, "add_route: refused, type %u or device %u unknown", route->type,
                 route->device);
        return KEEPER_FAIL;
    }
    const Handled<ConfigRoute> added{model.next_handle(), *route};
    // Newest first, in the list and in the file.
    return run_route_cmd(*route, "add", [added](RouteList& routes) { routes.push_front(added); });
}

keeperStatus NetApplier::del_route(ConfigRoute* route) {
    auto found = model.routes.begin();
    while (found != model.routes.end() && !sameRoute(found->rec, *route)) ++found;
    if (found == model.routes.end()) {
        EV_TRACE(DL_NOTIFY, "Route not found in the table.");
        return KEEPER_NO_CHANGE;
    }
    const ConfigRoute removed = found->rec;
    return run_route_cmd(removed, "del", [removed](RouteList& routes) {
        routes.remove_if([&removed](const Handled<ConfigRoute>& entry) {
            return sameRoute(entry.rec, removed);
        });
    });
}

keeperStatus NetApplier::run_route_cmd(const ConfigRoute& route, const char* verb, RouteEdit edit) {
    auto batch = std::make_shared<FileBatch>();
    {
        ModelUndo<RouteList> undo(model.routes);
        edit(model.routes);
        if (rc.store(*batch) != KEEPER_OK || !batch->prepare()) {
            EV_TRACE(DL_ERROR, "route %s refused: %s cannot be written", verb, rc.file().c_str());
            return KEEPER_FAIL;
        }
    }
    const uint32_t generation = rc.generation();
    return jobs.run_for_reply(
        routeJob(route_words(route, verb)),
        [this, route, verb, edit, batch, generation](const RunOutcome& outcome) {
            if (!outcome.ok()) {
                EV_TRACE(DL_ERROR, "route command failed (%s)", outcome.text().c_str());
                return KEEPER_FAIL;
            }
            FileBatch* prepared = generation == rc.generation() ? batch.get() : nullptr;
            return keep_route_change(route, verb, edit, prepared);
        });
}

std::vector<std::string> NetApplier::route_words(const ConfigRoute& route, const char* verb) const {
    const std::string device = model.if_name_by_id(route.device);
    std::vector<std::string> words =
        route.type == ROUTE_TYPE_NET
            ? commandWords(ARGV_ROUTE_NET, {verb, dotted(route.destination), dotted(route.mask),
                                            dotted(route.gateway), device})
            : commandWords(ARGV_ROUTE_HOST,
                           {verb, dotted(route.destination), dotted(route.gateway), device});
    // The device is the last word; a route without one has no such word.
    if (device.empty()) words.pop_back();
    return words;
}

keeperStatus NetApplier::keep_route_change(const ConfigRoute& route, const char* verb,
                                           const RouteEdit& edit, FileBatch* prepared) {
    ModelUndo<RouteList> undo(model.routes);
    edit(model.routes);
    FileBatch fresh;
    const bool written =
        (prepared || rc.store(fresh) == KEEPER_OK) && rc.commit(prepared ? *prepared : fresh);
    if (written) {
        undo.keep();
        return KEEPER_OK;
    }
    // The kernel goes back to what the list and the file hold.
    const char* back = strcmp(verb, "add") == 0 ? "del" : "add";
    EV_TRACE(DL_ERROR, "route %s made, but %s cannot be written: route %s", verb, rc.file().c_str(),
             back);
    jobs.start(routeJob(route_words(route, back)));
    return KEEPER_FAIL;
}
