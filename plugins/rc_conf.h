// The model's load and store: the configuration file (rc.conf), which the
// appliance's scripts source, read into the model at start-up and written
// from it on every change, with the lines that are not the writer's kept as
// they were.
#ifndef PLUGINS_RC_CONF_H
#define PLUGINS_RC_CONF_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "plugins/config_model.h"
#include "protocol/keeper_msg.h"

class FileBatch;
class NetApplier;

// Name tables of the configuration file. A model code is the index + 1
// unless the comment says the index is the code.
extern const char* const __if_attr[];      // role
extern const char* const __if_status[];    // administrative status, index = code
extern const char* const __if_speed[];     // index = code
extern const char* const __if_duplex[];    // index = code
extern const char* const __if_autoneg[];   // index = code
extern const char* const __rt_type[];      // index = code
extern const char* const __dev_mode[];     // device mode
extern const char* const __if_action[];    // port action
extern const char* const __adna_values[];  // double session
extern const char DEF_CONFIG_AUTO[];

class RcConf {
public:
    // A variant's part of the file: the variables it reads (KEEPER_FAIL
    // means "not mine"), and the lines it writes after the gateways
    // (the security switches) and after the routes.
    struct Hooks {
        std::function<keeperStatus(const char* name, const char* value)> read_ext;
        std::function<void(FILE* out)> write_sec;
        std::function<void(FILE* out)> write_ext;
    };

    // The file at `path` ("" for none), loaded into and written from
    // `model`; the ports' link details come from `net`.
    RcConf(const char* path, ConfigModel& model, NetApplier& net);
    ~RcConf();
    RcConf(const RcConf&) = delete;
    RcConf& operator=(const RcConf&) = delete;

    void set_hooks(Hooks h) { hooks = std::move(h); }
    const std::string& file() const { return path; }

    // Reads the file and builds the interfaces, pairs and routes of the
    // model from it; a missing file is an empty configuration, an
    // unreadable one KEEPER_FAIL.
    keeperStatus load();
    // The file on its own, or into a batch of files that change together.
    keeperStatus store();
    keeperStatus store(FileBatch& batch);
    // The security switches as the file holds them.
    void write_switches(FILE* out) const;
    // Commits a batch of the model's files; each commit counts in
    // generation(): a batch prepared earlier is stale once it changed.
    bool commit(FileBatch& batch);
    uint32_t generation() const { return fileGeneration; }

private:
    // The values of the file as read, before the builders turn them into
    // the model.
    struct ParseTables;

    keeperStatus parse_param(const char* name, const char* value, int length);
    // Builders of the model from the parsed values.
    void create_if_config();
    void create_pair_config();
    void create_route_config();
    // Parts of create_if_config: ports, IP interfaces, link groups.
    void create_ports();
    void create_ip_ifs();
    void create_link_groups();
    // The next entry of the table with its kind, id and name; null (traced)
    // when the table is full or the name does not fit.
    ConfigNetIf* add_if_entry(uint32_t kind, const std::string& name);
    // Id of the port so named, 0 (traced for `owner`) when none.
    uint32_t port_id(const std::string& name, const char* owner) const;
    // Id of the entry so named, 0 (traced for `owner`) when none.
    uint32_t entry_id(const std::string& name, const char* owner) const;

    // The content of the file.
    void write(FILE* out);
    std::string names_of(const uint32_t* ids, uint32_t count, uint32_t offset) const;
    void write_ip_if(FILE* out, const ConfigNetIf& e) const;
    void write_link_group(FILE* out, const ConfigNetIf& e) const;
    void write_routes(FILE* out) const;
    // Writes the kept lines of the file after the writer's own part.
    void write_kept_lines(FILE* out);

    std::string path;
    ConfigModel& model;
    NetApplier& net;
    Hooks hooks;
    // The lines of the file that are not the writer's, in file order, as
    // read.
    std::vector<std::string> keptLines;
    uint32_t fileGeneration = 0;
    std::unique_ptr<ParseTables> parsed;
};

#endif
