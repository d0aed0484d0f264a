// Event fan-out through vardo: one publisher and 1, 10 and 100 subscribed
// programs, all on keeperClient. Prints the events delivered per second and
// the latency from publish to receipt (median, p99), beside the round trip
// of a raw 12-byte message over a loopback TCP socket pair in the same run.
//
// Run by hand: event_bench [path to vardo [subscriber counts...]]. The subscribers present
// themselves under the names of tasks of a scratch INI file; the daemon
// binds a connection only to a task whose program it started, so each task
// runs an idle sleep that never connects itself.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "client/keeper_client.h"
#include "protocol/keeper_msg.h"
#include "support/file_utils.h"

namespace {

using bench::free_port;
using bench::now_us;
using bench::percentile;

const unsigned kGroup = 40;  // a group whose data the protocol leaves alone
const unsigned kEventId = 0x1;
const int kLatencyEvents = 300;
const int kBurstEvents = 3000;
const int kWindow = 32;  // events in flight during the throughput burst
const int kRawRoundTrips = 2000;

// What every subscriber hears; the callbacks have no context of their own.
struct Receipts {
    long delivered = 0;
    std::vector<double> latencies;
    bool keep_latencies = false;
};
Receipts receipts;

struct Stamp {
    double sent_us;
};

keeperStatus on_event(unsigned, unsigned, void* data, size_t len) {
    if (len >= sizeof(Stamp)) {
        Stamp stamp;
        memcpy(&stamp, data, sizeof stamp);
        if (receipts.keep_latencies) receipts.latencies.push_back(now_us() - stamp.sent_us);
    }
    ++receipts.delivered;
    return KEEPER_OK;
}

class Bench {
public:
    Bench(int port, size_t subscribers) : port(port) {
        publisher = connect_client("publisher");
        for (size_t i = 0; i < subscribers && publisher; ++i) {
            auto client = connect_client(("sub" + std::to_string(i)).c_str());
            if (!client) break;
            client->init(2);
            client->register_event(kGroup, kEventId, on_event);
            subs.push_back(std::move(client));
        }
    }
    bool ready() const { return publisher && subs.size() > 0; }
    size_t size() const { return subs.size(); }

    // Publishes until every subscriber has heard one event: then every
    // registration has been handled.
    bool warm_up() {
        for (int i = 0; i < 200; ++i) {
            long before = receipts.delivered;
            publish();
            if (!drain(before + static_cast<long>(subs.size()), 100)) continue;
            // Whatever earlier attempts left in flight arrives now, not later.
            drain(receipts.delivered + 1000000, 200);
            return true;
        }
        return false;
    }

    // One event at a time, each awaited by every subscriber.
    bool measure_latency() {
        receipts.latencies.clear();
        receipts.keep_latencies = true;
        for (int i = 0; i < kLatencyEvents; ++i) {
            long target = receipts.delivered + static_cast<long>(subs.size());
            publish();
            if (!drain(target, 5000)) return false;
        }
        receipts.keep_latencies = false;
        return true;
    }

    // A burst with a bounded number of events in flight; events per second
    // delivered to all subscribers together.
    double measure_throughput() {
        long start_count = receipts.delivered;
        long per_event = static_cast<long>(subs.size());
        double t0 = now_us();
        for (int sent = 0; sent < kBurstEvents;) {
            while (sent < kBurstEvents &&
                   (sent - (receipts.delivered - start_count) / per_event) < kWindow) {
                publish();
                ++sent;
            }
            if (!drain(receipts.delivered + 1, 5000)) return 0;
        }
        if (!drain(start_count + per_event * kBurstEvents, 10000)) return 0;
        return (receipts.delivered - start_count) / ((now_us() - t0) / 1e6);
    }

private:
    std::unique_ptr<keeperClient> connect_client(const char* name) {
        for (int tries = 0; tries < 200; ++tries) {
            std::unique_ptr<keeperClient> client(
                new keeperClient(nullptr, name, static_cast<int>(htonl(INADDR_LOOPBACK)), port));
            if (client->get_keeperSock() >= 0) return client;
            usleep(20000);
        }
        return nullptr;
    }

    void publish() {
        Stamp stamp{now_us()};
        publisher->send_event(kGroup, kEventId, &stamp, sizeof stamp);
    }

    // Every message one receive brought, before the next poll.
    static void read_all(keeperClient& sub) {
        do sub.read_callback(nullptr, nullptr);
        while (sub.has_buffered_message());
    }

    // Reads events until `target` receipts were counted or timeout_ms passed
    // without progress.
    bool drain(long target, int timeout_ms) {
        std::vector<pollfd> fds(subs.size());
        for (size_t i = 0; i < subs.size(); ++i) fds[i] = {subs[i]->get_keeperSock(), POLLIN, 0};
        while (receipts.delivered < target) {
            int ready = poll(fds.data(), fds.size(), timeout_ms);
            if (ready <= 0) return false;
            for (size_t i = 0; i < fds.size(); ++i)
                if (fds[i].revents & POLLIN) read_all(*subs[i]);
        }
        return true;
    }

    int port;
    std::unique_ptr<keeperClient> publisher;
    std::vector<std::unique_ptr<keeperClient>> subs;
};

// Both ends of a loopback TCP connection, without Nagle's delay; false when
// the system refuses one.
bool loopback_pair(int ends[2]) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bool ok = bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    ends[0] = ok ? socket(AF_INET, SOCK_STREAM, 0) : -1;
    ok = ok && connect(ends[0], reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ends[1] = ok ? accept(listener, nullptr, nullptr) : -1;
    close(listener);
    int one = 1;
    for (int i = 0; i < 2; ++i) setsockopt(ends[i], IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return ends[1] >= 0;
}

// Round trips of a 12-byte message between two ends of a loopback TCP
// connection in this process: the floor under any daemon hop.
std::vector<double> raw_round_trips() {
    std::vector<double> times;
    int a_b[2];
    if (!loopback_pair(a_b)) return times;
    const int a = a_b[0], b = a_b[1];
    unsigned char msg[12] = {};
    for (int i = 0; i < kRawRoundTrips; ++i) {
        double t0 = now_us();
        if (write(a, msg, sizeof msg) != sizeof msg ||
            recv(b, msg, sizeof msg, MSG_WAITALL) != sizeof msg ||
            write(b, msg, sizeof msg) != sizeof msg ||
            recv(a, msg, sizeof msg, MSG_WAITALL) != sizeof msg)
            break;
        times.push_back(now_us() - t0);
    }
    close(a);
    close(b);
    return times;
}

// The size of one event as a subscriber receives it: header, event header,
// the stamp.
const int kEventBytes = 12 + sizeof(KeeperEventMsg) + sizeof(Stamp);

// The floor under one subscriber's rate: a process that only passes bytes
// on, one receive and one send a wake-up, between a publisher and a
// subscriber that are driven as the daemon's are below (events of the same
// size, the same window and burst, after as many single events).
class RelayFloor {
public:
    double rate() {
        int in[2], out[2];
        if (!loopback_pair(in) || !loopback_pair(out)) return 0;
        pid_t relay = fork();
        if (relay == 0) {
            close(in[0]);
            close(out[1]);
            pass_on(in[1], out[0]);
        }
        close(in[1]);
        close(out[0]);
        pub = in[0];
        sub = out[1];
        double result = 0;
        if (burst(kLatencyEvents, 1) > 0) result = burst(kBurstEvents, kWindow);
        close(pub);
        close(sub);
        waitpid(relay, nullptr, 0);
        return result;
    }

private:
    [[noreturn]] static void pass_on(int from, int to) {
        static unsigned char buf[65536];
        for (ssize_t n; (n = recv(from, buf, sizeof buf, 0)) > 0;)
            if (send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
        _exit(0);
    }

    // Events per second with at most `window` in flight.
    double burst(int events, int window) {
        unsigned char event[kEventBytes] = {}, buf[65536];
        long sent = 0, bytes = 0;
        double t0 = now_us();
        while (bytes < static_cast<long>(events) * kEventBytes) {
            for (; sent < events && sent - bytes / kEventBytes < window; ++sent)
                if (send(pub, event, sizeof event, MSG_NOSIGNAL) != kEventBytes) return 0;
            ssize_t got = recv(sub, buf, sizeof buf, 0);
            if (got <= 0) return 0;
            bytes += got;
        }
        return events / ((now_us() - t0) / 1e6);
    }

    int pub = -1, sub = -1;
};

std::string write_home(int port, size_t subscribers) {
    char pattern[] = "/tmp/event_bench.XXXXXX";
    std::string home = mkdtemp(pattern);
    mkdir((home + "/conf").c_str(), 0755);
    mkdir((home + "/log").c_str(), 0755);
    std::ofstream ini(home + "/conf/vardo.ini");
    ini << "[general]\nkeeper type = primary\nkeeper port = " << port << "\n\n";
    for (size_t i = 0; i < subscribers; ++i)
        ini << "[tasks/sub" << i
            << "]\ntype = ps\nname = sleep\nlocation = /bin\nargs = 100000\nlevel = 1\n"
            << "enabled = yes\nmust = no\n"
            << "kaEnable = no\n\n";
    // Errors only: the trace must not be what is measured.
    std::ofstream(home + "/conf/qoevdbg.conf") << "[vardo]\nfatal = 1\nerror = 1\n";
    return home;
}

}  // namespace

int main(int argc, char** argv) {
    const char* vardo = argc > 1 ? argv[1] : BENCH_VARDO_PATH;
    signal(SIGPIPE, SIG_IGN);
    std::vector<double> raw = raw_round_trips();
    printf("raw 12-byte round trip over loopback TCP, %zu trips: median %.1f us, p99 %.1f us\n",
           raw.size(), percentile(raw, 0.5), percentile(raw, 0.99));
    const double relay_rate = RelayFloor().rate();
    printf("relay floor, 1 subscriber: %.0f events/s\n", relay_rate);
    printf("%12s %18s %16s %16s\n", "subscribers", "events/s delivered", "latency median",
           "latency p99");
    int status = 0;
    std::vector<size_t> counts;
    for (int i = 2; i < argc; ++i) counts.push_back(strtoul(argv[i], nullptr, 10));
    if (counts.empty()) counts = {1, 10, 100};
    for (size_t subscribers : counts) {
        int port = free_port();
        std::string home = write_home(port, subscribers);
        pid_t daemon = fork();
        if (daemon == 0) {
            setenv("VELTO_HOME", home.c_str(), 1);
            if (chdir(home.c_str()) != 0) _exit(126);
            execl(vardo, "vardo", static_cast<char*>(nullptr));
            _exit(127);
        }
        double rate = 0;
        bool ok = false;
        {
            Bench bench(port, subscribers);
            ok = bench.ready() && bench.size() == subscribers && bench.warm_up() &&
                 bench.measure_latency();
            if (ok) rate = bench.measure_throughput();
        }
        kill(daemon, SIGTERM);
        waitpid(daemon, nullptr, 0);
        delDir(home.c_str());
        if (!ok || rate == 0) {
            fprintf(stderr, "event_bench: measurement with %zu subscribers failed\n", subscribers);
            status = 1;
            continue;
        }
        printf("%12zu %18.0f %13.1f us %13.1f us\n", subscribers, rate,
               percentile(receipts.latencies, 0.5), percentile(receipts.latencies, 0.99));
        if (subscribers == 1 && relay_rate > 0)
            printf("%12s %18.2f of the relay floor\n", "", rate / relay_rate);
    }
    return status;
}
