// Readiness for a service manager that started the daemon with a
// notification socket (systemd's Type=notify).
#pragma once

// Takes the socket's address from the environment, so that no supervised
// program inherits it; call once at start-up.
void Com_takeNotifySocket();
// Tells the service manager the daemon is ready; false when there is no
// manager to tell or the message did not go out.
bool Com_notifyReady();
