// The daemon's side of one client connection: requests arrive through the
// engine's framed input, one complete message per input event, and go to the
// supervisor, which answers them; outgoing messages wait while a
// configuration reply is pending. A reply that waits for a program keeps the
// connection's later requests unread until it has gone, and a configuration
// change waits its turn behind such replies (keeper/pending_replies.h).
// Nothing here ever waits for a client.
#ifndef KEEPER_CLIENT_HANDLER_H
#define KEEPER_CLIENT_HANDLER_H

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "keeper/pending_replies.h"
#include "protocol/keeper_msg.h"
#include "reactor/ev_handler.h"

class EvEngine;
class KeeperSrv;
class PsTask;

class ClientHandler : public EvHandler, public PendingReplies::Waiter {
public:
    // Seconds within which a message must be complete once its first byte
    // has arrived; a client that trickles or stalls loses its connection.
    static constexpr int kMessageDeadline = 5;
    // Output waiting for one client beyond which it counts as not reading.
    static constexpr size_t kMaxQueuedOutput = 4u << 20;

    ClientHandler(EvEngine* engine, KeeperSrv* keeper) : engine(engine), keeper(keeper) {}

    int chkBuf(unsigned char* data, int len) override;
    // A request is read header and payload exactly, so one receive may
    // bring several.
    bool readsAhead() override { return true; }
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

    // Timer callback: closes the connection when its message is overdue.
    int message_deadline(void*);
    // The final status of the reply that waited for a program: sent now.
    void reply_ready(keeperStatus status) override;

private:
    keeperStatus read_notify_request_data(const keeper_client_header& hdr, GeneralMsg& msg);
    // Runs a request whose header has been taken (and whose payload, when
    // readable, is buffered) and sends its reply.
    void serve(const keeper_client_header& hdr, bool readable);
    // Keeps a copy of the request for its reply, which comes under its token.
    void defer(const GeneralMsg& msg);
    // Nothing more is read: the reply waits, or the next change its turn.
    bool held();
    // A configuration change that must wait for its turn; it stays unread.
    bool waits_turn(const keeper_client_header& hdr);
    // Reads away buffered bytes of a refused payload.
    void discard(EvAdapter* sock);
    void start_message();
    size_t queued_output(EvAdapter* sock) const;

    EvEngine* engine;
    KeeperSrv* keeper;
    EvAdapter* socket = nullptr;
    uint32_t msg_counter = 0;
    bool reply_pending = false;
    std::list<std::vector<unsigned char>> pending;
    std::unique_ptr<GeneralMsg> deferred;
    size_t pending_bytes = 0;
    PsTask* task = nullptr;
    // Payload bytes of a refused request still to be read away.
    uint32_t discard_left = 0;
    bool in_message = false;
    long message_start = 0;
    int deadline_timer = -1;
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
