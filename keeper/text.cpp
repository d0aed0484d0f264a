#include "keeper/text.h"

#include <cstdarg>
#include <cstdio>

void format_field(char* field, size_t size, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vsnprintf(field, size, fmt, args);
    va_end(args);
}
