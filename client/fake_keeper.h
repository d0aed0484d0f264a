// A stand-in daemon for the client's tests: a loopback listener whose one
// accepted connection the test drives by hand, reading the client's
// requests with the protocol's framing and writing replies. Everything is
// synchronous: a reply is written before the client call that reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/keeper_msg.h"

struct FakeMessage {
    keeper_client_header header;  // host order
    std::vector<unsigned char> body;

    // Host-order word n of the body.
    uint32_t word(unsigned n) const;
    // The text field at byte offset `at`, up to its NUL.
    std::string text(unsigned at) const;
};

class FakeKeeper {
public:
    FakeKeeper();
    ~FakeKeeper();
    FakeKeeper(const FakeKeeper&) = delete;
    FakeKeeper& operator=(const FakeKeeper&) = delete;

    int port() const { return listenPort; }
    // Writes an INI file under home/conf that points at this daemon.
    void writeIni(const std::string& home, const std::string& base) const;

    // Takes the pending connection; false when none comes within a second.
    bool accept();
    // Drops the current connection, as a daemon that went away.
    void hangUp();
    // Stops listening, so connects are refused.
    void close();

    // Reads the next whole message; false on time-out or close.
    bool next(FakeMessage& msg, int waitMs = 1000);
    // True when nothing more arrives within waitMs.
    bool quiet(int waitMs = 50);
    // Sends a message: payload bytes already in network order.
    void send(uint32_t type, const void* data, uint32_t len, uint32_t id = 1);
    void sendRaw(const void* data, size_t len);

private:
    bool readFull(void* buf, size_t n, int waitMs);

    int listenFd = -1;
    int connFd = -1;
    int listenPort = 0;
};
