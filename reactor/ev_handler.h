// The callback side of the event engine: what the engine calls on the
// objects that own a conversation, and the connection as they see it.
#pragma once

// What a handler may do with its connection.
class EvAdapter {
public:
    virtual ~EvAdapter() = default;
    virtual int getHandle() = 0;
    virtual int read(unsigned char* buf, int n) = 0;
    virtual int peek(unsigned char* buf, int n) = 0;
    virtual int write(unsigned char* buf, int n) = 0;
};

// Mode flags of a connection; registerSocket() takes the raw ones.
enum EvSockFlag : int {
    EV_WANT_READ = 1,    // the framed reader needs more bytes
    EV_WANT_WRITE = 2,   // output is queued
    EV_RAW_READ = 4,     // the handler reads the descriptor itself
    EV_INPUT_READY = 8,  // a complete unit is already buffered
    EV_RAW_WRITE = 16,   // the handler is told when the descriptor is writable
    // Bulk input (a program's output): read after every other socket of the
    // pass, and left for the next pass as soon as another socket has input.
    EV_BULK = 32,
};

// Base of everything the engine calls back. Every operation has a harmless
// default so a handler overrides only what it needs.
class EvHandler {
public:
    virtual ~EvHandler() = default;

    // Framing for buffered sockets: given the bytes received so far, the
    // total length of the next complete unit (0 = nothing wanted).
    virtual int chkBuf(unsigned char* data, int len);
    // True when handleInput takes exactly the unit chkBuf announced, never
    // more: the socket may then receive past the unit, so that one receive
    // brings every message that arrived together. Asked once, when the
    // socket joins the engine.
    virtual bool readsAhead();
    virtual int sslSupport();
    // Input is ready; a negative result closes the socket.
    virtual int handleInput(EvAdapter* sock);
    // Queued output has gone (or, for raw-write sockets, the socket is
    // writable); a negative result closes the socket.
    virtual int handleOutput(EvAdapter* sock);
    // Called once when the socket joins the engine: the place to keep the
    // adapter and to set the socket's mode flags.
    virtual int handleOpen(EvAdapter* sock);
    // Called once when the engine drops the closed socket; a negative result
    // makes the socket delete this handler.
    virtual int handleClose(EvAdapter* sock);
};

// Makes the handler of each connection a listener accepts.
class EvHandlerFactory {
public:
    // A fresh handler; the caller owns it.
    virtual EvHandler* newHandler() = 0;
    virtual ~EvHandlerFactory() = default;
};
