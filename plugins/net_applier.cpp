#include "plugins/net_applier.h"

#include <cstring>
#include <string>

#include "support/ev_debug.h"

namespace {

constexpr uint32_t kActionOnPair = 2;
constexpr uint32_t kActionOnAll = 3;
constexpr uint32_t kMirrorDown = 1;
constexpr uint32_t kMirrorUp = 2;

bool isPort(const ConfigNetIf& e) { return e.kind == NETIF_KIND_ETH || e.kind == NETIF_KIND_PORT; }

bool groupHas(const ConfigNetIfGroup& group, unsigned position) {
    for (uint32_t m = 0; m < group.memberCount && m < NETIF_GROUP_MEMBERS; ++m)
        if (group.member[m] == position) return true;
    return false;
}

}  // namespace

NetApplier::NetApplier(ConfigModel& m, RcConf& r, ServiceFiles& f, PluginJobs& j)
    : model(m), rc(r), files(f), jobs(j), link(new LinkLayer), clock([] {
          return time(nullptr);
      }) {}

void NetApplier::entry_added(unsigned position) {
    // Not on standby.
    mirror[position] = MirrorRecord{clock(), kMirrorUp, 2};
}

bool NetApplier::bridged(unsigned p, unsigned q) const {
    for (unsigned pos = 0; pos < model.ifCount; ++pos) {
        const ConfigNetIf& g = model.ifTable[pos];
        if (g.kind == NETIF_KIND_GROUP && g.role == IF_ROLE_BR && groupHas(g.u.group, p) &&
            groupHas(g.u.group, q))
            return true;
    }
    return false;
}

void NetApplier::create_mirror_lists() {
    if (model.ifCount == 0 || model.fileIfCount == 0) return;
    for (unsigned p = 0; p < model.ifCount; ++p) {
        MirrorRecord& rec = mirror[p];
        memset(rec.partners, 0, sizeof rec.partners);
        if (model.ifTable[p].kind != NETIF_KIND_ETH) continue;
        unsigned listed = 0;
        std::string names;
        // The last slot stays 0: the list's end.
        for (unsigned q = 0; q < model.ifCount && listed + 1 < CFG_IF_MAX; ++q) {
            const ConfigNetIf& other = model.ifTable[q];
            if (q == p || !isPort(other)) continue;
            const uint32_t action = other.u.eth.action;
            if (action != kActionOnAll && !(action == kActionOnPair && bridged(p, q))) continue;
            rec.partners[listed++] = static_cast<uint8_t>(q + 1);
            names += std::string(other.name) + ", ";
        }
        EV_TRACE(DL_DEBUG, " IF %s will act synchronously with: %s", model.ifTable[p].name,
                 names.c_str());
    }
}

uint32_t NetApplier::partner_state(unsigned p, time_t now) const {
    const MirrorRecord& rec = mirror[p];
    for (unsigned i = 0; i < CFG_IF_MAX && rec.partners[i] != 0; ++i) {
        const unsigned q = rec.partners[i] - 1u;
        const ConfigNetIf& partner = model.ifTable[q];
        const long fromUp = static_cast<long>(now - mirror[q].lastUp);
        EV_TRACE(DL_DEBUG,
                 "_process_mirroring(): Link %s reference %s. status= %d, admin_stat= %d, "
                 "time from up= %d",
                 model.ifTable[p].name, partner.name, static_cast<int>(partner.u.eth.linkState),
                 static_cast<int>(partner.adminStatus), static_cast<int>(fromUp));
        // A partner brought down by the mirroring itself, or one whose
        // link is still coming up, takes nobody down.
        if (partner.u.eth.linkState == NETIF_LINK_DOWN && mirror[q].mirrorState == kMirrorUp &&
            fromUp > static_cast<long>(linkHoldTime))
            return kMirrorDown;
    }
    return kMirrorUp;
}

void NetApplier::process_mirroring() {
    if (model.ifCount == 0 || model.fileIfCount == 0) return;
    // The link states of this moment, read once for the whole pass.
    for (unsigned pos = 0; pos < model.ifCount; ++pos) update_status(model.ifTable[pos]);
    const time_t now = clock();
    for (unsigned p = 0; p < model.ifCount; ++p) {
        const ConfigNetIf& port = model.ifTable[p];
        if (port.kind != NETIF_KIND_ETH) continue;
        const uint32_t state = partner_state(p, now);
        EV_TRACE(DL_DEBUG,
                 "_process_mirroring(): Link %s. status= %d, admin_stat= %d, refer_act= %d",
                 port.name, static_cast<int>(port.u.eth.linkState),
                 static_cast<int>(port.adminStatus), static_cast<int>(state));
        if (state == mirror[p].mirrorState) continue;
        mirror[p].mirrorState = state;
        set_link_status(static_cast<int>(p), static_cast<int>(state));
    }
}

keeperStatus NetApplier::set_link_status(int position, int state) {
    if (position < 0 || static_cast<unsigned>(position) >= model.ifCount) return KEEPER_FAIL;
    const ConfigNetIf& port = model.ifTable[position];
    MirrorRecord& rec = mirror[position];
    const bool up = state == static_cast<int>(kMirrorUp);
    const char* text = up ? "UP" : "DOWN";
    EV_TRACE(DL_NOTIFY, "_set_link_status(): Set link %s to %s. admin_stat= %d, standby_stat= %d",
             port.name, text, static_cast<int>(port.adminStatus),
             static_cast<int>(rec.standbyState));
    // The management port keeps its link whatever happens to the others.
    if (up ? rec.mirrorState == kMirrorDown || rec.standbyState == 1 : port.role == IF_ROLE_MGMT)
        return KEEPER_OK;
    EV_TRACE(DL_NOTIFY, "Try to set %s(%d) interface %d", text, state, position);
    const int rc = link->set(port.name, up ? HWU_LINK_UP : HWU_LINK_DOWN);
    if (up) rec.lastUp = clock();
    if (rc != 0) {
        EV_TRACE(DL_ERROR, "*** Error in hwu_link_set() for IF %s, requested status is %s",
                 port.name, text);
        return KEEPER_FAIL;
    }
    return KEEPER_OK;
}

void NetApplier::update_status(ConfigNetIf& entry) const {
    if (entry.kind != NETIF_KIND_ETH) return;
    ConfigNetIfEth& eth = entry.u.eth;
    eth.linkState = NETIF_LINK_DOWN;
    int status = HWU_LINK_DOWN, speed = 0, duplex = 0;
    if (link->status(entry.name, &status) != 0 || status != HWU_LINK_UP) return;
    if (link->speed(entry.name, &speed) != 0 || link->duplex(entry.name, &duplex) != 0) return;
    eth.linkState = NETIF_LINK_UP;
    eth.liveSpeed = static_cast<uint32_t>(speed) << 20;
    eth.liveDuplex = duplex == 1 ? 0 : 1;
    EV_TRACE(DL_DEBUG_EXT, "If statuses from low level: speed= %d, duplex= %d, status= %d", speed,
             duplex, status);
}

void NetApplier::fill_link_details(ConfigNetIf& entry) const {
    unsigned supported = 0;
    if (link->details(entry.name, &supported) != 0) {
        EV_TRACE(DL_ERROR, "Error in call hwu_link_details() for interface %s", entry.name);
        supported = 0;
    }
    entry.u.eth.supported = supported;
    unsigned char mac[6] = {0};
    if (link->hwAddr(entry.name, mac) != 0) {
        EV_TRACE(DL_ERROR, "Error in call hwu_link_hwAddr() for interface %s", entry.name);
        memset(mac, 0, sizeof mac);
    }
    memcpy(entry.u.eth.hwAddr, mac, sizeof entry.u.eth.hwAddr);
}
