#include "support/ini_compat.h"

#include <climits>
#include <cstdlib>
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

int iniparser_getdecimal(const dictionary* d, const char* key, int def) {
    const char* text = iniparser_getstring(d, key, nullptr);
    return text == nullptr ? def : iniparser_decimal(text, def);
}

int iniparser_decimal(const char* text, int def) {
    if (text == nullptr) return def;
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool iniparser_boolean(const char* text, bool def) {
    if (text == nullptr) return def;
    if (std::strchr("yYtT1", text[0]) != nullptr && text[0] != '\0') return true;
    if (std::strchr("nNfF0", text[0]) != nullptr && text[0] != '\0') return false;
    return def;
}
