// The fast-update list file: one entry per line, "<id>,<enable>" (enable 0
// is off, anything else on), written by another program.
#ifndef KEEPER_FUPS_LIST_H
#define KEEPER_FUPS_LIST_H

#include <cstdio>
#include <vector>

struct FupEntry {
    int id;
    bool enabled;
};

// Longest line taken; a longer one is one invalid line as a whole.
const int FUPS_LINE_MAX = 31;

// The valid entries of the list in file order; a line that does not start
// with two numbers separated by a comma is skipped.
std::vector<FupEntry> read_fups_list(FILE* in);

#endif
