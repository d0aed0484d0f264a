#include "client/ini_keeper_cli.h"

#include "support/net_utils.h"

keeperStatus iniKeeper_cli::parse_ini_file() {
    if (!file.get_dictionary()) return KEEPER_FAIL;
    keeperPort = file.get_int("general", "keeper port", 0);
    uint32_t ip = 0;
    if (Com_ipStr2Int(file.get_text("general", "keeper ip", "").c_str(), &ip)) keeperIp = ip;
    return KEEPER_OK;
}
