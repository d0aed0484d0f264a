// Reader and writer of profile files: "[section]" headers and "key=value"
// lines, sections and keys matched case-insensitively. One file at a time is
// kept in memory; writes stay there until flushed or another file is named.
// Not thread-safe: the cache and VtProfile's result buffer are shared.
#pragma once

#include <string>
#include <vector>

// With a key: the entry's value (trimmed, one pair of quotes removed) or
// `def`, cut to size - 1 bytes. Without a key: the section's key names, each
// followed by a NUL, the list ended by a second NUL. Returns the length placed.
int GetPrivateProfileString(const char* section, const char* key, const char* def, char* buffer,
                            int size, const char* file);
// Decimal, 0x-hexadecimal or 0-octal value, optionally negative; an empty
// value is 0, a missing entry `def`.
int GetPrivateProfileInt(const char* section, const char* key, int def, const char* file);
// Sets an entry; a null value deletes the entry, a null key the section, and
// a null section writes the cached file back. False when that write fails.
bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* file);

// The same on "WIN.INI".
int GetProfileString(const char* section, const char* key, const char* def, char* buffer, int size);
int GetProfileInt(const char* section, const char* key, int def);
bool WriteProfileString(const char* section, const char* key, const char* value);

// While one exists, look-ups answer from the copy of the file read at the
// first of them instead of checking the file on disk each time: for a burst
// of look-ups that should see one state of the file and read it once.
class ProfileBatch {
public:
    ProfileBatch();
    ~ProfileBatch();
    ProfileBatch(const ProfileBatch&) = delete;
    ProfileBatch& operator=(const ProfileBatch&) = delete;
};

// One section of one profile file.
class VtProfile {
public:
    static constexpr int kStringSize = 512;
    static constexpr int kKeyListSize = 10240;

    VtProfile(const char* section, const char* file);

    // The result stays valid until the next getString of any VtProfile.
    const char* getString(const char* key, const char* def) const;
    int getInt(const char* key, int def) const;
    // Replaces `keys` with the section's key names; returns their number.
    int getEntries(std::vector<std::string>& keys) const;
    bool writeString(const char* key, const char* value);
    bool writeInt(const char* key, int value);
    bool delEntry(const char* key);
    bool delSection();
    bool flush();

private:
    std::string section;
    std::string file;
};
