// Whether a port supports a link mode or a redundancy mode, from the
// capability mask the daemon reports for the port. Shared by the daemon's
// configuration plug-in and the client library, which exports both.
#pragma once

// Whether a port whose capability mask (ethtool SUPPORTED_* bits) is caps
// supports the speed and duplex codes; 1 or 0.
int check_supported(int speed, int duplex, int caps);
// Whether redundancy mode `mode` is supported by the capability mask; 1 or 0.
int check_supported_redundancy(int mode, int caps);
