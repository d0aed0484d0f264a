// The two settings a client needs from its daemon's INI file: where the
// daemon listens.
#pragma once

#include <cstdint>

#include "protocol/keeper_msg.h"
#include "support/ini_file.h"

class iniKeeper_cli {
public:
    // Loads `path` at once; a missing, unreadable or empty file leaves the
    // reader without a dictionary.
    explicit iniKeeper_cli(const char* path) : file(path) {}
    virtual ~iniKeeper_cli() = default;

    // Reads "keeper ip" and "keeper port" of [general]; fails only when the
    // file did not load.
    virtual keeperStatus parse_ini_file();

    uint32_t get_keeper_ip() const { return keeperIp; }
    int get_keeper_port() const { return keeperPort; }
    const char* get_path() const { return file.get_path(); }

private:
    IniFile file;
    uint32_t keeperIp = 0;
    int keeperPort = 0;
};
