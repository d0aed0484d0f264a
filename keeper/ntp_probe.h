// One round of SNTP queries driven by the event engine: a 48-byte client
// request goes to every server at once on a non-blocking UDP socket of its
// own, the replies are taken as the loop sees them, and the round ends when
// every server has been settled or the wait is over. Nothing here blocks
// the loop, so other clients are served while servers stay silent.
#ifndef KEEPER_NTP_PROBE_H
#define KEEPER_NTP_PROBE_H

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "reactor/ev_handler.h"

class EvEngine;

// Results of one query.
const int NTP_SRV_OK = 22;    // the server answered usefully
const int NTP_SRV_DOWN = 23;  // it did not

// The length of a request and of the only reply taken.
const int NTP_PACKET_LEN = 48;

// Verdict on one reply datagram of `len` bytes (-1: the read failed) from
// `server`: exactly 48 bytes, mode 4 or 5, stratum not 0, leap indicator
// below 3.
int ntp_reply_status(const unsigned char* data, long len, const char* server);

class NtpProbe : public EvHandler {
public:
    // Results in the order of the addresses given to start().
    typedef std::function<void(const std::vector<int>&)> Done;

    // `port` in host order; 123 on the appliance.
    NtpProbe(EvEngine* engine, uint16_t port);
    ~NtpProbe() override;
    NtpProbe(const NtpProbe&) = delete;
    NtpProbe& operator=(const NtpProbe&) = delete;

    // Queries every address (IPv4, network order). `done` is called from the
    // loop once all are settled, or at once when none is left waiting.
    // False, and nothing sent, while an earlier round is still waiting.
    bool start(const std::vector<in_addr_t>& addresses, Done done);
    // Ends a waiting round without calling its `done`.
    void cancel();
    bool busy() const { return timer != -1; }
    void set_port(uint16_t p) { port = p; }

    int handleInput(EvAdapter* sock) override;
    int handleClose(EvAdapter* sock) override;
    // The wait is over: every server still silent is down.
    int on_timeout(void*);

    // Engine seconds a round waits at most. The engine counts whole seconds
    // of uptime, so a timer of two fires between one and two seconds after
    // the requests went out: never less than the one second a server gets.
    static constexpr long kWaitSeconds = 2;

private:
    struct Query {
        in_addr_t address;
        EvAdapter* sock;  // null once settled
        int result;
    };

    // Sends the request; false (the query settled as down) on failure.
    bool send_request(Query& query);
    void settle(Query& query, int result);
    // Calls `done` when nothing is left waiting.
    void finish_if_settled();
    void release(Query& query);

    EvEngine* engine;
    uint16_t port;
    std::vector<Query> queries;
    Done done;
    int timer = -1;
};

#endif
