#include "keeper/fups_list.h"

#include <string>

#include "support/ev_debug.h"

namespace {

// One line without its end; false at the end of the input. `too_long` says
// the line had more than FUPS_LINE_MAX characters (the rest is read away).
bool read_line(FILE* in, std::string& line, bool& too_long) {
    line.clear();
    too_long = false;
    int c = getc(in);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = getc(in)) {
        if (static_cast<int>(line.size()) < FUPS_LINE_MAX)
            line += static_cast<char>(c);
        else
            too_long = true;
    }
    return true;
}

}  // namespace

std::vector<FupEntry> read_fups_list(FILE* in) {
    std::vector<FupEntry> entries;
    std::string line;
    bool too_long = false;
    while (read_line(in, line, too_long)) {
        int id = 0, enable = 0;
        if (too_long) {
            EV_TRACE(DL_DEBUG, "read_fups_list, line too long, skipped");
            continue;
        }
        if (sscanf(line.c_str(), "%d,%d", &id, &enable) != 2) continue;
        entries.push_back(FupEntry{id, enable != 0});
    }
    return entries;
}
