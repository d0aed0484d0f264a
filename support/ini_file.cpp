#include "support/ini_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

IniFile::~IniFile() {
    if (dict) iniparser_freedict(dict);
}

void IniFile::load_dictionary(const char* file) {
    path = file ? file : "";
    struct stat st;
    if (!file || access(file, R_OK) != 0 || stat(file, &st) != 0 || st.st_size == 0) return;
    dict = iniparser_load(file);
}

void IniFile::reset_ini_file(const char* file) {
    if (dict) iniparser_freedict(dict);
    dict = nullptr;
    load_dictionary(file);
}

std::string IniFile::get_text(const std::string& section, const char* key, const char* def) const {
    const char* value = iniparser_getstring(dict, ini_key(section, key).c_str(), def);
    return value ? value : "";
}

int IniFile::get_int(const std::string& section, const char* key, int def) const {
    return iniparser_getdecimal(dict, ini_key(section, key).c_str(), def);
}

bool IniFile::get_bool(const std::string& section, const char* key, bool def) const {
    return iniparser_getboolean(dict, ini_key(section, key).c_str(), def ? 1 : 0) != 0;
}

std::string ini_key(const std::string& section, const char* key) { return section + ":" + key; }

bool ini_text_safe(const char* text) {
    if (!text) return false;
    for (const char* c = text; *c; ++c) {
        unsigned char ch = static_cast<unsigned char>(*c);
        if (ch < 0x20 || ch == 0x7F || strchr("[];#", ch)) return false;
    }
    return true;
}
