// The two settings a client needs from its daemon's INI file: where the
// daemon listens.
#pragma once

#include <iniparser.h>

#include <cstdint>
#include <string>

#include "protocol/keeper_msg.h"

class iniKeeper_cli {
public:
    // Loads `path` at once; a missing, unreadable or empty file leaves the
    // reader without a dictionary.
    explicit iniKeeper_cli(const char* path);
    virtual ~iniKeeper_cli();
    iniKeeper_cli(const iniKeeper_cli&) = delete;
    iniKeeper_cli& operator=(const iniKeeper_cli&) = delete;

    // Reads "keeper ip" and "keeper port" of [general]; fails only when the
    // file did not load.
    virtual keeperStatus parse_ini_file();

    uint32_t get_keeper_ip() const { return keeperIp; }
    int get_keeper_port() const { return keeperPort; }
    const char* get_path() const { return path.c_str(); }

private:
    void load_dictionary(const char* file);
    const char* get_string(const char* section, const char* key, const char* def) const;
    int get_int(const char* section, const char* key, int def) const;

    dictionary* dict = nullptr;
    std::string path;
    uint32_t keeperIp = 0;
    int keeperPort = 0;
};
