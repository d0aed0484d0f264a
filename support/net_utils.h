// IPv4 address text conversions.
#pragma once

#include <cstdint>

// Dotted text of a host-order address, in a buffer shared by all calls.
const char* long2ipstr(uint32_t address);
// Parses dotted IPv4 text ("localhost" is 127.0.0.1) into a network-order
// address; false when the text is no address.
bool Com_ipStr2Int(const char* text, uint32_t* address);
