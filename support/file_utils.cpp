#include "support/file_utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool statIs(const char* path, mode_t type) {
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && (st.st_mode & S_IFMT) == type;
}

}  // namespace

bool writeAll(int fd, const char* data, ssize_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, static_cast<size_t>(len));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= n;
    }
    return true;
}

int openRegularForRead(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // O_NONBLOCK: a FIFO without a writer opens at once instead of waiting
    // for one; reading a regular file is the same either way.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    const int err = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (err == 0) return fd;
    close(fd);
    errno = err;
    return -1;
}

FILE* fopenRegularForRead(const char* path) {
    const int fd = openRegularForRead(path);
    if (fd < 0) return nullptr;
    FILE* in = fdopen(fd, "r");
    if (in == nullptr) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return in;
}

int openLogFile(const char* path, bool truncate) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // O_NONBLOCK changes nothing for a regular file's writes.
    const int how = truncate ? O_TRUNC : O_APPEND;
    return open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | how, 0640);
}

bool isDir(const char* path) { return statIs(path, S_IFDIR); }

bool isFile(const char* path) { return statIs(path, S_IFREG); }

long long getFileSize(const char* path) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

bool delDir(const char* path) {
    if (path == nullptr) return false;
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        std::string msg = std::string("Can not access directory <") + path + ">";
        perror(msg.c_str());
        return false;
    }
    bool ok = true;
    while (struct dirent* ent = readdir(dir)) {
        if (std::strcmp(ent->d_name, ".") == 0 || std::strcmp(ent->d_name, "..") == 0) continue;
        std::string child = std::string(path) + "/" + ent->d_name;
        struct stat st;
        // lstat: a link to a folder is removed, never followed out of the tree
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            ok = delDir(child.c_str()) && ok;
        else if (unlink(child.c_str()) != 0)
            ok = false;
    }
    closedir(dir);
    if (rmdir(path) != 0) {
        std::string msg = std::string("Can not remove directory <") + path + ">";
        perror(msg.c_str());
        return false;
    }
    return ok;
}
