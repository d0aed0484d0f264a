#include "support/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/ev_debug.h"
#include "support/file_utils.h"

namespace {

// The rename is on disk only once the folder's entry is: without this a
// power cut right after a commit can bring the old file back.
void syncFolder(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0)
        EV_TRACE(DL_ERROR, "AtomicFile: can't sync folder %s, %s", folder.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
}

// Hard links the file at `path` under a name beside its temporary file, so
// that it stays reachable once another is renamed over it. `backup` is left
// empty when there is no file; false (errno set) when it cannot be kept.
bool keepReachable(const std::string& path, const std::string& temp, std::string& backup) {
    backup = temp + ".old";
    if (link(path.c_str(), backup.c_str()) == 0) return true;
    backup.clear();
    return errno == ENOENT;
}

}  // namespace

AtomicFile::AtomicFile(const char* target, mode_t mode) : path(target ? target : "") {
    struct stat old;
    const int found = inspect(old);
    if (found > 0)
        open(old.st_uid, old.st_gid, old.st_mode);
    else if (found == 0)
        open(static_cast<uid_t>(-1), static_cast<gid_t>(-1), mode);
}

AtomicFile::AtomicFile(const char* target, const struct stat& like) : path(target ? target : "") {
    struct stat old;
    if (inspect(old) >= 0) open(like.st_uid, like.st_gid, like.st_mode);
}

AtomicFile::~AtomicFile() {
    if (out) fclose(out);
    if (!temp.empty()) unlink(temp.c_str());
}

// One descriptor, opened without following a link or waiting on a FIFO,
// answers both whether the path may be replaced and whose file it is, so
// the path cannot be swapped between the check and the look at the owner.
int AtomicFile::inspect(struct stat& old) const {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    const int fd = openRegularForRead(path.c_str());
    const int err = fd < 0 ? errno : fstat(fd, &old) == 0 ? 0 : errno;
    if (fd >= 0) close(fd);
    if (err == 0 || err == ENOENT) return err == 0 ? 1 : 0;
    EV_TRACE(DL_ERROR, "AtomicFile: refusing to replace %s, %s", path.c_str(), strerror(err));
    errno = err;
    return -1;
}

void AtomicFile::open(uid_t uid, gid_t gid, mode_t mode) {
    const std::string pattern = path + kAtomicTempInfix + std::string(kAtomicTempUnique, 'X');
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return;
    temp = name.data();
    // Owner first: fchown clears set-id bits, and the mode drops them anyway
    // so that no rewrite can make a set-id program.
    if (fchown(fd, uid, gid) != 0 || fchmod(fd, mode & 0777) != 0 ||
        (out = fdopen(fd, "w")) == nullptr) {
        const int err = errno;
        close(fd);
        unlink(temp.c_str());
        temp.clear();
        errno = err;
    }
}

bool AtomicFile::prepare() {
    if (prepared) return true;
    if (!out) return false;
    bool written = fflush(out) == 0 && !ferror(out) && (!durable || fsync(fileno(out)) == 0);
    int err = errno;
    if (fclose(out) != 0 && written) {
        written = false;
        err = errno;
    }
    out = nullptr;
    if (written) return prepared = true;
    unlink(temp.c_str());
    temp.clear();
    errno = err;
    return false;
}

bool AtomicFile::install() {
    if (!prepared || temp.empty()) return false;
    if (rename(temp.c_str(), path.c_str()) != 0) return false;
    temp.clear();
    if (durable) syncFolder(path);
    return true;
}

FileBatch::~FileBatch() { dropBackups(); }

void FileBatch::dropBackups() {
    for (Entry& entry : files) {
        if (!entry.backup.empty()) unlink(entry.backup.c_str());
        entry.backup.clear();
    }
}

AtomicFile& FileBatch::add(const char* path, mode_t mode) {
    files.push_back({std::make_unique<AtomicFile>(path, mode), ""});
    return *files.back().file;
}

AtomicFile& FileBatch::add(const char* path, const struct stat& like) {
    files.push_back({std::make_unique<AtomicFile>(path, like), ""});
    return *files.back().file;
}

bool FileBatch::addCopy(const char* from, const char* to) {
    FILE* in = from ? fopen(from, "re") : nullptr;
    FILE* out = add(to).stream();
    bool ok = in != nullptr && out != nullptr;
    char block[4096];
    for (size_t n; ok && (n = fread(block, 1, sizeof block, in)) > 0;)
        ok = fwrite(block, 1, n, out) == n;
    ok = ok && !ferror(in);
    if (in) fclose(in);
    failed = failed || !ok;
    return ok;
}

bool FileBatch::prepare() {
    if (failed) errno = EIO;
    for (Entry& entry : files)
        if (!failed && !entry.file->prepare()) failed = true;
    return !failed;
}

bool FileBatch::commit() {
    if (committed || !prepare()) return committed;
    for (size_t n = 0; n < files.size(); ++n) {
        if (install(files[n])) continue;
        const int err = errno;
        EV_TRACE(DL_ERROR, "AtomicFile: can't replace %s, %s; the batch is put back",
                 files[n].file->target().c_str(), strerror(err));
        putBack(n);
        failed = true;
        errno = err;
        return false;
    }
    dropBackups();
    return committed = true;
}

bool FileBatch::install(Entry& entry) {
    AtomicFile& file = *entry.file;
    return keepReachable(file.target(), file.tempName(), entry.backup) && file.install();
}

void FileBatch::putBack(size_t count) {
    while (count-- > 0) {
        Entry& entry = files[count];
        const std::string& path = entry.file->target();
        const bool back = entry.backup.empty() ? unlink(path.c_str()) == 0
                                               : rename(entry.backup.c_str(), path.c_str()) == 0;
        // A file that cannot be put back stays under its backup name.
        if (!back)
            EV_TRACE(DL_ERROR, "AtomicFile: can't put back %s from %s, %s", path.c_str(),
                     entry.backup.c_str(), strerror(errno));
        entry.backup.clear();
        syncFolder(path);
    }
}
