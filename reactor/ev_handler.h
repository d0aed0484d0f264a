// The callback side of the event engine: what the engine calls on the
// objects that own a conversation.
#pragma once

class EvAdapter;

// Base of everything the engine calls back. Every operation has a harmless
// default so a handler overrides only what it needs.
class EvHandler {
public:
    virtual ~EvHandler() = default;

    // Framing for buffered sockets: given the bytes received so far, the
    // total length of the next complete unit (0 = nothing wanted).
    virtual int chkBuf(unsigned char* data, int len);
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
