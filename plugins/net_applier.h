// The network part of the model as the system applies it: the ports as the
// link layer shows them (their live link state and details, and the
// mirroring that brings ports down and up with the links they follow: a
// port with the action "on_all" is followed by every other port, one with
// "on_pair" by the ports it shares a bridge with), and the changes of
// interfaces, gateways and routes (net_config.cpp).
#ifndef PLUGINS_NET_APPLIER_H
#define PLUGINS_NET_APPLIER_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "plugins/config_model.h"
#include "plugins/link_layer.h"
#include "protocol/keeper_msg.h"
#include "protocol/keeper_records.h"

// Seconds a port must have been up before its link counts as down for the
// ports that mirror it. Bringing a port up restarts auto-negotiation, which
// takes a gigabit PHY about three seconds and some link partners longer;
// during that time the port reads as down. A port brought up by the
// mirroring must not take its partners down again for that reason, so the
// hold time is a safe margin above negotiation, yet short enough that a real
// failure is mirrored within seconds.
constexpr uint32_t CFG_LINK_HOLD_TIME = 10;

// Link-state bookkeeping kept beside each interface entry.
struct MirrorRecord {
    time_t lastUp = 0;
    uint32_t mirrorState = 0;   // 1 down, 2 up
    uint32_t standbyState = 0;  // 1 standby
    // Positions + 1 of the entries whose link state this port follows,
    // ended by 0.
    uint8_t partners[CFG_IF_MAX] = {};
};

class FileBatch;
class PluginJobs;
class RcConf;
class ServiceFiles;

class NetApplier {
public:
    // The model whose network part it applies, the configuration file and
    // the service files it writes, and the plug-in that runs its programs.
    NetApplier(ConfigModel& model, RcConf& rc, ServiceFiles& files, PluginJobs& jobs);
    NetApplier(const NetApplier&) = delete;
    NetApplier& operator=(const NetApplier&) = delete;

    void set_link_layer(std::unique_ptr<LinkLayer> layer) { link = std::move(layer); }
    // Seconds since the epoch.
    void set_clock(std::function<time_t()> c) { clock = std::move(c); }

    // The entry added at that position counts as up since now.
    void entry_added(unsigned position);
    // Live link state, speed and duplex of a port.
    void update_status(ConfigNetIf& entry) const;
    // The capability mask and hardware address of a port.
    void fill_link_details(ConfigNetIf& entry) const;

    // Which ports each port follows, from the actions and bridges of the
    // table. A file without interfaces leaves the ports to themselves.
    void create_mirror_lists();
    // One pass: every port whose partners' links changed is brought down
    // or up, once the hold time allows.
    void process_mirroring();

    // The entry at the cursor's position with its live link state.
    keeperStatus get_if(ConfigAll& all);
    keeperStatus set_if(ConfigNetIf* request, int& mask);
    // Slot 0 out-of-band, 1 in-band.
    keeperStatus set_gateway(unsigned slot, uint32_t address);
    keeperStatus add_route(ConfigRoute* route);
    keeperStatus del_route(ConfigRoute* route);
    // Brings the port at that position up (2) or down (other states).
    keeperStatus set_link_status(int position, int state);
    const MirrorRecord& record(unsigned position) const { return mirror[position]; }

private:
    using RouteList = ConfigModel::RouteList;
    using RouteEdit = std::function<void(RouteList&)>;

    // The changes of set_if by kind, on the entry at `position`.
    keeperStatus change_ip_interface(const ConfigNetIf* request, unsigned position);
    keeperStatus change_plain_port(const ConfigNetIf* request, unsigned position);
    keeperStatus change_eth_port(ConfigNetIf* request, unsigned position, int& mask);
    keeperStatus set_eth_if(ConfigNetIf* request, int& mask);
    // Kind 132: false when nothing changed; the files the change needs
    // besides the configuration file go into the batch.
    bool set_ip_if(const ConfigNetIf* request, unsigned position, FileBatch& batch);
    bool validate_gateway(unsigned slot, uint32_t address) const;
    // The daemon re-applies the network a second later.
    void schedule_network_restart();
    // A route change that `edit` makes on the list: the file is prepared
    // before the route command runs, and list and file change only once
    // the command has succeeded.
    keeperStatus run_route_cmd(const ConfigRoute& route, const char* verb, RouteEdit edit);
    // Makes the change of a route command that succeeded: commits the
    // batch prepared for it, or writes the file anew when another change
    // was written meanwhile (`prepared` null). A file that cannot be
    // written takes the route back out of the kernel.
    keeperStatus keep_route_change(const ConfigRoute& route, const char* verb,
                                   const RouteEdit& edit, FileBatch* prepared);
    // The words of the route command.
    std::vector<std::string> route_words(const ConfigRoute& route, const char* verb) const;
    // Whether a bridge of the table holds both positions.
    bool bridged(unsigned p, unsigned q) const;
    // The mirroring state of port p from its partners' links.
    uint32_t partner_state(unsigned p, time_t now) const;

    ConfigModel& model;
    RcConf& rc;
    ServiceFiles& files;
    PluginJobs& jobs;
    std::unique_ptr<LinkLayer> link;
    std::function<time_t()> clock;
    MirrorRecord mirror[CFG_IF_MAX];
    uint32_t linkHoldTime = CFG_LINK_HOLD_TIME;
};

#endif
