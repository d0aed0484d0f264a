// Word access shared by the converters of this library (not for users).
//
// Records are addressed as 32-bit words by index. Access goes through memcpy
// so that any byte buffer may hold a record, whatever its alignment.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

namespace wire {

enum class Dir { ToNet, ToHost };

inline uint32_t rawWord(const void* rec, unsigned idx) {
    uint32_t v;
    std::memcpy(&v, static_cast<const unsigned char*>(rec) + 4 * idx, sizeof v);
    return v;
}

inline void setRawWord(void* rec, unsigned idx, uint32_t v) {
    std::memcpy(static_cast<unsigned char*>(rec) + 4 * idx, &v, sizeof v);
}

// Host-order value of a word that is about to be converted in direction d:
// before sending it is still in host order, after receiving in network order.
inline uint32_t hostWord(const void* rec, unsigned idx, Dir d) {
    uint32_t v = rawWord(rec, idx);
    return d == Dir::ToHost ? ntohl(v) : v;
}

// Swapping is its own inverse, so one function serves both directions.
inline void swapWords(void* rec, unsigned first, unsigned count) {
    for (unsigned i = first; i < first + count; ++i) setRawWord(rec, i, htonl(rawWord(rec, i)));
}

}  // namespace wire
