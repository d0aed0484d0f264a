#include "keeper/config_diff.h"

#include <cstring>
#include <map>

#include "keeper/ini_keeper.h"
#include "support/ini_file.h"

namespace {

// Keys and values of one section.
typedef std::map<std::string, std::string> Keys;

struct Sections {
    std::vector<std::string> order;
    std::map<std::string, Keys> keys;
};

Sections read_sections(const IniFile& file) {
    Sections out;
    for (const char* section : file.sections()) {
        out.order.push_back(section);
        out.keys[section];
    }
    const dictionary* dict = file.get_dictionary();
    for (ssize_t i = 0; dict && i < dict->size; ++i) {
        const char* key = dict->key[i];
        const char* colon = key ? strrchr(key, ':') : nullptr;
        if (!colon) continue;
        std::string section(key, colon);
        out.keys[section][colon + 1] = dict->val[i] ? dict->val[i] : "";
    }
    return out;
}

const char* const kRestartKeys[] = {"keeper port", "listen ip",    "allow from",    "keeper type",
                                    "primary ip",  "primary port", "secondary name"};
const char* const kTaskDefaultKeys[] = {"output", "output size"};

std::string value_of(const Sections& file, const std::string& section, const std::string& key) {
    auto keys = file.keys.find(section);
    if (keys == file.keys.end()) return std::string();
    auto value = keys->second.find(key);
    return value == keys->second.end() ? std::string() : value->second;
}

bool differs(const Sections& a, const Sections& b, const std::string& section,
             const std::string& key) {
    return value_of(a, section, key) != value_of(b, section, key);
}

// Whether a task section takes a general default that differs.
bool takes_changed_default(const Sections& now, const std::string& section,
                           const std::vector<std::string>& changed_defaults) {
    const Keys& own = now.keys.at(section);
    for (const std::string& key : changed_defaults)
        if (!own.count(key)) return true;
    return false;
}

// The changes of the section's family; `others` for a family no reload
// acts on section by section.
SectionChanges& family_of(ConfigDiff& diff, const std::string& section, SectionChanges& others) {
    switch (ini_section_family(section.c_str())) {
        case INI_TASKS:
            return diff.tasks;
        case INI_CHECKS:
            return diff.checks;
        case INI_ACTIONS:
            return diff.actions;
        case INI_FLAGS:
            return diff.flags;
        default:
            return others;
    }
}

}  // namespace

ConfigDiff diff_config(const IniFile& running, const IniFile& now) {
    const Sections old_file = read_sections(running), new_file = read_sections(now);
    ConfigDiff diff;
    SectionChanges others;
    std::vector<std::string> changed_defaults;
    for (const char* key : kTaskDefaultKeys)
        if (differs(old_file, new_file, "general", key)) changed_defaults.push_back(key);
    for (const char* key : kRestartKeys)
        if (differs(old_file, new_file, "general", key)) diff.restart_keys.push_back(key);
    for (const std::string& section : new_file.order) {
        SectionChanges& family = family_of(diff, section, others);
        auto before = old_file.keys.find(section);
        if (before == old_file.keys.end()) {
            family.added.push_back(section);
            diff.any = true;
        } else if (before->second != new_file.keys.at(section)) {
            family.changed.push_back(section);
            diff.any = true;
        } else if (&family == &diff.tasks &&
                   takes_changed_default(new_file, section, changed_defaults)) {
            family.changed.push_back(section);
        }
    }
    for (const std::string& section : old_file.order) {
        if (new_file.keys.count(section)) continue;
        family_of(diff, section, others).removed.push_back(section);
        diff.any = true;
    }
    return diff;
}
