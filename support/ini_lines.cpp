#include "support/ini_lines.h"

#include <algorithm>
#include <cctype>

namespace {

// iniparser 4 refuses a whole file with a line longer than this (its end
// not counted).
constexpr size_t kMaxLine = 1022;

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

size_t end_of_text(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && is_blank(text[end - 1])) --end;
    return end;
}

std::string stripped(const std::string& text) {
    const size_t end = end_of_text(text);
    size_t begin = 0;
    while (begin < end && is_blank(text[begin])) ++begin;
    return text.substr(begin, end - begin);
}

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A line the loader joins with the next one.
bool continues(const std::string& text) {
    const size_t end = end_of_text(text);
    return end > 0 && text[end - 1] == '\\';
}

std::string without_end(const std::string& line) {
    return !line.empty() && line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
}

// Where the value of an entry's line lies, its quotes included.
struct Span {
    size_t begin, end;
    bool quoted;
};

Span value_span(const std::string& text) {
    const size_t end = end_of_text(text);
    size_t begin = text.find('=') + 1;
    while (begin < end && is_blank(text[begin])) ++begin;
    // A quote read as one has at least one character up to the next quote
    // ("" is an empty bare value); the value ends at that quote, or with the
    // line when there is none.
    if (begin + 1 < end && (text[begin] == '"' || text[begin] == '\'') &&
        text[begin + 1] != text[begin]) {
        const size_t close = text.find(text[begin], begin + 1);
        return {begin, close == std::string::npos ? end : close + 1, true};
    }
    size_t stop = std::min(text.find_first_of(";#", begin), end);
    while (stop > begin && is_blank(text[stop - 1])) --stop;
    return {begin, stop, false};
}

enum class Kind { kBlank, kComment, kSection, kEntry, kError };

struct Parsed {
    Kind kind;
    std::string name;  // of the section or the key, in lower case
    std::string value;
};

Parsed parse(const std::string& text) {
    const std::string line = stripped(text);
    if (line.empty()) return {Kind::kBlank, "", ""};
    if (line[0] == ';' || line[0] == '#') return {Kind::kComment, "", ""};
    if (line[0] == '[' && line.back() == ']')
        return {Kind::kSection, lowered(stripped(line.substr(1, line.find(']') - 1))), ""};
    const size_t equals = line.find('=');
    if (equals == 0 || equals == std::string::npos) return {Kind::kError, "", ""};
    const Span span = value_span(line);
    std::string value = line.substr(span.begin, span.end - span.begin);
    if (span.quoted) {
        const size_t close = value.find(value[0], 1);
        value = value.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else if (value == "\"\"" || value == "''") {
        value.clear();
    }
    return {Kind::kEntry, lowered(stripped(line.substr(0, equals))), value};
}

// Whether a line written reads back, alone on its line, as what it was
// written for.
bool reads_back(const std::string& line, Kind kind, const std::string& name,
                const std::string& value) {
    const Parsed parsed = parse(line);
    return line.size() <= kMaxLine && !continues(line) && parsed.kind == kind &&
           parsed.name == lowered(name) && parsed.value == value;
}

bool has_control(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F;
    });
}

}  // namespace

IniLines::IniLines(const std::string& text) {
    for (size_t start = 0; start < text.size();) {
        const size_t newline = text.find('\n', start);
        const size_t end = newline == std::string::npos ? text.size() : newline + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
}

std::string IniLines::text() const {
    std::string all;
    for (const std::string& line : lines) all += line;
    return all;
}

// A line ending in "\" loses the "\" and takes the next line after it; an
// unfinished one at the end of the file is dropped, as the loader drops it.
std::vector<IniLines::Logical> IniLines::logical_lines() const {
    std::vector<Logical> joined;
    std::string text;
    size_t first = 0;
    bool open = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string content = without_end(lines[i]);
        if (!open) first = i;
        open = continues(content);
        if (open) {
            text += content.substr(0, end_of_text(content) - 1);
            continue;
        }
        joined.push_back({first, i, text + content});
        text.clear();
    }
    return joined;
}

bool IniLines::set(const std::string& section, const std::string& key, const std::string& value) {
    if (section.empty() || has_control(section) || has_control(key) || has_control(value))
        return false;
    const std::string wanted_section = lowered(section), wanted_key = lowered(key);
    const std::vector<Logical> all = logical_lines();
    std::string current;
    const Logical* found = nullptr;
    const Logical* last_of_section = nullptr;
    for (const Logical& line : all) {
        const Parsed parsed = parse(line.text);
        if (parsed.kind == Kind::kSection) current = parsed.name;
        if (current != wanted_section ||
            (parsed.kind != Kind::kSection && parsed.kind != Kind::kEntry))
            continue;
        last_of_section = &line;
        if (parsed.kind == Kind::kEntry && parsed.name == wanted_key) found = &line;
    }
    if (found) return replace_value(*found, key, value);
    if (last_of_section) return insert_after(last_of_section->last, key, value);
    return append_section(section, key, value);
}

bool IniLines::replace_value(const Logical& line, const std::string& key,
                             const std::string& value) {
    const Span span = value_span(line.text);
    const char quote = line.text[span.begin];
    const std::string written =
        span.quoted && value.find(quote) == std::string::npos ? quote + value + quote : value;
    const std::string changed =
        line.text.substr(0, span.begin) + written + line.text.substr(span.end);
    if (!reads_back(changed, Kind::kEntry, key, value)) return false;
    const bool ended = lines[line.last].back() == '\n';
    lines.erase(lines.begin() + static_cast<long>(line.first) + 1,
                lines.begin() + static_cast<long>(line.last) + 1);
    lines[line.first] = changed + (ended ? "\n" : "");
    return true;
}

bool IniLines::insert_after(size_t anchor, const std::string& key, const std::string& value) {
    const std::string entry = key + " = " + value;
    if (!reads_back(entry, Kind::kEntry, key, value)) return false;
    const std::string end = line_end_after(anchor);
    if (lines[anchor].back() != '\n') lines[anchor] += end;
    lines.insert(lines.begin() + static_cast<long>(anchor) + 1, entry + end);
    return true;
}

bool IniLines::append_section(const std::string& section, const std::string& key,
                              const std::string& value) {
    const std::string header = "[" + section + "]";
    const std::string entry = key + " = " + value;
    if (!reads_back(header, Kind::kSection, section, "") ||
        !reads_back(entry, Kind::kEntry, key, value))
        return false;
    // The header would become part of an unfinished last line.
    if (!lines.empty() && continues(without_end(lines.back()))) return false;
    const std::string end = lines.empty() ? "\n" : line_end_after(lines.size() - 1);
    if (!lines.empty() && lines.back().back() != '\n') lines.back() += end;
    if (!lines.empty() && !stripped(lines.back()).empty()) lines.push_back(end);
    lines.push_back(header + end);
    lines.push_back(entry + end);
    return true;
}

std::string IniLines::line_end_after(size_t index) const {
    // The last line may have no end: the one before it tells.
    for (size_t i = index + 1; i-- > 0;) {
        const std::string& line = lines[i];
        if (line.back() == '\n')
            return line.size() > 1 && line[line.size() - 2] == '\r' ? "\r\n" : "\n";
    }
    return "\n";
}
