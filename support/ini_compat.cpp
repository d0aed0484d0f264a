#include "support/ini_compat.h"

#include <cstring>
#include <string>

const char* iniparser_getstr(const dictionary* d, const char* key) {
    return iniparser_getstring(d, key, nullptr);
}

int iniparser_setstr(dictionary* d, const char* entry, const char* val) {
    if (d == nullptr || entry == nullptr) return -1;
    const char* colon = std::strchr(entry, ':');
    if (colon != nullptr) {
        std::string section(entry, colon);
        if (!iniparser_find_entry(d, section.c_str()) &&
            iniparser_set(d, section.c_str(), nullptr) != 0)
            return -1;
    }
    return iniparser_set(d, entry, val) == 0 ? 0 : -1;
}
