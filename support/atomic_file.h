// Replacing a file as a whole: the new content is written under a temporary
// name in the same folder and renamed over the file, so a reader sees either
// the old file or the new one, never a part of it, and a full disk or a crash
// leaves the old file as it was.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

// The temporary file is "<file>.tmp." and mkostemp's six characters, so that
// one left behind by a crash can be told from anything else in the folder.
constexpr char kAtomicTempInfix[] = ".tmp.";
constexpr size_t kAtomicTempUnique = 6;

class AtomicFile {
public:
    // The new file keeps the mode of the file it replaces, or gets `mode`.
    explicit AtomicFile(const char* path, mode_t mode = 0644);
    // Without commit() the temporary file is removed and the file stays.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Where to write; null when the temporary file could not be created.
    FILE* stream() const { return out; }
    // Flushes to disk and renames over the file; false (errno set, old file
    // kept) when anything failed, a write before included.
    bool commit();

private:
    std::string path;
    std::string temp;
    FILE* out = nullptr;
};

// Copies `from` over `to` as a whole; 0, or -1 with `to` unchanged.
int replaceFileWithCopy(const char* from, const char* to);
// The same from an open file, which is closed; -1 when `in` is null.
int replaceFileWithCopy(FILE* in, const char* to);
