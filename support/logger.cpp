#include "support/logger.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/file_utils.h"

namespace {

// Gathered lines leave once they reach this much.
constexpr size_t kHeldBytes = 64 * 1024;

long long sizeError(const char* reason) {
    fprintf(stderr, " Error: Logger::getLogSize() %s .Defaulting size to 10K\n", reason);
    return Logger::kDefaultSize;
}

// A line's head is not formatted by printf: a program's captured output is
// logged line by line, a million lines a second at full speed, and parsing
// the format was most of the daemon's time then. What follows the number
// changes once a second at most for lines from one source, so it is made
// once for them.

// As "%08lu": the digits end at `end`; where they start.
char* putNumber(char* end, unsigned long number) {
    char* first = end;
    do {
        *--first = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (first > end - 8) *--first = '0';
    return first;
}

// As "%*s", and a blank.
void appendField(std::string& out, const std::string& text, size_t width) {
    if (text.size() < width) out.append(width - text.size(), ' ');
    out.append(text).push_back(' ');
}

}  // namespace

Logger::Logger(const char* prefix) : prefix(prefix != nullptr ? prefix : "") {}

Logger::~Logger() {
    writeHeld();
    closeFile();
}

bool Logger::init(const char* filePath, const char* sizeText, OpenMode mode) {
    return init(filePath, getLogSize(sizeText), mode);
}

bool Logger::init(const char* filePath, long long size, OpenMode mode) {
    path = filePath != nullptr ? filePath : "";
    oldPath = path + ".old";
    maxSize = size;
    lineNo = 0;
    if (!openFile(mode)) fprintf(stderr, "Couldn't open %s. No logging in effect.\n", path.c_str());
    return isOpen;
}

void Logger::update(const char* sizeText) { maxSize = getLogSize(sizeText); }

bool Logger::openFile(OpenMode mode) {
    closeFile();
    if (!path.empty()) fd = openLogFile(path.c_str(), mode == Truncate);
    position = fd >= 0 ? lseek(fd, 0, SEEK_END) : 0;
    if (position < 0) position = 0;
    isOpen = fd >= 0;
    return isOpen;
}

void Logger::closeFile() {
    if (fd >= 0) close(fd);
    fd = -1;
    isOpen = false;
}

void Logger::reset() {
    writeHeld();
    // The old generation goes first: renamed over it, ext4 would allocate
    // and start writing out the file being renamed within the call (its
    // guard for files replaced by rename), work a log rolled many times a
    // second does not need, as that file is deleted at its next roll.
    unlink(oldPath.c_str());
    if (std::rename(path.c_str(), oldPath.c_str()) != 0) perror("Logger::rename");
    openFile(Truncate);
    lineNo = 0;
}

bool Logger::log(const char* message, int severity, const char* module, time_t time) {
    const char* text = message != nullptr ? message : "";
    return log(text, std::strlen(text), severity, module, time);
}

bool Logger::log(const char* message, size_t length, int severity, const char* module,
                 time_t time) {
    if (!isOpen) return false;
    if (position > maxSize) {
        reset();
        if (!isOpen) return false;
    }
    ++lineNo;
    if (time == 0) time = held ? heldTime : std::time(nullptr);
    // A held line goes straight to the gathered ones: no copy, no allocation.
    if (!held) line.clear();
    std::string& out = held ? heldLines : line;
    const size_t start = out.size();
    appendLine(out, message, length, severity, module, time);
    return held ? keepHeld(out.size() - start) : writeLine(line);
}

// "<number> <ctime> <severity> <module> <message>" and a newline.
void Logger::appendLine(std::string& out, const char* message, size_t length, int severity,
                        const char* module, time_t time) {
    char digits[24];
    char* const end = digits + sizeof digits;
    const char* number = putNumber(end, lineNo);
    out.append(prefix)
        .append(number, static_cast<size_t>(end - number))
        .append(headTail(time, severity, module != nullptr ? module : "unknown module"))
        .append(message, length)
        .push_back('\n');
}

const std::string& Logger::headTail(time_t time, int severity, const char* module) {
    if (!tail.empty() && time == tailTime && severity == tailSeverity && tailModule == module)
        return tail;
    tailTime = time;
    tailSeverity = severity;
    tailModule = module;
    char stamp[32];
    if (ctime_r(&time, stamp) == nullptr) stamp[0] = '\0';
    stamp[24] = '\0';
    tail.assign(" ").append(stamp).push_back(' ');
    appendField(tail, SeverityToStr(severity), 7);
    appendField(tail, tailModule, 6);
    return tail;
}

bool Logger::writeLine(const std::string& text) {
    if (!writeAll(fd, text.data(), static_cast<ssize_t>(text.size()))) return false;
    position += static_cast<long long>(text.size());
    return true;
}

bool Logger::keepHeld(size_t bytes) {
    ++heldCount;
    position += static_cast<long long>(bytes);
    if (heldLines.size() >= kHeldBytes) writeHeld();
    return true;
}

void Logger::writeHeld() {
    if (heldLines.empty()) return;
    if (fd < 0 || !writeAll(fd, heldLines.data(), static_cast<ssize_t>(heldLines.size()))) {
        heldFailed += heldCount;
        // Counted as written when gathered; this many bytes never came.
        position -= static_cast<long long>(heldLines.size());
    }
    heldLines.clear();
    heldCount = 0;
}

void Logger::hold() {
    held = true;
    heldTime = std::time(nullptr);
}

unsigned long Logger::release() {
    writeHeld();
    held = false;
    const unsigned long failed = heldFailed;
    heldFailed = 0;
    return failed;
}

long long Logger::getLogSize(const char* text) {
    if (text == nullptr) return sizeError("empty size string. log.size not defined");
    if (*text == '\0') return sizeError(" empty log.size field");
    const char* p = text;
    long long number = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (number > (LLONG_MAX - 9) / 10) return sizeError(" invalid value of log.size field");
        number = number * 10 + (*p - '0');
    }
    long long unit = 1;
    if (*p == 'K' || *p == 'k')
        unit = 1024;
    else if (*p == 'M' || *p == 'm')
        unit = 1024 * 1024;
    else if (*p != '\0')
        return sizeError(" invalid value of log.size field");
    if (p == text || (unit > 1 && p[1] != '\0') || number > LLONG_MAX / unit)
        return sizeError(" invalid value of log.size field");
    return number * unit;
}

std::string Logger::SeverityToStr(int severity) {
    switch (severity) {
        case Fatal:
            return "Fatal";
        case Error:
            return "Error";
        case Warning:
            return "Warning";
        case Info:
            return "Info";
        default:
            return "?[" + std::to_string(severity) + "]?";
    }
}
