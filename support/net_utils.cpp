#include "support/net_utils.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

const char* long2ipstr(uint32_t address) {
    static char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu,
                  (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
    return text;
}

bool Com_ipStr2Int(const char* text, uint32_t* address) {
    if (text == nullptr || address == nullptr) return false;
    if (std::strcmp(text, "localhost") == 0) text = "127.0.0.1";
    struct in_addr parsed;
    if (inet_aton(text, &parsed) == 0) return false;
    *address = parsed.s_addr;
    return true;
}
