// The ports as the link layer shows them: their live link state and
// details, and the mirroring that brings ports down and up with the links
// they follow: a port with the action "on_all" is followed by every other
// port, one with "on_pair" by the ports it shares a bridge with.
#ifndef PLUGINS_NET_APPLIER_H
#define PLUGINS_NET_APPLIER_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>

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

class NetApplier {
public:
    // The model whose interface entries it applies.
    explicit NetApplier(ConfigModel& model);
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
    // table.
    void create_mirror_lists();
    // One pass: every port whose partners' links changed is brought down
    // or up, once the hold time allows.
    void process_mirroring();
    // Brings the port at that position up (2) or down (other states).
    keeperStatus set_link_status(int position, int state);
    const MirrorRecord& record(unsigned position) const { return mirror[position]; }

private:
    // Whether a bridge of the table holds both positions.
    bool bridged(unsigned p, unsigned q) const;
    // The mirroring state of port p from its partners' links.
    uint32_t partner_state(unsigned p, time_t now) const;

    ConfigModel& model;
    std::unique_ptr<LinkLayer> link;
    std::function<time_t()> clock;
    MirrorRecord mirror[CFG_IF_MAX];
    uint32_t linkHoldTime = CFG_LINK_HOLD_TIME;
};

#endif
