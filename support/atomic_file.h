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
#include <memory>
#include <string>
#include <vector>

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
    // Flushes the new content to disk under the temporary name and closes
    // it; the file itself is untouched. False (errno set, temporary removed)
    // when anything failed, a write before included.
    bool prepare();
    // Renames the prepared temporary file over the file and syncs the
    // folder; false (errno set, old file kept) when the rename failed. A
    // failed sync of the folder is only traced: the new file is in place.
    bool install();
    // prepare() and install().
    bool commit() { return prepare() && install(); }
    // For a file rewritten often and written anew soon after a crash: the
    // rename alone, without waiting for the disk (no fsync of the file or
    // its folder).
    void set_durable(bool sync) { durable = sync; }
    const std::string& target() const { return path; }
    // The temporary file's name; empty once installed or dropped.
    const std::string& tempName() const { return temp; }

private:
    // 1 with `old` filled when a regular file is at the path, 0 when nothing
    // is, -1 (traced, errno set) when it must not be replaced.
    int inspect(struct stat& old) const;
    // Creates the temporary file with the given owner and mode.
    void open(uid_t uid, gid_t gid, mode_t mode);

    std::string path;
    std::string temp;
    FILE* out = nullptr;
    bool prepared = false;
    bool durable = true;
};

// Files that change together, as one: each is written and prepared under
// its temporary name before any is renamed, so a full disk or a refused
// path changes none of them; a rename that fails part way puts back the
// files this batch already replaced. Without commit() nothing changes.
class FileBatch {
public:
    FileBatch() = default;
    ~FileBatch();
    FileBatch(const FileBatch&) = delete;
    FileBatch& operator=(const FileBatch&) = delete;

    // A file of the batch, taken as AtomicFile takes it; its stream() is
    // null when refused, and commit() then fails.
    AtomicFile& add(const char* path, mode_t mode = 0644);
    AtomicFile& add(const char* path, const struct stat& like);
    // Copies `from` over `to`, which keeps its owner and mode; false when
    // `from` cannot be read (commit() fails then as well).
    bool addCopy(const char* from, const char* to);
    // Prepares every file that is not prepared yet; false (errno set) when
    // one could not be.
    bool prepare();
    // Prepares and renames every file; false (errno set) with every file as
    // it was when one could not be prepared or renamed.
    bool commit();

private:
    struct Entry {
        std::unique_ptr<AtomicFile> file;
        // The replaced file, kept reachable under this name until the batch
        // is done; empty when there was none.
        std::string backup;
    };
    bool install(Entry& entry);
    // Puts back the first `count` files, which were installed.
    void putBack(size_t count);
    void dropBackups();

    std::vector<Entry> files;
    bool failed = false;
    bool committed = false;
};
