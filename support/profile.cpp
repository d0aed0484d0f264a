#include "support/profile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/str_utils.h"

namespace {

const char kWinIni[] = "WIN.INI";

struct ProfileLine {
    enum Kind { Section = 0, Entry = 1, Comment = 2 };
    Kind kind;
    std::string name;
    std::string value;
};

// Identity of the file as loaded, so that a file changed on disk since is
// read again instead of being answered from the stale copy.
struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};

    static FileStamp of(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? of(st) : FileStamp();
    }

    static FileStamp of(const struct stat& st) {
        FileStamp stamp;
        stamp.exists = true;
        stamp.dev = st.st_dev;
        stamp.ino = st.st_ino;
        stamp.size = st.st_size;
        stamp.mtime = st.st_mtim;
        return stamp;
    }

    bool operator==(const FileStamp& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

class ProfileCache {
public:
    // Makes `file` the cached one; false when unsaved changes of the previous
    // file could not be written back.
    bool select(const char* file) {
        if (loaded && strcmpNoCase(lastFilename.c_str(), file) == 0) {
            if (!currentListModified && !checkedInBatch && !(FileStamp::of(lastFilename) == stamp))
                load(lastFilename);
            checkedInBatch = batches > 0;
            return true;
        }
        if (loaded && currentListModified && !save()) return false;
        load(file);
        checkedInBatch = batches > 0;
        return true;
    }

    void beginBatch() { ++batches; }
    void endBatch() {
        if (--batches == 0) checkedInBatch = false;
    }

    bool save() {
        FILE* out = std::fopen(lastFilename.c_str(), "w");
        if (out == nullptr) return false;
        bool first = true;
        for (const ProfileLine& line : lines) {
            switch (line.kind) {
                case ProfileLine::Comment:
                    std::fprintf(out, "%s\n", line.name.c_str());
                    break;
                case ProfileLine::Section:
                    std::fprintf(out, "%s[%s]\n", first ? "" : "\n", line.name.c_str());
                    break;
                case ProfileLine::Entry:
                    std::fprintf(out, "%s=%s\n", line.name.c_str(), line.value.c_str());
                    break;
            }
            first = false;
        }
        bool ok = std::fflush(out) == 0 && !std::ferror(out);
        ok = std::fclose(out) == 0 && ok;
        if (ok) {
            currentListModified = false;
            stamp = FileStamp::of(lastFilename);
        }
        return ok;
    }

    bool modified() const { return currentListModified; }

    // Index of the first section named `section`, or -1.
    int findSection(const char* section) const {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].kind == ProfileLine::Section &&
                strcmpNoCase(lines[i].name.c_str(), section) == 0)
                return static_cast<int>(i);
        return -1;
    }

    // One past the last line of the section that starts at `sectionIdx`.
    size_t sectionEnd(int sectionIdx) const {
        size_t i = static_cast<size_t>(sectionIdx) + 1;
        while (i < lines.size() && lines[i].kind != ProfileLine::Section) ++i;
        return i;
    }

    const ProfileLine* findEntry(const char* section, const char* key) const {
        int idx = findEntryIndex(section, key);
        return idx < 0 ? nullptr : &lines[static_cast<size_t>(idx)];
    }

    std::vector<std::string> keysOf(const char* section) const {
        std::vector<std::string> keys;
        int s = findSection(section);
        if (s < 0) return keys;
        for (size_t i = static_cast<size_t>(s) + 1; i < sectionEnd(s); ++i)
            if (lines[i].kind == ProfileLine::Entry) keys.push_back(lines[i].name);
        return keys;
    }

    void setEntry(const char* section, const char* key, const char* value) {
        currentListModified = true;
        int s = findSection(section);
        if (s < 0) {
            lines.push_back({ProfileLine::Section, section, ""});
            lines.push_back({ProfileLine::Entry, key, value});
            return;
        }
        int e = findEntryIndex(section, key);
        if (e >= 0) {
            lines[static_cast<size_t>(e)].value = value;
            return;
        }
        size_t insertAt = static_cast<size_t>(s) + 1;
        for (size_t i = insertAt; i < sectionEnd(s); ++i)
            if (lines[i].kind == ProfileLine::Entry) insertAt = i + 1;
        lines.insert(lines.begin() + static_cast<long>(insertAt), {ProfileLine::Entry, key, value});
    }

    void deleteEntry(const char* section, const char* key) {
        int e = findEntryIndex(section, key);
        if (e < 0) return;
        lines.erase(lines.begin() + e);
        currentListModified = true;
    }

    void deleteSection(const char* section) {
        int s = findSection(section);
        if (s < 0) return;
        lines.erase(lines.begin() + s, lines.begin() + static_cast<long>(sectionEnd(s)));
        currentListModified = true;
    }

private:
    int findEntryIndex(const char* section, const char* key) const {
        int s = findSection(section);
        if (s < 0) return -1;
        for (size_t i = static_cast<size_t>(s) + 1; i < sectionEnd(s); ++i)
            if (lines[i].kind == ProfileLine::Entry &&
                strcmpNoCase(lines[i].name.c_str(), key) == 0)
                return static_cast<int>(i);
        return -1;
    }

    void load(const std::string& file) {
        lines.clear();
        lastFilename = file;
        loaded = true;
        currentListModified = false;
        stamp = FileStamp();
        FILE* in = std::fopen(file.c_str(), "re");
        if (in == nullptr) {
            // Present but unreadable: remembered as it is, so that it is not
            // tried again at every look-up.
            if (errno != ENOENT) stamp = FileStamp::of(file);
            return;
        }
        struct stat st;
        if (fstat(fileno(in), &st) == 0) stamp = FileStamp::of(st);
        char* buf = nullptr;
        size_t cap = 0;
        while (::getline(&buf, &cap, in) != -1) parseLine(buf);
        std::free(buf);
        std::fclose(in);
    }

    void parseLine(char* text) {
        strTrimDequote(text, false);
        if (text[0] == ';' || text[0] == '#') {
            lines.push_back({ProfileLine::Comment, text, ""});
        } else if (text[0] == '[') {
            char* name = text + 1;
            char* close = std::strchr(name, ']');
            if (close != nullptr) *close = '\0';
            lines.push_back({ProfileLine::Section, strTrimDequote(name, true), ""});
        } else if (char* eq = std::strchr(text, '=')) {
            *eq = '\0';
            lines.push_back(
                {ProfileLine::Entry, strTrimDequote(text, true), strTrimDequote(eq + 1, false)});
        }
    }

    std::string lastFilename;
    bool loaded = false;
    bool currentListModified = false;
    FileStamp stamp;
    std::vector<ProfileLine> lines;
    int batches = 0;
    // The cached copy was read or checked since the outermost ProfileBatch
    // began.
    bool checkedInBatch = false;
};

ProfileCache& cache() {
    static ProfileCache theCache;
    return theCache;
}

int copyCut(const char* text, char* buffer, int size) {
    size_t len = std::strlen(text);
    if (len > static_cast<size_t>(size - 1)) len = static_cast<size_t>(size - 1);
    std::memcpy(buffer, text, len);
    buffer[len] = '\0';
    return static_cast<int>(len);
}

// The key names, NUL after each and a second NUL at the end; a list that does
// not fit is cut, its last name included, and still ends in two NULs.
int copyKeyList(const std::vector<std::string>& keys, char* buffer, int size) {
    std::string list;
    for (const std::string& key : keys) {
        list += key;
        list += '\0';
    }
    size_t len = list.size();
    if (len > static_cast<size_t>(size - 2)) len = static_cast<size_t>(size - 2);
    std::memcpy(buffer, list.data(), len);
    buffer[len] = '\0';
    buffer[len + 1] = '\0';
    return static_cast<int>(len);
}

int parseProfileInt(const std::string& value) {
    std::string text = value;
    strTrimDequote(&text[0], true);
    const char* p = text.c_str();
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = *p == '-';
    if (negative) ++p;
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
        ++p;
    }
    uint32_t result = 0;  // unsigned, so that an oversized value wraps instead of overflowing
    for (;; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<unsigned>(*p - '0');
        else if (*p >= 'a' && *p <= 'f')
            digit = static_cast<unsigned>(*p - 'a' + 10);
        else if (*p >= 'A' && *p <= 'F')
            digit = static_cast<unsigned>(*p - 'A' + 10);
        else
            break;
        if (digit >= base) break;
        result = result * base + digit;
    }
    if (negative) result = 0u - result;
    return static_cast<int>(result);
}

}  // namespace

int GetPrivateProfileString(const char* section, const char* key, const char* def, char* buffer,
                            int size, const char* file) {
    if (buffer == nullptr || size < 2) {
        if (buffer != nullptr && size == 1) buffer[0] = '\0';
        return 0;
    }
    const char* fallback = def != nullptr ? def : "";
    if (section == nullptr || file == nullptr) return copyCut(fallback, buffer, size);
    if (!cache().select(file)) {
        buffer[0] = '\0';
        return 0;
    }
    if (key == nullptr) return copyKeyList(cache().keysOf(section), buffer, size);
    const ProfileLine* entry = cache().findEntry(section, key);
    if (entry == nullptr) return copyCut(fallback, buffer, size);
    std::string value = entry->value;
    return copyCut(strTrimDequote(&value[0], true), buffer, size);
}

int GetPrivateProfileInt(const char* section, const char* key, int def, const char* file) {
    if (section == nullptr || key == nullptr || file == nullptr) return def;
    if (!cache().select(file)) return 0;
    const ProfileLine* entry = cache().findEntry(section, key);
    return entry == nullptr ? def : parseProfileInt(entry->value);
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* file) {
    if (file == nullptr || !cache().select(file)) return false;
    if (section == nullptr) return !cache().modified() || cache().save();
    if (key == nullptr)
        cache().deleteSection(section);
    else if (value == nullptr)
        cache().deleteEntry(section, key);
    else
        cache().setEntry(section, key, value);
    return true;
}

int GetProfileString(const char* section, const char* key, const char* def, char* buffer,
                     int size) {
    return GetPrivateProfileString(section, key, def, buffer, size, kWinIni);
}

int GetProfileInt(const char* section, const char* key, int def) {
    return GetPrivateProfileInt(section, key, def, kWinIni);
}

bool WriteProfileString(const char* section, const char* key, const char* value) {
    return WritePrivateProfileString(section, key, value, kWinIni);
}

ProfileBatch::ProfileBatch() { cache().beginBatch(); }

ProfileBatch::~ProfileBatch() { cache().endBatch(); }

VtProfile::VtProfile(const char* section, const char* file)
    : section(section != nullptr ? section : ""), file(file != nullptr ? file : "") {}

const char* VtProfile::getString(const char* key, const char* def) const {
    static char result[kStringSize];
    GetPrivateProfileString(section.c_str(), key, def, result, kStringSize, file.c_str());
    return result;
}

int VtProfile::getInt(const char* key, int def) const {
    return GetPrivateProfileInt(section.c_str(), key, def, file.c_str());
}

int VtProfile::getEntries(std::vector<std::string>& keys) const {
    keys.clear();
    std::vector<char> list(kKeyListSize);
    GetPrivateProfileString(section.c_str(), nullptr, "", list.data(), kKeyListSize, file.c_str());
    for (const char* p = list.data(); *p != '\0'; p += std::strlen(p) + 1) keys.emplace_back(p);
    return static_cast<int>(keys.size());
}

bool VtProfile::writeString(const char* key, const char* value) {
    return WritePrivateProfileString(section.c_str(), key, value, file.c_str());
}

bool VtProfile::writeInt(const char* key, int value) {
    return writeString(key, std::to_string(value).c_str());
}

bool VtProfile::delEntry(const char* key) { return key != nullptr && writeString(key, nullptr); }

bool VtProfile::delSection() {
    return WritePrivateProfileString(section.c_str(), nullptr, nullptr, file.c_str());
}

bool VtProfile::flush() {
    return WritePrivateProfileString(nullptr, nullptr, nullptr, file.c_str());
}
