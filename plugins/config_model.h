// The configuration model: what the plug-in knows of the system (host,
// gateways, interfaces, pairs, routes, name and time servers, access list,
// security switches, version, hardware status). The plug-in owns it; the
// configuration file, the service files and the network layer read and
// change it in place.
#ifndef PLUGINS_CONFIG_MODEL_H
#define PLUGINS_CONFIG_MODEL_H

#include <cstdint>
#include <list>
#include <string>

#include "protocol/keeper_msg.h"
#include "protocol/keeper_records.h"

constexpr unsigned CFG_IF_MAX = 32;
constexpr unsigned CFG_PAIR_MAX = 128;
constexpr uint32_t CFG_ALL_ONES = 0xFFFFFFFFu;

// Status word of a server that was added (or loaded from the name-server
// file) and of a time server loaded from the time-server file.
constexpr uint32_t SRV_STATUS_ADDED = 22;
constexpr uint32_t SRV_STATUS_LOADED_NTP = 21;

// Roles of interface entries.
enum IfRole : uint32_t {
    IF_ROLE_INT = 1,
    IF_ROLE_EXT = 2,
    IF_ROLE_MGMT = 3,
    IF_ROLE_BR = 4,
    IF_ROLE_TAP = 5,
    IF_ROLE_CLONE = 6,
    IF_ROLE_OTHER = 7,
};

// A list element with the handle that list reads use as their cursor.
template <class Rec>
struct Handled {
    uint32_t handle;
    Rec rec;
};

// A copy of a part of the model that is put back when it goes out of scope
// unless the change was kept: a setter changes the model, writes the files
// from it, and keeps the change only once every file is written.
template <class Part>
class ModelUndo {
public:
    explicit ModelUndo(Part& part) : live(part), saved(part) {}
    ~ModelUndo() {
        if (!kept) live = saved;
    }
    ModelUndo(const ModelUndo&) = delete;
    ModelUndo& operator=(const ModelUndo&) = delete;
    void keep() { kept = true; }

private:
    Part& live;
    const Part saved;
    bool kept = false;
};

struct ConfigModel {
    using RouteList = std::list<Handled<ConfigRoute>>;
    using ServerList = std::list<Handled<ConfigAll>>;
    using AclList = std::list<Handled<ConfigACLHost>>;

    // Everything zero but the hardware status's two "unknown" words.
    ConfigModel();

    // The next handle of a list element, never 0.
    uint32_t next_handle();
    // Position of the entry with that name, -1 when none.
    int find_if_by_name(const char* name) const;
    // Name of the entry with that id, "" when there is none.
    std::string if_name_by_id(uint32_t id) const;

    ConfigHost host;
    uint32_t gateways[2];  // 0 out-of-band, 1 in-band; network order
    uint32_t brStp, brLearn;
    ConfigVersion version;
    ConfigSecurity security;
    ConfigHwStatus hwStatus;
    uint32_t devMode, dbSess;
    uint32_t ifCount;
    ConfigNetIf ifTable[CFG_IF_MAX];
    ConfigIfPair pairs[CFG_PAIR_MAX];
    uint32_t pairCount;
    // Ports as the configuration file gave them.
    uint32_t fileIfCount;
    RouteList routes;
    ServerList servers;
    AclList acl;
    uint32_t lastHandle = 0;
};

#endif
