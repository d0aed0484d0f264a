// An INI file loaded into an iniparser dictionary, and typed reading of its
// values by section and key: what the daemon and the client library both
// need from their INI files.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "support/ini_compat.h"

class IniFile {
public:
    IniFile() = default;
    explicit IniFile(const char* path) { load_dictionary(path); }
    virtual ~IniFile();
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    // Remembers the path and loads the file when it is readable and not
    // empty; otherwise there is no dictionary. An empty file would load as
    // an empty dictionary and pass for a valid configuration.
    void load_dictionary(const char* path);
    // Drops what was loaded, then loads `path`.
    void reset_ini_file(const char* path);

    // Trades dictionary and path with `other`: a file read and vetted apart
    // becomes this one's.
    void swap_dictionary(IniFile& other);

    dictionary* get_dictionary() const { return dict; }
    const char* get_path() const { return path.c_str(); }

    // "section:key" as text, as a decimal integer (leading zeros do not make
    // it octal) and as a yes/no word; `def` when the key (or the whole
    // dictionary) is missing.
    std::string get_text(const std::string& section, const char* key, const char* def) const;
    int get_int(const std::string& section, const char* key, int def) const;
    bool get_bool(const std::string& section, const char* key, bool def) const;
    // The value of "section:key", or null when there is none.
    const char* find(const std::string& section, const char* key) const;
    // The section names in the dictionary's order.
    const std::vector<const char*>& sections() const;
    // To be called after the dictionary was changed other than through this
    // class: the index is built again at the next look-up.
    void dictionary_changed() { indexed = false; }

protected:
    dictionary* dict = nullptr;
    std::string path;

private:
    // iniparser finds a key by walking every entry: the daemon's many
    // look-ups go through a hash of the lower-case "section:key" instead.
    void build_index() const;
    mutable bool indexed = false;
    mutable std::unordered_map<std::string, int> slots;
    mutable std::vector<const char*> section_names;
};

// "section:key", the way iniparser names an entry.
std::string ini_key(const std::string& section, const char* key);

// Nothing that could become structure in an INI file when written as a
// section, key or value: no control character, no "[" or "]" (sections),
// no ";" or "#" (comments).
bool ini_text_safe(const char* text);
