// Requests to the daemon's keeper port, for the benchmarks that time them.
#ifndef BENCH_KEEPER_REQUESTS_H
#define BENCH_KEEPER_REQUESTS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

#include "bench/bench_util.h"
#include "protocol/keeper_msg.h"

namespace bench {

inline bool read_exact(int fd, void* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, static_cast<char*>(buf) + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// A connection to the keeper port on loopback, tried again for about two
// seconds while the daemon starts; -1 when none was made.
inline int connect_keeper(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int tries = 0; connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0; ++tries) {
        if (tries > 100) {
            close(s);
            return -1;
        }
        usleep(20000);
    }
    return s;
}

// One KEEPER_PRINT_PS request and its whole answer: the round trip in
// microseconds, negative when the connection failed.
inline double print_ps_round_trip(int s, uint32_t id) {
    std::vector<unsigned char> request = keeperFrame(KEEPER_PRINT_PS, id, nullptr, 0);
    double t0 = now_us();
    if (write(s, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return -1;
    keeper_client_header hdr;
    if (!read_exact(s, &hdr, sizeof hdr)) return -1;
    headerN2HOrder(&hdr);
    std::vector<char> body(hdr.length);
    if (hdr.length && !read_exact(s, body.data(), hdr.length)) return -1;
    return now_us() - t0;
}

// Up to `count` round trips on one connection, `gap_us` apart so that they
// spread over the daemon's timers. No new request once `budget_us` has
// passed, and none waits longer than that for its answer, so that a daemon
// that holds its loop still ends the run.
inline std::vector<double> print_ps_round_trips(int port, int count, useconds_t gap_us,
                                                double budget_us) {
    std::vector<double> times;
    int s = connect_keeper(port);
    if (s < 0) return times;
    timeval patience = {static_cast<time_t>(budget_us / 1e6),
                        static_cast<suseconds_t>(static_cast<long>(budget_us) % 1000000)};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    double give_up = now_us() + budget_us;
    for (int i = 0; i < count && now_us() < give_up; ++i) {
        if (gap_us) usleep(gap_us);
        double t = print_ps_round_trip(s, static_cast<uint32_t>(i));
        if (t < 0) break;
        times.push_back(t);
    }
    close(s);
    return times;
}

}  // namespace bench

#endif
