#include "support/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

AtomicFile::AtomicFile(const char* target, mode_t mode) : path(target ? target : "") {
    if (path.empty()) return;
    const std::string pattern = path + kAtomicTempInfix + std::string(kAtomicTempUnique, 'X');
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return;
    temp = name.data();
    struct stat st;
    if (fchmod(fd, stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : mode) != 0 ||
        (out = fdopen(fd, "w")) == nullptr) {
        const int err = errno;
        close(fd);
        unlink(temp.c_str());
        temp.clear();
        errno = err;
    }
}

AtomicFile::~AtomicFile() {
    if (out) fclose(out);
    if (!temp.empty()) unlink(temp.c_str());
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
        return true;
    }
    if (written) err = errno;
    unlink(temp.c_str());
    temp.clear();
    errno = err;
    return false;
}

int replaceFileWithCopy(const char* from, const char* to) {
    return replaceFileWithCopy(from ? fopen(from, "re") : nullptr, to);
}

int replaceFileWithCopy(FILE* in, const char* to) {
    if (!in) return -1;
    AtomicFile copy(to);
    bool ok = copy.stream() != nullptr;
    char block[4096];
    for (size_t n; ok && (n = fread(block, 1, sizeof block, in)) > 0;)
        ok = fwrite(block, 1, n, copy.stream()) == n;
    ok = ok && !ferror(in);
    fclose(in);
    return ok && copy.commit() ? 0 : -1;
}
