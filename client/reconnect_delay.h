// Seconds between a client's attempts to reach the daemon again. Programs
// get keeperClient::kReconnectDelay; the end-to-end tests' build of the
// client links another client_reconnect_delay() that may shorten it, so that
// no test waits it out.
#pragma once

// Defined once in each build of the client; not part of the library's
// interface.
__attribute__((visibility("hidden"))) int client_reconnect_delay();
