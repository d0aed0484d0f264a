#include "support/logger.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

long long sizeError(const char* reason) {
    std::cerr << " Error: Logger::getLogSize() " << reason << " "
              << "."
              << "Defaulting size to 10K" << std::endl;
    return Logger::kDefaultSize;
}

}  // namespace

Logger::Logger(const char* prefix) : prefix(prefix != nullptr ? prefix : "") {}

bool Logger::init(const char* filePath, const char* sizeText, std::ios_base::openmode mode) {
    return init(filePath, getLogSize(sizeText), mode);
}

bool Logger::init(const char* filePath, long long size, std::ios_base::openmode mode) {
    path = filePath != nullptr ? filePath : "";
    oldPath = path + ".old";
    maxSize = size;
    lineNo = 0;
    if (!openStream(mode))
        std::cerr << "Couldn't open " << path << ". No logging in effect." << std::endl;
    return isOpen;
}

void Logger::update(const char* sizeText) { maxSize = getLogSize(sizeText); }

bool Logger::openStream(std::ios_base::openmode mode) {
    if (out.is_open()) out.close();
    out.clear();
    if (!path.empty()) out.open(path, std::ios::out | mode);
    isOpen = out.is_open();
    return isOpen;
}

void Logger::reset() {
    if (std::rename(path.c_str(), oldPath.c_str()) != 0) perror("Logger::rename");
    openStream(std::ios::trunc);
    lineNo = 0;
}

void Logger::log(const char* message, int severity, const char* module, time_t time) {
    if (!isOpen) return;
    if (static_cast<long long>(out.tellp()) > maxSize) {
        reset();
        if (!isOpen) return;
    }
    ++lineNo;
    if (time == 0) time = std::time(nullptr);
    char when[32] = "";
    if (ctime_r(&time, when) != nullptr) when[24] = '\0';
    char head[96];
    std::snprintf(head, sizeof head, "%08lu %s %7s %6s ", lineNo, when,
                  SeverityToStr(severity).c_str(), module != nullptr ? module : "unknown module");
    out << prefix << head << (message != nullptr ? message : "") << '\n';
    out.flush();
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
