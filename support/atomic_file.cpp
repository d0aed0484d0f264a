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

// Copies the rest of `in`, which is closed, into `copy` and commits it.
bool copyInto(FILE* in, AtomicFile& copy) {
    bool ok = copy.stream() != nullptr;
    char block[4096];
    for (size_t n; ok && (n = fread(block, 1, sizeof block, in)) > 0;)
        ok = fwrite(block, 1, n, copy.stream()) == n;
    ok = ok && !ferror(in);
    fclose(in);
    return ok && copy.commit();
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

bool AtomicFile::commit() {
    if (!out) return false;
    bool written = fflush(out) == 0 && !ferror(out) && fsync(fileno(out)) == 0;
    int err = errno;
    if (fclose(out) != 0 && written) {
        written = false;
        err = errno;
    }
    out = nullptr;
    if (written && rename(temp.c_str(), path.c_str()) == 0) {
        temp.clear();
        syncFolder(path);
        return true;
    }
    if (written) err = errno;
    unlink(temp.c_str());
    temp.clear();
    errno = err;
    return false;
}

int replaceFileWithCopy(const char* from, const char* to) {
    FILE* in = from ? fopen(from, "re") : nullptr;
    if (!in) return -1;
    AtomicFile copy(to);
    return copyInto(in, copy) ? 0 : -1;
}

int replaceFileWithCopy(FILE* in, const char* to) {
    if (!in) return -1;
    struct stat source;
    if (fstat(fileno(in), &source) != 0) {
        fclose(in);
        return -1;
    }
    AtomicFile copy(to, source);
    return copyInto(in, copy) ? 0 : -1;
}
