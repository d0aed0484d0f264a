// Fixed-width text fields of wire records.
//
// A peer may send a field without its NUL, so a reader never looks past the
// field's width; a writer always leaves a NUL and zero-fills the rest, so no
// stale bytes travel.
#pragma once

#include <cstddef>
#include <string>

// The text of a field: up to its first NUL, or its whole width.
std::string wireText(const char* field, size_t width);

// Copies src (null = empty) into the field, cut to width - 1 characters;
// src may lie inside the field.
void setWireText(char* field, size_t width, const char* src);

template <size_t N>
std::string wireText(const char (&field)[N]) {
    return wireText(field, N);
}

template <size_t N>
void setWireText(char (&field)[N], const char* src) {
    setWireText(field, N, src);
}

template <size_t N>
void setWireText(char (&field)[N], const std::string& src) {
    setWireText(field, N, src.c_str());
}

// One field into another: the source read no further than its width, the
// copy cut to the destination's.
template <size_t N, size_t M>
void copyWireText(char (&field)[N], const char (&src)[M]) {
    setWireText(field, N, wireText(src).c_str());
}
