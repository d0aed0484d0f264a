// The peers the control port serves: IPv4 addresses and CIDR blocks, as the
// "allow from" key of the INI file lists them. The port takes requests
// without authentication, so on a host reachable from a network it is the
// only thing between a stranger and root's programs.
#ifndef KEEPER_ALLOW_LIST_H
#define KEEPER_ALLOW_LIST_H

#include <cstdint>
#include <string>
#include <vector>

class AllowList {
public:
    // Takes the comma-separated items of `text` (blanks around each item
    // allowed). One malformed item refuses the whole text, with the list
    // left as it was: a half-read list would serve peers nobody meant.
    bool parse(const std::string& text);
    // Whether a peer at this address (network order) is served: any peer
    // while the list is empty, and 127.0.0.1 always, since the supervised
    // programs connect from it.
    bool allows(uint32_t address) const;

private:
    struct Block {
        uint32_t network;  // host order
        uint32_t mask;
    };
    static bool parse_item(const std::string& item, Block* block);

    std::vector<Block> blocks;
};

#endif
