#include "manager/output_tail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "support/output_log.h"

namespace {

// Head of a log line and its longest message: the last n lines lie within
// n times this many bytes of the end.
constexpr long long kLongestLine = 4096 + 128;

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Prints what the descriptor holds from its position on.
void copy_rest(int fd) {
    char block[64 * 1024];
    for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;) fwrite(block, 1, n, stdout);
    fflush(stdout);
}

// Prints what the log gains, across rotations, until interrupted.
[[noreturn]] void follow_log(const std::string& path, off_t printed) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) lseek(fd, printed, SEEK_SET);
    for (;;) {
        if (fd >= 0) copy_rest(fd);
        struct stat now, mine;
        const bool replaced = stat(path.c_str(), &now) == 0 &&
                              (fd < 0 || (fstat(fd, &mine) == 0 && mine.st_ino != now.st_ino));
        if (replaced) {
            // The old file is the ".old" generation now: its last lines may
            // have come after the copy above.
            if (fd >= 0) {
                copy_rest(fd);
                close(fd);
            }
            fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            continue;
        }
        if (fd >= 0 && fstat(fd, &mine) == 0 && lseek(fd, 0, SEEK_CUR) > mine.st_size)
            lseek(fd, 0, SEEK_SET);
        usleep(kFollowPollMs * 1000);
    }
}

}  // namespace

std::vector<std::string> last_lines(const std::string& path, long count, off_t* read_to) {
    std::vector<std::string> lines;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const off_t size = fd >= 0 ? lseek(fd, 0, SEEK_END) : 0;
    if (read_to) *read_to = size;
    if (fd < 0 || count <= 0) {
        if (fd >= 0) close(fd);
        return lines;
    }
    const long long want = std::min<long long>(size, (count + 1) * kLongestLine);
    std::string text(static_cast<size_t>(want), '\0');
    const ssize_t got = pread(fd, &text[0], text.size(), size - want);
    close(fd);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') --end;
    while (end > 0 && static_cast<long>(lines.size()) < count) {
        const size_t start = text.rfind('\n', end - 1);
        const size_t from = start == std::string::npos ? 0 : start + 1;
        // A first line cut by the window is no line.
        if (start == std::string::npos && want < size) break;
        lines.push_back(text.substr(from, end - from));
        if (start == std::string::npos) break;
        end = start;
    }
    std::reverse(lines.begin(), lines.end());
    return lines;
}

std::string module_log(const std::string& home, const std::string& module) {
    const std::string path = Com_outputLogPath(home, Com_outputLogBase(module));
    if (exists(path) || exists(path + ".old")) return path;
    if (module.find('/') != std::string::npos || module == "." || module == "..") return "";
    const std::string named = Com_outputLogPath(home, module);
    return exists(named) || exists(named + ".old") ? named : "";
}

int show_output(const std::string& home, const std::string& module, long count, bool follow) {
    const std::string path = module_log(home, module);
    if (path.empty()) {
        printf("No output log for %s\n", module.c_str());
        return 2;
    }
    off_t printed = 0;
    std::vector<std::string> lines = last_lines(path, count, &printed);
    if (static_cast<long>(lines.size()) < count) {
        std::vector<std::string> older =
            last_lines(path + ".old", count - static_cast<long>(lines.size()));
        lines.insert(lines.begin(), older.begin(), older.end());
    }
    for (const std::string& line : lines) printf("%s\n", line.c_str());
    fflush(stdout);
    if (follow) follow_log(path, printed);
    return 0;
}
