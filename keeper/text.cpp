#include "keeper/text.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

void format_field(char* field, size_t size, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vsnprintf(field, size, fmt, args);
    va_end(args);
}

bool text_made_of(const char* text, const char* allowed) {
    if (!text) return false;
    for (const char* c = text; *c; ++c)
        if (!isalnum(static_cast<unsigned char>(*c)) && !strchr(allowed, *c)) return false;
    return true;
}

bool ini_text_safe(const char* text) {
    if (!text) return false;
    for (const char* c = text; *c; ++c) {
        unsigned char ch = static_cast<unsigned char>(*c);
        if (ch < 0x20 || ch == 0x7F || strchr("[];#", ch)) return false;
    }
    return true;
}
