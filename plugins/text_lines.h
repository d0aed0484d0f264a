// Whole lines of small text files, however long they are.
#ifndef PLUGINS_TEXT_LINES_H
#define PLUGINS_TEXT_LINES_H

#include <cstdio>
#include <string>
#include <vector>

// The lines of a file without their line feeds; false when it cannot be
// opened or read (errno set).
inline bool readTextLines(const std::string& path, std::vector<std::string>& lines) {
    lines.clear();
    FILE* in = fopen(path.c_str(), "re");
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

#endif
