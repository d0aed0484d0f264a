#include "support/output_log.h"

#include <cctype>
#include <cstdio>

#include "support/appliance.h"

namespace {

bool plain(unsigned char c) { return isalnum(c) || c == '_' || c == '-' || c == '.'; }

}  // namespace

std::string Com_outputLogBase(const std::string& task) {
    std::string base;
    for (unsigned char c : task) {
        if (plain(c)) {
            base.push_back(static_cast<char>(c));
            continue;
        }
        char escaped[4];
        snprintf(escaped, sizeof escaped, "%%%02X", c);
        base.append(escaped);
    }
    return base;
}

std::string Com_outputLogPath(const std::string& home, const std::string& base) {
    return home + "/" + APP_LOG_SUBDIR + "/" + base + APP_OUTPUT_LOG_SUFFIX;
}
