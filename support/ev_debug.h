// Process-wide debug trace: one EvDebug per process, configured from the
// "qoevdbg.conf" profile with one section per module.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// Trace levels: single bits of EvDebug::levelMask.
constexpr uint32_t DL_FATAL = 1;
constexpr uint32_t DL_ERROR = 2;
constexpr uint32_t DL_WARNING = 4;
constexpr uint32_t DL_NOTIFY = 8;
constexpr uint32_t DL_DEBUG = 16;
constexpr uint32_t DL_DEBUG_EXT = 32;
constexpr uint32_t DL_TRACE = 64;
constexpr uint32_t DL_USER1 = 128;
constexpr uint32_t DL_USER2 = 256;
constexpr uint32_t DL_USER3 = 512;
constexpr uint32_t DL_ALL = 0xFFFFFFFF;

// EV_TRACE(level, fmt, ...): writes one trace line at `level`. The arguments
// are not even evaluated while the level is off, so call sites stay cheap.
#define EV_TRACE(level, ...)                                                 \
    do {                                                                     \
        EvDebug& evTraceDbg_ = EvDebug::instance();                          \
        evTraceDbg_.curLevel = (level);                                      \
        if (evTraceDbg_.levelMask & (level)) evTraceDbg_.print(__VA_ARGS__); \
    } while (0)

class VtProfile;

class EvDebug {
public:
    static constexpr int32_t kDefaultMaxFileSize = 5000 * 1024;
    static constexpr uint32_t kDefaultLevelMask = DL_FATAL | DL_ERROR;

    // A trace configured by init(module, home); instance() uses the defaults.
    explicit EvDebug(const char* module = nullptr, const char* home = nullptr);
    ~EvDebug();
    EvDebug(const EvDebug&) = delete;
    EvDebug& operator=(const EvDebug&) = delete;

    // The one trace of the process, created on first use.
    static EvDebug& instance();
    // Re-initialises the process trace for `module` under `home`; both are
    // required.
    static bool setConfPath(const char* module, const char* home);
    // Switches the process trace to another module (no home folder).
    static bool setModule(const char* name);

    // Reads the module's options from <home>/conf/qoevdbg.conf (home may be
    // null) and opens its trace file; false when the file cannot be opened.
    bool init(const char* module, const char* home);

    // One line at curLevel; callers test levelMask first (see EV_TRACE).
    void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void vprint(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

    // Writes the current options as trace lines.
    void dumpOptions();

    const std::string& getModule() const { return module; }
    const char* getFileName() const { return fileName; }
    int32_t getMaxFileSize() const { return maxFileSize; }
    bool getPrintToStderr() const { return printToStderr; }

    // Name printed for a level bit, e.g. "DL_TRACE"; "" for a non-level.
    static const char* levelName(uint32_t level);

    uint32_t levelMask = kDefaultLevelMask;
    uint32_t curLevel = DL_FATAL;

private:
    void readConfig(const char* confFile, const char* home);
    void readLevels(const VtProfile& profile);
    void setFileName(const std::string& path);
    bool openFile();
    void closeFile();
    bool truncateFile();
    void limitFileSize();
    void writeCounted(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void vwriteCounted(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

    std::string module;
    char* fileName = nullptr;
    bool truncateOnOpen = false;
    int32_t maxFileSize = kDefaultMaxFileSize;
    FILE* file = nullptr;
    bool printToStderr = false;
    int32_t curFileSize = -1;
    std::mutex mutex;
};
