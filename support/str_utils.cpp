#include "support/str_utils.h"

#include <strings.h>

#include <cctype>
#include <cstring>

namespace {

bool isTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isQuote(char c) { return c == '"' || c == '\''; }

template <typename Equal>
int findInTable(const char* text, const char* const* table, Equal equal) {
    if (text == nullptr || table == nullptr) return -1;
    for (int i = 0; table[i] != nullptr; ++i)
        if (equal(text, table[i])) return i;
    return -1;
}

}  // namespace

std::string resolvePath(const char* /*base*/, const char* /*module*/, const char* name,
                        const char* dir) {
    std::string path = dir != nullptr ? dir : "";
    if (path.empty() || (path.back() != '/' && path.back() != '\\')) path += '/';
    if (name != nullptr) path += name;
    return path;
}

char* strTrimDequote(char* text, bool dequote) {
    if (text == nullptr) return nullptr;
    const char* start = text;
    while (isTrimmed(*start)) ++start;
    size_t len = std::strlen(start);
    while (len > 0 && isTrimmed(start[len - 1])) --len;
    if (dequote) {
        if (len > 0 && isQuote(*start)) {
            ++start;
            --len;
        }
        if (len > 0 && isQuote(start[len - 1])) --len;
    }
    std::memmove(text, start, len);
    text[len] = '\0';
    return text;
}

int strcmpNoCase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
    return strcasecmp(a, b);
}

bool getLine(FILE* stream, char* buffer, int size) {
    if (stream == nullptr || buffer == nullptr || size < 2 ||
        std::fgets(buffer, size, stream) == nullptr)
        return false;
    size_t len = std::strlen(buffer);
    if (len > 0 && (buffer[len - 1] == '\n' || buffer[len - 1] == '\r')) buffer[len - 1] = '\0';
    return true;
}

int strMatch(const char* text, const char* const* table) {
    return findInTable(text, table,
                       [](const char* t, const char* e) { return std::strcmp(t, e) == 0; });
}

int strCaseMatch(const char* text, const char* const* table) {
    return findInTable(text, table,
                       [](const char* t, const char* e) { return strcasecmp(t, e) == 0; });
}

int headMatch(const char* text, const char* const* table) {
    return findInTable(text, table, [](const char* t, const char* e) {
        return std::strncmp(t, e, std::strlen(e)) == 0;
    });
}

int headCaseMatch(const char* text, const char* const* table) {
    return findInTable(text, table, [](const char* t, const char* e) {
        return strncasecmp(t, e, std::strlen(e)) == 0;
    });
}

int splitStr(const char* text, const char* delimiters, std::vector<std::string>& tokens) {
    tokens.clear();
    if (text == nullptr) return 0;
    const char* delims = delimiters != nullptr ? delimiters : "";
    const char* p = text;
    while (*p != '\0') {
        p += std::strspn(p, delims);
        size_t len = std::strcspn(p, delims);
        if (len > 0) tokens.emplace_back(p, len);
        p += len;
    }
    return static_cast<int>(tokens.size());
}

bool text_made_of(const char* text, const char* allowed) {
    if (!text) return false;
    for (const char* c = text; *c; ++c)
        if (!isalnum(static_cast<unsigned char>(*c)) && !strchr(allowed, *c)) return false;
    return true;
}
