// Replacing a file as a whole: the new content is written under a temporary
// name in the same folder and renamed over the file, so a reader sees either
// the old file or the new one, never a part of it, and a full disk or a crash
// leaves the old file as it was.
//
// The daemon runs as root and many of the files it rewrites lie in folders
// others can write, so the file replaced is opened once, without following a
// link and without waiting on a FIFO, and only a regular file is replaced:
// the new file gets that file's owner, group and permission bits (set-id bits
// dropped), and nothing else at the path is ever touched.
#pragma once

#include <sys/stat.h>
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
    // The new file keeps the owner, group and mode of the file it replaces;
    // a new file gets `mode` (set-id bits dropped all the same) and belongs
    // to whoever runs the daemon. A link or anything else that is not a
    // regular file at `path` is refused.
    explicit AtomicFile(const char* path, mode_t mode = 0644);
    // A copy of the file `like` describes: the new file gets its owner,
    // group and mode instead, while `path` is still refused as above.
    AtomicFile(const char* path, const struct stat& like);
    // Without commit() the temporary file is removed and the file stays.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Where to write; null when the path was refused or the temporary file
    // could not be created.
    FILE* stream() const { return out; }
    // Flushes to disk, renames over the file and syncs the folder; false
    // (errno set, old file kept) when anything up to the rename failed, a
    // write before included. A failed sync of the folder is only traced:
    // the new file is in place by then.
    bool commit();

private:
    // 1 with `old` filled when a regular file is at the path, 0 when nothing
    // is, -1 (traced, errno set) when it must not be replaced.
    int inspect(struct stat& old) const;
    // Creates the temporary file with the given owner and mode.
    void open(uid_t uid, gid_t gid, mode_t mode);

    std::string path;
    std::string temp;
    FILE* out = nullptr;
};

// Copies `from` over `to` as a whole, `to` keeping its owner and mode; 0, or
// -1 with `to` unchanged.
int replaceFileWithCopy(const char* from, const char* to);
// The same from an open file, which is closed; the copy gets the owner,
// group and mode of `in`, as a backup of it should. -1 when `in` is null.
int replaceFileWithCopy(FILE* in, const char* to);
