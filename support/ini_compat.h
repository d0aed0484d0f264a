// The iniparser 2.x calls that are gone from iniparser 4.x, rebuilt on top of
// it. Every other iniparser call is used as it stands.
#pragma once

#include <iniparser.h>

// Value of "section:key", or nullptr when the entry is missing.
const char* iniparser_getstr(const dictionary* d, const char* key);

// Sets "section:key" (or creates a section when `entry` has no ':'); the
// section is created as well when missing, so that iniparser_dump_ini writes
// the entry out. 0 on success, -1 on failure.
int iniparser_setstr(dictionary* d, const char* entry, const char* val);

// Integer value of "section:key" read in decimal whatever its leading zeros
// ("08" is 8, "010" is 10; iniparser_getint would read octal and hex): the
// leading digits, with an optional sign; `def` when the entry is missing.
int iniparser_getdecimal(const dictionary* d, const char* key, int def);

// A value's text read as iniparser_getdecimal and iniparser_getboolean read
// it (the first character decides a yes/no word); `def` for null text or a
// word that is neither.
int iniparser_decimal(const char* text, int def);
bool iniparser_boolean(const char* text, bool def);
