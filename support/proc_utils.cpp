#include "support/proc_utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/appliance.h"

namespace {

bool readWholeFile(const std::string& path, std::string& content) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    content.clear();
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        content.append(chunk, static_cast<size_t>(got));
    close(fd);
    return got == 0;
}

std::string joinArgv(const char* const* argv) {
    std::string joined;
    for (const char* const* word = argv; *word != nullptr; ++word) {
        joined += *word;
        joined += '\0';
    }
    return joined;
}

std::string procPath(int pid, const char* entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// Process ids in /proc, ascending: the order in which ps lists them.
std::vector<int> listPids() {
    std::vector<int> pids;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return pids;
    while (struct dirent* ent = readdir(dir)) {
        char* end;
        long pid = std::strtol(ent->d_name, &end, 10);
        if (*end == '\0' && pid > 0 && std::isdigit(static_cast<unsigned char>(ent->d_name[0])))
            pids.push_back(static_cast<int>(pid));
    }
    closedir(dir);
    std::sort(pids.begin(), pids.end());
    return pids;
}

// The kernel's short name of the process, between the first "(" and the
// last ")" of its stat line.
bool readComm(int pid, std::string& comm) {
    std::string stat;
    if (!readWholeFile(procPath(pid, "stat"), stat)) return false;
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    comm = stat.substr(open + 1, close - open - 1);
    return true;
}

// The first word of the COMMAND column of "ps ax": the command line with its
// NULs shown as blanks and control characters as "?", or "[comm]" when the
// process has no command line (kernel threads, zombies).
bool psCommandWord(int pid, std::string& word) {
    std::string shown;
    if (!readWholeFile(procPath(pid, "cmdline"), shown)) return false;
    if (shown.empty()) {
        std::string comm;
        if (!readComm(pid, comm)) return false;
        shown = "[" + comm + "]";
    }
    for (char& c : shown) {
        if (c == '\0')
            c = ' ';
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    size_t start = shown.find_first_not_of(' ');
    if (start == std::string::npos) return false;
    word = shown.substr(start, shown.find(' ', start) - start);
    return true;
}

// Value of a numeric "Key:\tvalue" line of /proc/<pid>/status, or -1.
int statusField(const std::string& status, const char* key) {
    std::string needle = std::string("\n") + key + ":";
    size_t at = ("\n" + status).find(needle);
    if (at == std::string::npos) return -1;
    return std::atoi(status.c_str() + at + needle.size() - 1);
}

const char* programNameOf(int pid) {
    // Per thread: client programs with threads construct clients, which
    // ask for these names, on any of them.
    static thread_local char name[256];
    std::string cmdline;
    if (readWholeFile(procPath(pid, "cmdline"), cmdline) && !cmdline.empty() && cmdline[0] != '\0')
        std::snprintf(name, sizeof name, "%s", Com_extractProgName(cmdline.c_str()));
    else
        std::snprintf(name, sizeof name, "%d", pid);
    return name;
}

}  // namespace

int Com_getPidof(const char* name) {
    if (name == nullptr) return -1;
    for (int pid : listPids()) {
        std::string word;
        if (psCommandWord(pid, word) && word == name) return pid;
    }
    return -1;
}

std::vector<int> Com_getPidsOfCmdline(const char* const* argv) {
    ProcTable table;
    table.load();
    return table.pidsOfCmdline(argv);
}

void ProcTable::load() {
    byCmdline.clear();
    for (int pid : listPids()) {
        std::string cmdline;
        if (readWholeFile(procPath(pid, "cmdline"), cmdline) && !cmdline.empty())
            byCmdline[cmdline].push_back(pid);
    }
}

std::vector<int> ProcTable::pidsOfCmdline(const char* const* argv) const {
    std::vector<int> found;
    if (argv == nullptr || argv[0] == nullptr) return found;
    std::string wanted = joinArgv(argv);
    auto entry = byCmdline.find(wanted);
    if (entry == byCmdline.end()) return found;
    // A process may have ended since the table was read and its pid gone to
    // another program: only a command line that still matches counts.
    for (int pid : entry->second) {
        std::string cmdline;
        if (readWholeFile(procPath(pid, "cmdline"), cmdline) && cmdline == wanted)
            found.push_back(pid);
    }
    return found;
}

int Com_getPPidof(int pid) {
    if (pid <= 0) return -1;
    std::string status;
    if (!readWholeFile(procPath(pid, "status"), status)) return -1;
    // /proc also answers for thread ids, which ps lists only as their process.
    if (statusField(status, "Tgid") != pid) return -1;
    return statusField(status, "PPid");
}

const char* Com_getPidName() { return programNameOf(static_cast<int>(getpid())); }

// Asked more than once by a short-lived tool (for its log line and for its
// INI file): the name is read again only when the parent has changed.
const char* Com_getPpidName() {
    static thread_local int named = 0;
    static thread_local char name[256];
    const int parent = static_cast<int>(getppid());
    if (parent != named) {
        std::snprintf(name, sizeof name, "%s", programNameOf(parent));
        named = parent;
    }
    return name;
}

const char* Com_extractProgName(const char* path) {
    if (path == nullptr) return nullptr;
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

void Com_closeFrom(int lowest) {
    if (close_range(static_cast<unsigned>(lowest), ~0U, 0) == 0) return;
    long limit = sysconf(_SC_OPEN_MAX);
    // Without a known limit, at least every descriptor select() can watch.
    if (limit < 0) limit = FD_SETSIZE;
    if (limit > INT_MAX) limit = INT_MAX;
    for (long fd = lowest; fd < limit; ++fd) close(static_cast<int>(fd));
}

std::string Com_appHome() {
    const char* home = getenv(APP_HOME_ENV);
    return home ? home : APP_DEFAULT_HOME;
}
