// Reading the configuration file: its shell-variable syntax, and the tables
// that hold the values as read until the model is built from them.
#ifndef PLUGINS_CONFIG_LOADER_H
#define PLUGINS_CONFIG_LOADER_H

#include <set>
#include <string>
#include <vector>

#include "plugins/rc_conf.h"

// Slots of the indexed variables: interfaces, IP interfaces and link groups,
// and routes.
constexpr int CFG_IF_SLOTS = 16;
constexpr int CFG_ROUTE_SLOTS = 20;

// The first lines of the file as the writer makes it.
constexpr char CFG_FILE_HEADER[] =
    "#! /bin/sh\n#\n# rc.conf This shell script holds configurable system parameters\n#\n";

// The groups of indexed variables, each describing one kind of entry.
enum CfgGroup { CFG_GROUP_PORT, CFG_GROUP_IP, CFG_GROUP_LINK, CFG_GROUP_ROUTE, CFG_GROUPS };

struct RcConf::ParseTables {
    std::string ifName[CFG_IF_SLOTS], ifType[CFG_IF_SLOTS], ifStatus[CFG_IF_SLOTS];
    std::string ifAuto[CFG_IF_SLOTS], ifSpeed[CFG_IF_SLOTS], ifDuplex[CFG_IF_SLOTS];
    std::string ifLabel[CFG_IF_SLOTS], ifAction[CFG_IF_SLOTS];
    std::string link[CFG_IF_SLOTS], linkType[CFG_IF_SLOTS], linkSrc[CFG_IF_SLOTS];
    std::string ipDev[CFG_IF_SLOTS], ipAddr[CFG_IF_SLOTS], netmask[CFG_IF_SLOTS];
    std::string vlan[CFG_IF_SLOTS];
    std::string routeDev[CFG_ROUTE_SLOTS], routeType[CFG_ROUTE_SLOTS];
    std::string routeAddr[CFG_ROUTE_SLOTS], routeMask[CFG_ROUTE_SLOTS];
    std::string routeGway[CFG_ROUTE_SLOTS];
    // Slots that any variable of the group named: ports, IP interfaces,
    // link groups, routes.
    bool ifSeen[CFG_IF_SLOTS] = {}, ipSeen[CFG_IF_SLOTS] = {}, linkSeen[CFG_IF_SLOTS] = {};
    bool routeSeen[CFG_ROUTE_SLOTS] = {};
    // Indexes beyond the slots that a variable of the group named: entries
    // that the model cannot hold.
    std::set<int> outside[CFG_GROUPS];

    enum Stored { STORED, OUTSIDE, NO_TABLE };
    // Stores an indexed variable in its slot.
    Stored store(const std::string& base, int index, const std::string& value);
};

// One line of a shell-variable file, as the writer produces it or a person
// edits it: NAME=value or NAME[index]=value, the value unquoted, in single
// quotes or in double quotes (with \" \\ \$ \` escapes), optionally followed
// by blanks and a comment. Answers 1 with name and value for an assignment,
// 0 for a blank or comment line, -1 for anything else.
int parseShellLine(const std::string& line, std::string& name, std::string& value);

// The variable a line assigns, without its index ("IFNAME" for
// IFNAME[2]="eth2"); "" when the line assigns nothing.
std::string assignedBase(const std::string& line);

// "NAME[3]" into "NAME" and 3; a name without brackets gives index -1.
// False for a malformed index.
bool splitIndexedName(const char* name, std::string& base, int& index);

// A value in double quotes, escaped so that the shell reads it back as is.
std::string shellQuote(const std::string& value);

// How many of the file's first lines are the writer's header.
size_t headerLineCount(const std::vector<std::string>& lines);
// Whether a line after the header is kept and written back as it was: it
// is not blank and assigns none of the variables the writer writes,
// whatever their index.
bool keptAcrossWrites(const std::string& line);

#endif
