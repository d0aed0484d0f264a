// Ports whose link follows other ports: a port with the action "on_all"
// is followed by every other port, one with "on_pair" by the ports it shares
// a bridge with. When a followed port loses its link, its followers are
// brought down; when it has its link again, they are brought back up.
#include <cstring>
#include <string>

#include "plugins/sw_config_plugin.h"
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

void SWConfigPlugin::_create_mirror_lists() {
    if (ifCount == 0 || fileIfCount == 0) return;
    auto bridged = [this](unsigned p, unsigned q) {
        for (unsigned pos = 0; pos < ifCount; ++pos) {
            const ConfigNetIf& g = ifTable[pos];
            if (g.kind == NETIF_KIND_GROUP && g.role == IF_ROLE_BR && groupHas(g.u.group, p) &&
                groupHas(g.u.group, q))
                return true;
        }
        return false;
    };
    for (unsigned p = 0; p < ifCount; ++p) {
        MirrorRecord& rec = mirror[p];
        memset(rec.partners, 0, sizeof rec.partners);
        if (ifTable[p].kind != NETIF_KIND_ETH) continue;
        unsigned count = 0;
        std::string names;
        // The last slot stays 0: the list's end.
        for (unsigned q = 0; q < ifCount && count + 1 < CFG_IF_MAX; ++q) {
            const ConfigNetIf& other = ifTable[q];
            if (q == p || !isPort(other)) continue;
            const uint32_t action = other.u.eth.action;
            if (action != kActionOnAll && !(action == kActionOnPair && bridged(p, q))) continue;
            rec.partners[count++] = static_cast<uint8_t>(q + 1);
            names += std::string(other.name) + ", ";
        }
        EV_TRACE(DL_DEBUG, " IF %s will act synchronously with: %s", ifTable[p].name,
                 names.c_str());
    }
}

void SWConfigPlugin::_process_mirroring() {
    if (ifCount == 0 || fileIfCount == 0) return;
    // The link states of this moment, read once for the whole pass.
    for (unsigned pos = 0; pos < ifCount; ++pos) _update_if_status(ifTable[pos]);
    const time_t now = clock();
    for (unsigned p = 0; p < ifCount; ++p) {
        const ConfigNetIf& port = ifTable[p];
        if (port.kind != NETIF_KIND_ETH) continue;
        MirrorRecord& rec = mirror[p];
        uint32_t state = kMirrorUp;
        for (unsigned i = 0; i < CFG_IF_MAX && rec.partners[i] != 0 && state == kMirrorUp; ++i) {
            const unsigned q = rec.partners[i] - 1u;
            const ConfigNetIf& partner = ifTable[q];
            const long fromUp = static_cast<long>(now - mirror[q].lastUp);
            EV_TRACE(DL_DEBUG,
                     "_process_mirroring(): Link %s reference %s. status= %d, admin_stat= %d, "
                     "time from up= %d",
                     port.name, partner.name, static_cast<int>(partner.u.eth.linkState),
                     static_cast<int>(partner.adminStatus), static_cast<int>(fromUp));
            // A partner brought down by the mirroring itself, or one whose
            // link is still coming up, takes nobody down.
            if (partner.u.eth.linkState == NETIF_LINK_DOWN && mirror[q].mirrorState == kMirrorUp &&
                fromUp > static_cast<long>(linkHoldTime))
                state = kMirrorDown;
        }
        EV_TRACE(DL_DEBUG,
                 "_process_mirroring(): Link %s. status= %d, admin_stat= %d, refer_act= %d",
                 port.name, static_cast<int>(port.u.eth.linkState),
                 static_cast<int>(port.adminStatus), static_cast<int>(state));
        if (state == rec.mirrorState) continue;
        rec.mirrorState = state;
        _set_link_status(static_cast<int>(p), static_cast<int>(state));
    }
}

keeperStatus SWConfigPlugin::_set_link_status(int position, int state) {
    if (position < 0 || static_cast<unsigned>(position) >= ifCount) return KEEPER_FAIL;
    const ConfigNetIf& port = ifTable[position];
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
