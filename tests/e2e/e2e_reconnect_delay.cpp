// The end-to-end tests' build of the client: it retries every
// VARDO_E2E_RECONNECT_DELAY seconds where a test sets it, every
// keeperClient::kReconnectDelay seconds otherwise.
#include <cstdlib>

#include "client/keeper_client.h"
#include "client/reconnect_delay.h"

int client_reconnect_delay() {
    const char* text = getenv("VARDO_E2E_RECONNECT_DELAY");
    const int seconds = text ? atoi(text) : 0;
    return seconds > 0 ? seconds : keeperClient::kReconnectDelay;
}
