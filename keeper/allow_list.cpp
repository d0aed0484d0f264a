#include "keeper/allow_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>

namespace {

std::string trimmed(const std::string& text) {
    size_t first = 0, last = text.size();
    while (first < last && isspace(static_cast<unsigned char>(text[first]))) ++first;
    while (last > first && isspace(static_cast<unsigned char>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

// 0 to 32 in plain decimal: no sign, blank or leading zero that strtol
// would let through.
bool prefix_length(const std::string& text, int* bits) {
    if (text.empty() || text.size() > 2 || (text.size() == 2 && text[0] == '0')) return false;
    for (char c : text)
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    *bits = std::stoi(text);
    return *bits <= 32;
}

}  // namespace

bool AllowList::parse_item(const std::string& item, Block* block) {
    size_t slash = item.find('/');
    int bits = 32;
    if (slash != std::string::npos && !prefix_length(item.substr(slash + 1), &bits)) return false;
    // Only a full dotted address, as for "listen ip": "10.1" would mean
    // 10.0.0.1 to inet_aton.
    in_addr address;
    if (inet_pton(AF_INET, item.substr(0, slash).c_str(), &address) != 1) return false;
    block->mask = bits == 0 ? 0 : ~0u << (32 - bits);
    block->network = ntohl(address.s_addr);
    // "10.0.0.1/8" names a host and a network at once; which one was meant
    // is not ours to guess.
    return (block->network & ~block->mask) == 0;
}

bool AllowList::parse(const std::string& text) {
    std::vector<Block> parsed;
    // Every piece between commas is an item, an empty one too: "10.0.0.1,"
    // and "" must not pass. No string stream: it would link the C++
    // locale machinery, and its start-up, into the daemon.
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        Block block;
        if (!parse_item(trimmed(text.substr(start, comma - start)), &block)) return false;
        parsed.push_back(block);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    blocks = parsed;
    return true;
}

bool AllowList::allows(uint32_t address) const {
    uint32_t host = ntohl(address);
    if (blocks.empty() || host == INADDR_LOOPBACK) return true;
    for (const Block& block : blocks)
        if ((host & block.mask) == block.network) return true;
    return false;
}
