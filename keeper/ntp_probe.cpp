#include "keeper/ntp_probe.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "reactor/ev_engine.h"
#include "support/ev_debug.h"

namespace {

// Leap indicator 0, version 3, mode 3 (client); the rest stays zero.
const unsigned char kRequestHead = 0x1B;

std::string dotted(in_addr_t address) {
    char text[INET_ADDRSTRLEN] = "";
    in_addr in{address};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

}  // namespace

int ntp_reply_status(const unsigned char* data, long len, const char* server) {
    if (len != NTP_PACKET_LEN) {
        EV_TRACE(DL_USER1, "ntp_RemCheck::_process_ntp_packet, invalid reply message size %d",
                 static_cast<int>(len));
        return NTP_SRV_DOWN;
    }
    int leap = data[0] >> 6;
    int mode = data[0] & 7;
    int stratum = data[1];
    EV_TRACE(DL_USER1, "ntp_RemCheck::_process_ntp_packet, LI %d, mode %d, strat %d", leap, mode,
             stratum);
    if ((mode == 4 || mode == 5) && stratum != 0 && leap < 3) return NTP_SRV_OK;
    EV_TRACE(DL_USER1, "ntp_RemCheck::_process_ntp_packet, %s in unserviceable", server);
    return NTP_SRV_DOWN;
}

NtpProbe::NtpProbe(EvEngine* e, uint16_t p) : engine(e), port(p) {}

NtpProbe::~NtpProbe() { cancel(); }

bool NtpProbe::start(const std::vector<in_addr_t>& addresses, Done on_done) {
    if (busy()) return false;
    queries.clear();
    for (in_addr_t address : addresses) queries.push_back(Query{address, nullptr, NTP_SRV_DOWN});
    done = std::move(on_done);
    bool waiting = false;
    for (Query& query : queries) waiting = send_request(query) || waiting;
    if (waiting) timer = engine->addTimer(kWaitSeconds, this, &NtpProbe::on_timeout, nullptr, -1);
    finish_if_settled();
    return true;
}

bool NtpProbe::send_request(Query& query) {
    const std::string server = dotted(query.address);
    EV_TRACE(DL_USER1, "ntp_RemCheck::_ntp_test, %s", server.c_str());
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Connected: the kernel then hands this socket only datagrams from the
    // server's address and port.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = query.address;
    unsigned char request[NTP_PACKET_LEN] = {kRequestHead};
    ssize_t sent = -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        do {
            sent = send(fd, request, sizeof request, 0);
        } while (sent < 0 && errno == EINTR);
    }
    if (sent != NTP_PACKET_LEN) {
        close(fd);
        EV_TRACE(DL_USER1, "ntp_RemCheck::_ntp_test, failed to send request");
        return false;
    }
    // The engine closes the descriptor when it cannot take it.
    query.sock = engine->registerSocket(fd, this, false, EV_RAW_READ);
    return query.sock != nullptr;
}

int NtpProbe::handleInput(EvAdapter* sock) {
    for (Query& query : queries) {
        if (query.sock != sock) continue;
        // One byte more than a reply may have: a longer datagram is then
        // seen for what it is, not cut to a valid length.
        unsigned char reply[NTP_PACKET_LEN + 1] = {};
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        ssize_t n;
        do {
            n = recvfrom(sock->getHandle(), reply, sizeof reply, MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &from_len);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        if (n >= 0 && (from.sin_addr.s_addr != query.address || from.sin_port != htons(port)))
            return 0;
        settle(query, ntp_reply_status(reply, n, dotted(query.address).c_str()));
        finish_if_settled();
        return 0;
    }
    return 0;
}

int NtpProbe::handleClose(EvAdapter* sock) {
    // The engine is letting go of every socket: the round cannot finish.
    for (Query& query : queries)
        if (query.sock == sock) query.sock = nullptr;
    return 0;
}

int NtpProbe::on_timeout(void*) {
    timer = -1;
    for (Query& query : queries) {
        if (!query.sock) continue;
        EV_TRACE(DL_USER1, "ntp_RemCheck::_ntp_test, no answer");
        settle(query, NTP_SRV_DOWN);
    }
    finish_if_settled();
    return 0;
}

void NtpProbe::settle(Query& query, int result) {
    query.result = result;
    release(query);
}

void NtpProbe::release(Query& query) {
    if (!query.sock) return;
    int fd = engine->evDetach(query.sock);
    if (fd >= 0) close(fd);
    query.sock = nullptr;
}

void NtpProbe::finish_if_settled() {
    for (const Query& query : queries)
        if (query.sock) return;
    if (timer != -1) engine->delTimer(timer);
    timer = -1;
    std::vector<int> results;
    for (const Query& query : queries) results.push_back(query.result);
    queries.clear();
    // Taken out first: the callback may start the next round.
    Done finished = std::move(done);
    done = nullptr;
    if (finished) finished(results);
}

void NtpProbe::cancel() {
    for (Query& query : queries) release(query);
    queries.clear();
    if (timer != -1) engine->delTimer(timer);
    timer = -1;
    done = nullptr;
}
