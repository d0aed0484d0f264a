#include "support/logger.h"

#include <unistd.h>

#include <algorithm>
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
    if (time == 0) time = std::time(nullptr);
    char head[96];
    const int headLength = std::snprintf(head, sizeof head, "%08lu %s %7s %6s ", lineNo,
                                         timeText(time), SeverityToStr(severity).c_str(),
                                         module != nullptr ? module : "unknown module");
    line.assign(prefix)
        .append(head, std::min(static_cast<size_t>(headLength), sizeof head - 1))
        .append(message, length)
        .push_back('\n');
    return writeLine(line);
}

const char* Logger::timeText(time_t time) {
    if (time != lastTime) {
        lastTime = time;
        if (ctime_r(&time, lastTimeText) == nullptr) lastTimeText[0] = '\0';
        lastTimeText[24] = '\0';
    }
    return lastTimeText;
}

bool Logger::writeLine(const std::string& line) {
    if (held) {
        heldLines += line;
        ++heldCount;
        position += static_cast<long long>(line.size());
        if (heldLines.size() >= kHeldBytes) writeHeld();
        return true;
    }
    if (!writeAll(fd, line.data(), static_cast<ssize_t>(line.size()))) return false;
    position += static_cast<long long>(line.size());
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
