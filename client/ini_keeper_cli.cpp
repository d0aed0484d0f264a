#include "client/ini_keeper_cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "support/ini_compat.h"
#include "support/net_utils.h"

iniKeeper_cli::iniKeeper_cli(const char* file) { load_dictionary(file); }

iniKeeper_cli::~iniKeeper_cli() {
    if (dict) iniparser_freedict(dict);
}

// An empty file would load as an empty dictionary and pass for a valid
// configuration; it is treated as missing so the next candidate is tried.
void iniKeeper_cli::load_dictionary(const char* file) {
    path = file ? file : "";
    struct stat st;
    if (!file || access(file, R_OK) != 0 || stat(file, &st) != 0 || st.st_size == 0) return;
    dict = iniparser_load(file);
}

const char* iniKeeper_cli::get_string(const char* section, const char* key, const char* def) const {
    char entry[256];
    snprintf(entry, sizeof entry, "%s:%s", section, key);
    const char* value = iniparser_getstr(dict, entry);
    return value ? value : def;
}

int iniKeeper_cli::get_int(const char* section, const char* key, int def) const {
    char entry[256];
    snprintf(entry, sizeof entry, "%s:%s", section, key);
    return iniparser_getdecimal(dict, entry, def);
}

keeperStatus iniKeeper_cli::parse_ini_file() {
    if (!dict) return KEEPER_FAIL;
    keeperPort = get_int("general", "keeper port", 0);
    uint32_t ip = 0;
    if (Com_ipStr2Int(get_string("general", "keeper ip", ""), &ip)) keeperIp = ip;
    return KEEPER_OK;
}
