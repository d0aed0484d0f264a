#include "protocol/listing.h"

#include <cstdlib>
#include <cstring>

bool listing_append(char** text, unsigned* size, const char* line) {
    size_t len = strlen(line);
    size_t used = *text ? strlen(*text) : 0;
    char* grown = static_cast<char*>(realloc(*text, *size + len + 1));
    if (!grown) return false;
    // The bytes past the terminating NUL carry no meaning; keep them zero.
    memset(grown + *size, 0, len + 1);
    memcpy(grown + used, line, len + 1);
    *text = grown;
    *size += len + 1;
    return true;
}
