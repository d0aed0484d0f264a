// Process look-ups through the process table in /proc.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

// Process id of the first process, in ascending pid order, whose command
// word as "ps ax" shows it (argument 0, or "[name]" for a process without a
// command line) equals `name`; -1 when none.
int Com_getPidof(const char* name);
// Process ids, ascending, of every process whose whole command line is the
// null-terminated argument vector `argv` (argument 0 included, as
// /proc/<pid>/cmdline holds it).
std::vector<int> Com_getPidsOfCmdline(const char* const* argv);
// The command lines of every process, read at one moment: looking up the
// copies of many command lines walks /proc once instead of once per look-up.
class ProcTable {
public:
    // Reads /proc again, forgetting what was read before.
    void load();
    // Process ids, ascending, whose whole command line was `argv` when the
    // table was read and still is.
    std::vector<int> pidsOfCmdline(const char* const* argv) const;

private:
    std::unordered_map<std::string, std::vector<int>> byCmdline;
};
// Parent process id of `pid` as "ps -ef" shows it; -1 when there is no such
// process.
int Com_getPPidof(int pid);
// Program name of this process / its parent (argument 0 after its last "/"),
// or the process id in decimal when the command line cannot be read. The
// result lives in a buffer of the calling thread shared by both calls.
const char* Com_getPidName();
const char* Com_getPpidName();
// The daemon's home, as this process's environment gives it: VELTO_HOME, or
// the appliance's default.
std::string Com_appHome();
// Closes every descriptor from `lowest` up (in a child before exec); a
// kernel without close_range gets them closed one by one up to the
// descriptor limit.
void Com_closeFrom(int lowest);
// The part of `path` after its last "/".
const char* Com_extractProgName(const char* path);
