// Built against the installed client library only: a program that is not
// configured for any daemon stays disconnected and says so.
#include <cstdio>

#include "client/keeper_client.h"

int main() {
    EvEngine engine;
    keeperClient client(&engine, "outside", 0, 0);
    if (client.get_keeperSock() != -1 || client.restart_ps("x") != KEEPER_FAIL) {
        fprintf(stderr, "unexpected connection\n");
        return 1;
    }
    return check_supported(3, 2, 0x08) == 1 ? 0 : 1;
}
