// Built against the installed client library only: a program that is not
// configured for any daemon stays disconnected and says so.
#include <cstdio>

#include "client/keeper_client.h"
#include "reactor/ev_notifier.h"

int main() {
    EvEngine engine;
    keeperClient client(&engine, "outside", 0, 0);
    if (client.get_keeperSock() != -1 || client.restart_ps("x") != KEEPER_FAIL) {
        fprintf(stderr, "unexpected connection\n");
        return 1;
    }
    // The thread-safe forms of the library's texts are there to link.
    KeeperCommand cmd{COMMAND_SHUTDOWN, SHUTDOWN_DELAY, 30};
    char text[KEEPER_COMMAND_STR_LEN];
    char name[DEV_NAME_LEN];
    if (keeperCommandStr(&cmd, text, sizeof text)[0] == '\0' ||
        devName(name, sizeof name) != name) {
        fprintf(stderr, "no command text or host name\n");
        return 1;
    }
    return check_supported(3, 2, 0x08) == 1 ? 0 : 1;
}
