// The daemon's side of one client connection: reads one request per input
// event, hands it to the supervisor and answers it; outgoing messages wait
// while a configuration reply is pending.
#ifndef KEEPER_CLIENT_HANDLER_H
#define KEEPER_CLIENT_HANDLER_H

#include <cstdint>
#include <list>
#include <vector>

#include "protocol/keeper_msg.h"
#include "reactor/ev_handler.h"

class EvEngine;
class KeeperSrv;
class PsTask;

class ClientHandler : public EvHandler {
public:
    ClientHandler(EvEngine* engine, KeeperSrv* keeper) : engine(engine), keeper(keeper) {}

    int handleInput(EvAdapter* sock) override;
    int handleOpen(EvAdapter* sock) override;
    int handleClose(EvAdapter* sock) override;
    virtual keeperStatus read_request_data(const keeper_client_header& hdr, GeneralMsg& msg);
    virtual keeperStatus send_reply(GeneralMsg& msg);

    keeperStatus send_msg(EvAdapter* sock, unsigned type, unsigned len, const void* data);
    // send_msg on this handler's own connection.
    keeperStatus send(unsigned type, unsigned len, const void* data) {
        return send_msg(socket, type, len, data);
    }

    void set_task(PsTask* t) { task = t; }
    PsTask* get_task() const { return task; }
    EvAdapter* get_socket() const { return socket; }

private:
    keeperStatus read_notify_request_data(const keeper_client_header& hdr, GeneralMsg& msg);

    EvEngine* engine;
    KeeperSrv* keeper;
    EvAdapter* socket = nullptr;
    uint32_t msg_counter = 0;
    bool reply_pending = false;
    std::list<std::vector<unsigned char>> pending;
    PsTask* task = nullptr;
};

class ClientHandlerFactory : public EvHandlerFactory {
public:
    ClientHandlerFactory(EvEngine* engine, KeeperSrv* keeper) : engine(engine), keeper(keeper) {}
    EvHandler* newHandler() override { return new ClientHandler(engine, keeper); }

private:
    EvEngine* engine;
    KeeperSrv* keeper;
};

#endif
