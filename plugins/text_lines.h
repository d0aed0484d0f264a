// Whole lines of small text files, however long they are.
#ifndef PLUGINS_TEXT_LINES_H
#define PLUGINS_TEXT_LINES_H

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// The rest of an open file into `text`; the file stays open. False (errno
// set) when it cannot be read.
inline bool readAllText(FILE* in, std::string& text) {
    text.clear();
    char block[4096];
    for (size_t n; (n = fread(block, 1, sizeof block, in)) > 0;) text.append(block, n);
    return !ferror(in);
}

// The lines of a text without their line feeds; a last line without one
// counts as well.
inline std::vector<std::string> splitTextLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// The lines of an open file without their line feeds; the file is closed.
// False when `in` is null or the file cannot be read (errno set).
inline bool readTextLines(FILE* in, std::vector<std::string>& lines) {
    lines.clear();
    if (!in) return false;
    std::string text;
    const bool ok = readAllText(in, text);
    fclose(in);
    if (ok) lines = splitTextLines(text);
    return ok;
}

// The same for the file at `path`.
inline bool readTextLines(const std::string& path, std::vector<std::string>& lines) {
    return readTextLines(fopen(path.c_str(), "re"), lines);
}

#endif
