// Reading the configuration file: its shell-variable syntax, and the tables
// that hold the values as read until the model is built from them.
#ifndef PLUGINS_CONFIG_LOADER_H
#define PLUGINS_CONFIG_LOADER_H

#include <string>

#include "plugins/sw_config_plugin.h"

// Slots of the indexed variables: interfaces, IP interfaces and link groups,
// and routes.
constexpr int CFG_IF_SLOTS = 16;
constexpr int CFG_ROUTE_SLOTS = 20;

struct SWConfigPlugin::ParseTables {
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
};

// One line of a shell-variable file, as the writer produces it or a person
// edits it: NAME=value or NAME[index]=value, the value unquoted, in single
// quotes or in double quotes (with \" \\ \$ \` escapes), optionally followed
// by blanks and a comment. Answers 1 with name and value for an assignment,
// 0 for a blank or comment line, -1 for anything else.
int parseShellLine(const std::string& line, std::string& name, std::string& value);

// "NAME[3]" into "NAME" and 3; a name without brackets gives index -1.
// False for a malformed index.
bool splitIndexedName(const char* name, std::string& base, int& index);

// A value in double quotes, escaped so that the shell reads it back as is.
std::string shellQuote(const std::string& value);

#endif
