// The lines of the configuration file that are not the writer's: other
// programs' variables, the operator's comments, lines the loader did not
// understand. The appliance's scripts source the file, so they are written
// back after the writer's own part, in file order and byte for byte.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>

#include "plugins/config_loader.h"
#include "support/str_utils.h"

namespace {

// The variables the writer writes itself. A line that assigns one of
// them, at any index, is the writer's: a deleted route's lines stay deleted.
const char* const kWriterVariables[] = {
    "GATEWAY",  "TELNET",    "PING",      "TCPSEC",    "SSH",       "IFNAME",   "IFTYPE",
    "IFLABEL",  "IFSTATUS",  "IFAUTO",    "IFSPEED",   "IFDUPLX",   "IFACTION", "IPDEV",
    "IPADDR",   "NETMASK",   "BROADCAST", "VLAN",      "LINK",      "LINKTYPE", "LINKSRC",
    "ROUTEDEV", "ROUTEADDR", "ROUTEMASK", "ROUTEGWAY", "ROUTETYPE", nullptr};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// The lines that `write` writes.
std::vector<std::string> linesWritten(const std::function<void(FILE*)>& write) {
    char* text = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&text, &size);
    if (!memory) return {};
    write(memory);
    fclose(memory);
    const std::string written(text, size);
    free(text);
    return splitLines(written);
}

}  // namespace

size_t headerLineCount(const std::vector<std::string>& lines) {
    const std::vector<std::string> header = splitLines(CFG_FILE_HEADER);
    size_t count = 0;
    while (count < header.size() && count < lines.size() && lines[count] == header[count]) ++count;
    return count;
}

bool keptAcrossWrites(const std::string& line) {
    return line.find_first_not_of(" \t\r") != std::string::npos &&
           strMatch(assignedBase(line).c_str(), kWriterVariables) < 0;
}

void RcConf::write_kept_lines(FILE* out) {
    // What a variant's hooks write is the writer's too, its comments
    // included: a dry run of them shows it.
    const std::vector<std::string> hook = linesWritten([this](FILE* dry) {
        if (hooks.write_sec) hooks.write_sec(dry);
        if (hooks.write_ext) hooks.write_ext(dry);
    });
    const std::set<std::string> hookLines(hook.begin(), hook.end());
    std::set<std::string> hookVariables;
    for (const std::string& line : hook) hookVariables.insert(assignedBase(line));
    hookVariables.erase("");
    for (const std::string& line : keptLines) {
        if (hookLines.count(line) || hookVariables.count(assignedBase(line))) continue;
        fwrite(line.data(), 1, line.size(), out);
        fputc('\n', out);
    }
}
