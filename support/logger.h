// Numbered, time-stamped log lines in one file of bounded size; a full file
// is moved aside to a single ".old" generation and started again.
#pragma once

#include <ctime>
#include <string>

class Logger {
public:
    enum Severity { Fatal = 1, Error = 2, Warning = 4, Info = 8 };
    // How init() opens the file: appended to, or emptied first.
    enum OpenMode { Append, Truncate };
    static constexpr long long kDefaultSize = 10 * 1024;

    explicit Logger(const char* prefix = nullptr);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Opens `path` for output in `mode`; the size text is read by
    // getLogSize. False, with a note on standard error, when the file cannot
    // be opened; the logger then drops every line.
    bool init(const char* path, const char* sizeText, OpenMode mode);
    bool init(const char* path, long long maxSize, OpenMode mode);
    void update(const char* sizeText);

    // One line; `time` 0 means now. False when the line could not be
    // written (closed, or the write failed), so a caller may count it.
    bool log(const char* message, int severity, const char* module, time_t time = 0);
    // The same for a message of `length` bytes, not ended by a NUL.
    bool log(const char* message, size_t length, int severity, const char* module, time_t time = 0);
    // Moves the file to its ".old" name and reopens it empty.
    void reset();
    // From hold() to release() lines are gathered and leave in as few
    // writes as possible: for a caller that logs many lines at once. Lines
    // logged for now (time 0) meanwhile take the time of hold().
    // release() answers how many of them could not be written.
    void hold();
    unsigned long release();

    bool opened() const { return isOpen; }

    // "500K", "2m", "100": bytes; anything else is reported on standard
    // error and gives kDefaultSize.
    static long long getLogSize(const char* text);
    static std::string SeverityToStr(int severity);

private:
    bool openFile(OpenMode mode);
    void closeFile();
    void appendLine(std::string& out, const char* message, size_t length, int severity,
                    const char* module, time_t time);
    bool writeLine(const std::string& text);
    // A line of `bytes` was added to the held ones.
    bool keepHeld(size_t bytes);
    void writeHeld();
    // " <ctime> <severity> <module> ", kept for the next line of the same
    // second, severity and module.
    const std::string& headTail(time_t time, int severity, const char* module);

    bool isOpen = false;
    unsigned long lineNo = 0;
    // A plain descriptor: each line leaves in one write, and the programs
    // that log carry no stream library for it.
    int fd = -1;
    // Where the next line goes: the file's size when it was opened plus
    // what this logger wrote since.
    long long position = 0;
    long long maxSize = kDefaultSize;
    std::string path;
    std::string oldPath;
    std::string prefix;
    // The line being written: kept to spare an allocation per line.
    std::string line;
    bool held = false;
    std::string heldLines;
    unsigned long heldCount = 0;
    unsigned long heldFailed = 0;
    time_t heldTime = 0;
    time_t tailTime = 0;
    int tailSeverity = 0;
    std::string tailModule;
    std::string tail;
};
