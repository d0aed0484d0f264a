// Blocking test client of the keeper protocol: sends requests to vardo over
// loopback and reads its replies, the way the manager and the supervised
// programs do, plus raw writes for malformed input.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "protocol/keeper_msg.h"

namespace e2e {

// One message as read from the daemon, header words in host order.
struct Message {
    unsigned type = 0;
    unsigned id = 0;
    std::vector<char> payload;
};

class TestClient {
public:
    TestClient() = default;
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // From `from` (an IPv4 address of this host) when given: the daemon
    // tells its peers apart by their address.
    bool connect(int port, const char* from = nullptr);
    void close();
    // Closes with a reset instead of an orderly end.
    void reset();
    bool connected() const { return fd_ >= 0; }

    // Sends a request filled in host order (converted here), numbered by
    // this connection's own counter.
    bool send(GeneralMsg& msg);
    // Header (type, own counter, length) in network order, then the payload
    // as given: lets a test frame what no well-behaved client would.
    bool send(unsigned type, const void* payload, unsigned len);
    bool sendRaw(const void* data, size_t len);

    // Reads one message; false on timeout, error or end of connection.
    bool read(Message& msg, int timeoutMs);
    // Reads until a message of type arrives, dropping others.
    bool readType(unsigned type, Message& msg, int timeoutMs);
    // True when the daemon closed the connection within timeoutMs.
    bool closedByPeer(int timeoutMs);
    // The same, seen without reading anything that is still queued.
    bool hungUpByPeer(int timeoutMs);

    // Requests. The one-way ones only report whether they were sent.
    bool init(unsigned keeperType, int pid, const char* name);
    bool actionOnPs(unsigned action, const char* module);
    bool setTask(unsigned mode, unsigned apply, const char* task);
    bool setFlag(unsigned value, const char* flag);
    bool actionOnCheck(unsigned action, const char* check);
    bool setCheck(const char* check, const char* args);
    // KEEPER_SECONDARY_UP: this connection is the named remote task's peer.
    bool secondaryUp(const char* name);
    bool command(unsigned command, unsigned technique, unsigned timer);
    bool checkAlive();
    bool registerEvent(unsigned operation, unsigned group, unsigned id);
    // Listing requests: the KEEPER_PRINT_ACK reply, false when none came.
    bool printPs(Message& reply, int timeoutMs = 3000);
    bool printFlags(Message& reply, int timeoutMs = 3000);

private:
    bool sendValue(unsigned type, unsigned value, const char* name);
    bool printListing(unsigned type, Message& reply, int timeoutMs);
    bool waitReadable(int timeoutMs);
    bool readFull(void* buf, size_t len, int timeoutMs);

    int fd_ = -1;
    unsigned counter_ = 0;
};

// The text of a listing reply: the bytes up to the first NUL.
std::string listingText(const Message& reply);

}  // namespace e2e
