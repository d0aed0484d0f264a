// Placeholder until the reload lands: nothing is ever reloaded.
#include "keeper/keeper_srv.h"

keeperStatus KeeperSrv::reload_config() { return KEEPER_NO_CHANGE; }
