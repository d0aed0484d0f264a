// The plug-in's host files moved into a test's own folder.
#pragma once

#include "plugins/sw_config_plugin.h"
#include "support/test_util.h"

inline ConfigPaths pathsIn(const TempDir& dir) {
    ConfigPaths paths;
    paths.hostname = dir / "HOSTNAME";
    paths.hosts = dir / "hosts";
    paths.resolv = dir / "resolv.conf";
    paths.ntp = dir / "ntp.conf";
    paths.hostsAllow = dir / "hosts.allow";
    paths.hostsDeny = dir / "hosts.deny";
    paths.hostsDenyAll = dir / "deny.all";
    paths.hostsDenyEmpty = dir / "deny.empty";
    paths.webstart = dir / "kelda.jnlp";
    paths.adminProfile = dir / "profile";
    return paths;
}
