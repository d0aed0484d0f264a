// Small string helpers shared by the daemon, the client library and the manager.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// dir + "/" + name; no "/" is added when dir already ends in "/" or "\", and
// an empty dir gives "/" + name. base and module take no part in the result.
std::string resolvePath(const char* base, const char* module, const char* name, const char* dir);

// Trims blanks, tabs, CR and LF at both ends, in place; with `dequote` also
// one leading and one trailing quote (' or "). Returns `text`.
char* strTrimDequote(char* text, bool dequote);

// Case-insensitive compare; a missing string sorts before a present one.
int strcmpNoCase(const char* a, const char* b);

// Reads one line, without its trailing newline or carriage return; false at
// end of input. A line longer than size - 1 comes back in pieces.
bool getLine(FILE* stream, char* buffer, int size);

// Index of the first entry of the null-terminated `table` that equals `text`
// (case-sensitive / insensitive), or -1.
int strMatch(const char* text, const char* const* table);
int strCaseMatch(const char* text, const char* const* table);
// Index of the first entry of `table` that is a prefix of `text`, or -1.
int headMatch(const char* text, const char* const* table);
int headCaseMatch(const char* text, const char* const* table);

// Replaces `tokens` with the non-empty pieces of `text` split at any of the
// `delimiters`; returns their number.
int splitStr(const char* text, const char* delimiters, std::vector<std::string>& tokens);

// Every character a letter, a digit or one of `allowed` (false for null):
// client texts that reach a file or a command line are held to this.
bool text_made_of(const char* text, const char* allowed);
