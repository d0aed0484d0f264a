// What differs between the INI file the daemon runs with and the file as it
// is now, section by section: the ground on which a reload decides what to
// stop, start and leave alone.
#ifndef KEEPER_CONFIG_DIFF_H
#define KEEPER_CONFIG_DIFF_H

#include <string>
#include <vector>

class IniFile;

// Section names of one family, in the order of the file they are in.
struct SectionChanges {
    std::vector<std::string> added;    // in the new file only
    std::vector<std::string> removed;  // in the running file only
    std::vector<std::string> changed;  // in both, with other keys or values
    bool empty() const { return added.empty() && removed.empty() && changed.empty(); }
};

struct ConfigDiff {
    SectionChanges tasks;
    SectionChanges checks;
    SectionChanges actions;
    SectionChanges flags;
    // Keys of the general section that only a restart applies, whose value
    // differs.
    std::vector<std::string> restart_keys;
    // Whether anything at all differs, sections the daemon reads elsewhere
    // included.
    bool any = false;
};

// A task counts as changed also when a default of the general section it
// takes ("output", "output size") differs.
ConfigDiff diff_config(const IniFile& running, const IniFile& now);

#endif
