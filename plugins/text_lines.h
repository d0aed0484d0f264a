// Whole lines of small text files, however long they are.
#ifndef PLUGINS_TEXT_LINES_H
#define PLUGINS_TEXT_LINES_H

#include <cstdio>
#include <string>
#include <vector>

// The lines of an open file without their line feeds; the file is closed.
// False when `in` is null or the file cannot be read (errno set).
inline bool readTextLines(FILE* in, std::vector<std::string>& lines) {
    lines.clear();
    if (!in) return false;
    std::string line;
    for (int c; (c = fgetc(in)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        lines.push_back(line);
        line.clear();
    }
    if (!line.empty()) lines.push_back(line);
    const bool ok = !ferror(in);
    fclose(in);
    return ok;
}

// The same for the file at `path`.
inline bool readTextLines(const std::string& path, std::vector<std::string>& lines) {
    return readTextLines(fopen(path.c_str(), "re"), lines);
}

#endif
