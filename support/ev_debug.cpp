#include "support/ev_debug.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "support/appliance.h"
#include "support/file_utils.h"
#include "support/profile.h"
#include "support/str_utils.h"

namespace {

const char kDefaultModule[] = "default";

struct LevelInfo {
    uint32_t bit;
    const char* key;
    const char* name;
};

const LevelInfo kLevels[] = {
    {DL_FATAL, "fatal", "DL_FATAL"},       {DL_ERROR, "error", "DL_ERROR"},
    {DL_WARNING, "warning", "DL_WARNING"}, {DL_NOTIFY, "notify", "DL_NOTIFY"},
    {DL_DEBUG, "debug", "DL_DEBUG"},       {DL_DEBUG_EXT, "debug_ext", "DL_DEBUG_EXT"},
    {DL_TRACE, "trace", "DL_TRACE"},       {DL_USER1, "user1", "DL_USER1"},
    {DL_USER2, "user2", "DL_USER2"},       {DL_USER3, "user3", "DL_USER3"},
};

std::string existingDirOrDot(const std::string& dir) { return isDir(dir.c_str()) ? dir : "."; }

bool endsWithSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

int32_t kilobytesToBytes(int kb) {
    long long bytes = static_cast<long long>(kb) * 1024;
    if (bytes > INT32_MAX) return INT32_MAX;
    if (bytes < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(bytes);
}

// The trace file as a stream, opened as every log is (see openLogFile).
FILE* openTraceFile(const char* name, bool truncate) {
    const int fd = openLogFile(name, truncate);
    FILE* file = fd >= 0 ? fdopen(fd, truncate ? "w" : "a") : nullptr;
    if (fd >= 0 && file == nullptr) close(fd);
    return file;
}

}  // namespace

EvDebug::EvDebug(const char* moduleName, const char* home) { init(moduleName, home); }

EvDebug::~EvDebug() {
    closeFile();
    std::free(fileName);
}

// Never destroyed: objects torn down at exit may still trace.
static EvDebug* theInstance = nullptr;

EvDebug& EvDebug::instance() {
    if (theInstance == nullptr) theInstance = new EvDebug;
    return *theInstance;
}

bool EvDebug::setConfPath(const char* module, const char* home) {
    if (module == nullptr || home == nullptr) return false;
    // The first configuration builds the trace for its module at once: set
    // up for "default" first, it would leave an empty evdbg.default.log in
    // the current folder of every program that configures its trace.
    if (theInstance == nullptr) {
        theInstance = new EvDebug(module, home);
        return !theInstance->module.empty();
    }
    return theInstance->init(module, home);
}

bool EvDebug::setModule(const char* name) {
    if (name == nullptr) return false;
    EvDebug& dbg = instance();
    if (dbg.module == name) return true;
    return dbg.init(name, nullptr);
}

const char* EvDebug::levelName(uint32_t level) {
    if (level == DL_ALL) return "DL_ALL";
    for (const LevelInfo& info : kLevels)
        if (info.bit == level) return info.name;
    return "";
}

bool EvDebug::init(const char* moduleName, const char* home) {
    std::lock_guard<std::mutex> lock(mutex);
    closeFile();
    setFileName("");
    curFileSize = -1;
    levelMask = kDefaultLevelMask;
    printToStderr = false;
    truncateOnOpen = false;
    maxFileSize = kDefaultMaxFileSize;

    module = (moduleName != nullptr && *moduleName != '\0') ? moduleName : kDefaultModule;
    std::string confDir = home != nullptr ? std::string(home) + "/" + APP_CONF_SUBDIR
                                          : existingDirOrDot(APP_DEFAULT_CONF_DIR);
    std::string confFile = resolvePath(nullptr, module.c_str(), APP_TRACE_PROFILE, confDir.c_str());
    readConfig(confFile.c_str(), home);
    if (!openFile()) {
        module.clear();
        return false;
    }
    return true;
}

void EvDebug::readConfig(const char* confFile, const char* home) {
    // A dozen look-ups, one read of the file.
    ProfileBatch batch;
    std::string section = kDefaultModule;
    if (module != kDefaultModule) {
        std::vector<std::string> keys;
        if (VtProfile(module.c_str(), confFile).getEntries(keys) > 0) section = module;
    }
    VtProfile profile(section.c_str(), confFile);

    std::string traceDir = existingDirOrDot(
        home != nullptr ? std::string(home) + "/" + APP_LOG_SUBDIR : APP_DEFAULT_LOGS_DIR);
    std::string defaultName = "evdbg." + module + ".log";
    std::string name = profile.getString("filename", "");
    if (!name.empty() && name[0] == '!') {
        name.erase(0, 1);
        truncateOnOpen = true;
    }
    if (name.empty())
        setFileName(traceDir + "/" + defaultName);
    else if (endsWithSeparator(name))
        setFileName(name + defaultName);
    else if (name.find_first_of("/\\") != std::string::npos)
        setFileName(name);
    else
        setFileName(traceDir + "/" + name);

    maxFileSize = kilobytesToBytes(profile.getInt("filesize", kDefaultMaxFileSize / 1024));

    readLevels(profile);
}

// "all" sets every level, or none, before the keys of single levels.
void EvDebug::readLevels(const VtProfile& profile) {
    switch (profile.getInt("all", -1)) {
        case 1:
            levelMask = DL_ALL;
            printToStderr = true;
            break;
        case 0:
            levelMask = 0;
            printToStderr = false;
            break;
        default:
            levelMask = kDefaultLevelMask;
            printToStderr = false;
            break;
    }
    for (const LevelInfo& info : kLevels) {
        if (profile.getInt(info.key, (levelMask & info.bit) != 0) != 0)
            levelMask |= info.bit;
        else
            levelMask &= ~info.bit;
    }
    printToStderr = profile.getInt("PrintToStderr", printToStderr) != 0;
}

void EvDebug::setFileName(const std::string& path) {
    std::free(fileName);
    fileName = path.empty() ? nullptr : strdup(path.c_str());
}

bool EvDebug::openFile() {
    if (fileName == nullptr) return false;
    file = openTraceFile(fileName, truncateOnOpen);
    curFileSize = truncateOnOpen ? 0 : -1;
    return file != nullptr;
}

void EvDebug::closeFile() {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
}

// Moves the full file aside as the one ".old" generation and starts afresh.
bool EvDebug::truncateFile() {
    closeFile();
    std::string oldName = std::string(fileName) + ".old";
    std::remove(oldName.c_str());
    // A trace file deleted by hand fails the rename; start a new one then
    // rather than stop tracing for the rest of the process.
    if (std::rename(fileName, oldName.c_str()) != 0 && errno != ENOENT) return false;
    file = openTraceFile(fileName, true);
    curFileSize = 0;
    return file != nullptr;
}

void EvDebug::limitFileSize() {
    if (curFileSize == -1) {
        struct stat st;
        curFileSize = fstat(fileno(file), &st) == 0 ? static_cast<int32_t>(st.st_size) : 0;
    }
    if (curFileSize >= maxFileSize) truncateFile();
}

void EvDebug::print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprint(format, args);
    va_end(args);
}

void EvDebug::vprint(const char* format, va_list args) {
    std::lock_guard<std::mutex> lock(mutex);
    if (printToStderr) {
        va_list copy;
        va_copy(copy, args);
        std::vfprintf(stderr, format, copy);
        va_end(copy);
        std::fputc('\n', stderr);
    }
    if (file == nullptr) return;
    limitFileSize();
    if (file == nullptr) return;
    time_t now = std::time(nullptr);
    struct tm local;
    char stamp[32] = "";
    if (localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%m-%d %H:%M:%S", &local);
    writeCounted("%s(%d) <%s>: ", stamp, static_cast<int>(getpid()), levelName(curLevel));
    va_list copy;
    va_copy(copy, args);
    vwriteCounted(format, copy);
    va_end(copy);
    writeCounted("\n");
    std::fflush(file);
}

void EvDebug::writeCounted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwriteCounted(format, args);
    va_end(args);
}

void EvDebug::vwriteCounted(const char* format, va_list args) {
    int n = std::vfprintf(file, format, args);
    if (n > 0) curFileSize = n > INT32_MAX - curFileSize ? INT32_MAX : curFileSize + n;
}

void EvDebug::dumpOptions() {
    print("Listing EvDebug options :");
    print("\tmodule         %s", module.c_str());
    print("\tfilename       \"%s\"", fileName != nullptr ? fileName : "");
    print("\tmaxFileSize    %ld Kb", static_cast<long>(maxFileSize / 1024));
    for (const LevelInfo& info : kLevels) {
        curLevel = info.bit;
        std::string line = std::string("\t") + info.key;
        line.resize(16, ' ');
        print("%s%s", line.c_str(), (levelMask & info.bit) ? "on" : "off");
    }
    print("\tPrintToStderr  %s", printToStderr ? "on" : "off");
}
