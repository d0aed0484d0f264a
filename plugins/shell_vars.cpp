// The shell-variable syntax of the configuration file.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "plugins/config_loader.h"

namespace {

bool nameChar(char c, bool first) {
    return c == '_' || std::isalpha(static_cast<unsigned char>(c)) ||
           (!first && std::isdigit(static_cast<unsigned char>(c)));
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Text from `at` up to the closing `quote`; false when it is not closed.
bool readQuoted(const std::string& line, size_t& at, char quote, std::string& value) {
    for (++at; at < line.size(); ++at) {
        const char c = line[at];
        if (c == quote) {
            ++at;
            return true;
        }
        if (quote == '"' && c == '\\' && at + 1 < line.size() &&
            strchr("\"\\$`", line[at + 1]) != nullptr)
            ++at;
        value += line[at];
    }
    return false;
}

// The name that the line from `at` on assigns (NAME or NAME[index], after
// blanks), with `at` left on its "="; false when the line assigns nothing.
bool scanAssignment(const std::string& line, size_t& at, std::string& name) {
    while (at < line.size() && blank(line[at])) ++at;
    const size_t start = at;
    while (at < line.size() && nameChar(line[at], at == start)) ++at;
    if (at == start) return false;
    if (at < line.size() && line[at] == '[') {
        const size_t close = line.find(']', at);
        if (close == std::string::npos) return false;
        at = close + 1;
    }
    name = line.substr(start, at - start);
    return at < line.size() && line[at] == '=';
}

}  // namespace

int parseShellLine(const std::string& line, std::string& name, std::string& value) {
    size_t at = 0;
    while (at < line.size() && blank(line[at])) ++at;
    if (at == line.size() || line[at] == '#') return 0;
    if (!scanAssignment(line, at, name)) return -1;
    ++at;
    value.clear();
    // A value may join quoted and unquoted pieces, as in the shell.
    while (at < line.size() && !blank(line[at])) {
        const char c = line[at];
        if (c == '"' || c == '\'') {
            if (!readQuoted(line, at, c, value)) return -1;
        } else {
            if (c == '\\' && at + 1 < line.size()) ++at;
            value += line[at++];
        }
    }
    while (at < line.size() && blank(line[at])) ++at;
    return at == line.size() || line[at] == '#' ? 1 : -1;
}

std::string assignedBase(const std::string& line) {
    size_t at = 0;
    std::string name;
    if (!scanAssignment(line, at, name)) return "";
    return name.substr(0, name.find('['));
}

bool splitIndexedName(const char* name, std::string& base, int& index) {
    const char* open = strchr(name, '[');
    index = -1;
    if (!open) {
        base = name;
        return true;
    }
    base.assign(name, static_cast<size_t>(open - name));
    const char* digits = open + 1;
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
    char* end = nullptr;
    const long value = strtol(digits, &end, 10);
    if (end[0] != ']' || end[1] != '\0' || value > 1000000) return false;
    index = static_cast<int>(value);
    return true;
}

std::string shellQuote(const std::string& value) {
    std::string quoted = "\"";
    for (char c : value) {
        if (strchr("\"\\$`", c) != nullptr) quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}
