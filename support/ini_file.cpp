#include "support/ini_file.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// iniparser keeps its keys in lower case and lowers every key it is asked for.
std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// iniparser's complaints go to standard error as before, except that a file
// it cannot open: that is a candidate passed over, not an error.
int report_parse_error(const char* format, ...) {
    if (std::strncmp(format, "iniparser: cannot open", 22) == 0) return 0;
    va_list args;
    va_start(args, format);
    const int written = std::vfprintf(stderr, format, args);
    va_end(args);
    return written;
}

}  // namespace

IniFile::~IniFile() {
    if (dict) iniparser_freedict(dict);
}

void IniFile::load_dictionary(const char* file) {
    path = file ? file : "";
    // One look at each candidate file: a missing or empty one is passed over
    // on its stat alone, an unreadable one when iniparser cannot open it.
    struct stat st;
    if (!file || stat(file, &st) != 0 || st.st_size == 0) return;
    iniparser_set_error_callback(report_parse_error);
    dict = iniparser_load(file);
    indexed = false;
}

void IniFile::reset_ini_file(const char* file) {
    if (dict) iniparser_freedict(dict);
    dict = nullptr;
    indexed = false;
    load_dictionary(file);
}

void IniFile::swap_dictionary(IniFile& other) {
    std::swap(dict, other.dict);
    std::swap(path, other.path);
    indexed = other.indexed = false;
}

void IniFile::build_index() const {
    slots.clear();
    section_names.clear();
    if (dict) {
        for (ssize_t i = 0; i < dict->size; ++i) {
            const char* key = dict->key[i];
            if (!key) continue;
            slots.emplace(key, static_cast<int>(i));
            if (!std::strchr(key, ':')) section_names.push_back(key);
        }
    }
    indexed = true;
}

const char* IniFile::find(const std::string& section, const char* key) const {
    if (!dict || !key) return nullptr;
    if (!indexed) build_index();
    auto slot = slots.find(lowered(ini_key(section, key)));
    return slot == slots.end() ? nullptr : dict->val[slot->second];
}

const std::vector<const char*>& IniFile::sections() const {
    if (!indexed) build_index();
    return section_names;
}

std::string IniFile::get_text(const std::string& section, const char* key, const char* def) const {
    const char* value = find(section, key);
    if (!value) value = def;
    return value ? value : "";
}

int IniFile::get_int(const std::string& section, const char* key, int def) const {
    const char* value = find(section, key);
    return value ? iniparser_decimal(value, def) : def;
}

bool IniFile::get_bool(const std::string& section, const char* key, bool def) const {
    const char* value = find(section, key);
    return value ? iniparser_boolean(value, def) : def;
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
