#include "reactor/ev_handler.h"

int EvHandler::chkBuf(unsigned char*, int) { return 0; }

bool EvHandler::readsAhead() { return false; }

int EvHandler::sslSupport() { return 0; }

int EvHandler::handleInput(EvAdapter*) { return 0; }

int EvHandler::handleOutput(EvAdapter*) { return 0; }

int EvHandler::handleOpen(EvAdapter*) { return 0; }

int EvHandler::handleClose(EvAdapter*) { return 0; }
