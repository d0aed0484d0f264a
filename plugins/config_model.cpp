#include "plugins/config_model.h"

#include <cstring>

ConfigModel::ConfigModel() {
    memset(&host, 0, sizeof host);
    memset(gateways, 0, sizeof gateways);
    brStp = brLearn = 0;
    memset(&version, 0, sizeof version);
    memset(&security, 0, sizeof security);
    memset(&hwStatus, 0, sizeof hwStatus);
    hwStatus.word5 = 1;
    hwStatus.word6 = 1;
    devMode = dbSess = 0;
    ifCount = 0;
    memset(ifTable, 0, sizeof ifTable);
    memset(pairs, 0, sizeof pairs);
    pairCount = 0;
    fileIfCount = 0;
}

uint32_t ConfigModel::next_handle() {
    if (++lastHandle == 0) ++lastHandle;
    return lastHandle;
}

int ConfigModel::find_if_by_name(const char* name) const {
    if (!name || !*name) return -1;
    for (unsigned pos = 0; pos < ifCount; ++pos)
        if (ifTable[pos].kind != 0 &&
            strncmp(ifTable[pos].name, name, sizeof ifTable[pos].name) == 0)
            return static_cast<int>(pos);
    return -1;
}

std::string ConfigModel::if_name_by_id(uint32_t id) const {
    if (id == 0 || id > CFG_IF_MAX || ifTable[id - 1].kind == 0) return "";
    const char* name = ifTable[id - 1].name;
    return std::string(name, strnlen(name, sizeof ifTable[id - 1].name));
}
