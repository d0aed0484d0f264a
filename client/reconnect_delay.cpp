#include "client/reconnect_delay.h"

#include "client/keeper_client.h"

int client_reconnect_delay() { return keeperClient::kReconnectDelay; }
