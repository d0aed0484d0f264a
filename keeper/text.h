// Bounded copies into the fixed character fields of the task model: a text
// longer than its field is cut, never written past it.
#ifndef KEEPER_TEXT_H
#define KEEPER_TEXT_H

#include <cstddef>

// snprintf into a field of `size` bytes; cutting is the intent here.
void format_field(char* field, size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

template <size_t N>
void copy_text(char (&field)[N], const char* text) {
    format_field(field, N, "%s", text ? text : "");
}

#define format_text(field, ...) format_field(field, sizeof(field), __VA_ARGS__)

// Texts from clients end up in the INI file and on command lines: these say
// whether one may.

// Every character a letter, a digit or one of `allowed`.
bool text_made_of(const char* text, const char* allowed);
// Nothing that could become structure in an INI file when written as a
// section, key or value: no control character, no "[" or "]" (sections),
// no ";" or "#" (comments).
bool ini_text_safe(const char* text);

#endif
