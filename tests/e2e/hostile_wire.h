// Hostile clients of the keeper port, for the test and the benchmark that
// measure what they leave behind in the daemon. A deterministic stream of
// inputs shaped like the requests of a real client, with random types,
// lengths, names and values (callbacks, events, flags, init and peer
// messages naming the remote task "peer" or nothing known, listings), now
// and then bytes that are no message at all; many inputs a connection, the
// connections one after another, most ended in order and some reset.
// Nothing here asks the daemon to stop, reboot or run a program.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/keeper_msg.h"

namespace hostile {

// The remote task the daemon under test is configured with.
constexpr char kPeerTask[] = "peer";

class Rng {
public:
    explicit Rng(uint64_t seed) : state(seed) {}
    // splitmix64: small, fast and the same on every host.
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }

private:
    uint64_t state;
};

// The requests of one connection as they go on the wire.
class Session {
public:
    Session(Rng& rng, uint32_t inputs) : rng(rng) {
        if (rng.chance(50)) bind();
        while (count < inputs) add_one();
    }
    const std::vector<unsigned char>& bytes() const { return wire; }
    uint32_t inputs() const { return count; }

private:
    void put_u32(std::vector<unsigned char>& out, uint32_t value) {
        uint32_t net = htonl(value);
        const auto* at = reinterpret_cast<const unsigned char*>(&net);
        out.insert(out.end(), at, at + 4);
    }
    // A 100-byte name field: mostly a word the daemon may take, now and then
    // one of its own names, or bytes of any kind.
    void put_name(std::vector<unsigned char>& out, const char* known) {
        char name[KEEPER_NAME_LEN] = {};
        uint32_t pick = rng.below(10);
        if (pick == 0 && known)
            snprintf(name, sizeof name, "%s", known);
        else if (pick == 1)
            for (char& c : name) c = static_cast<char>(rng.below(256));
        else
            snprintf(
                name, sizeof name, "n%08x%.*s", static_cast<unsigned>(rng.next()),
                static_cast<int>(rng.below(80)),
                "_abcdefghijklmnopqrstuvwxyz0123456789-abcdefghijklmnopqrstuvwxyz0123456789.z");
        out.insert(out.end(), name, name + sizeof name);
    }
    void put_bytes(std::vector<unsigned char>& out, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(rng.next()));
    }
    void put_field(std::vector<unsigned char>& body, char field);
    void frame(unsigned type, const std::vector<unsigned char>& body) {
        // Now and then a length that is not the type's own.
        uint32_t len = static_cast<uint32_t>(body.size());
        if (rng.chance(3)) len = rng.below(2 * len + 16);
        put_u32(wire, type);
        put_u32(wire, count);
        put_u32(wire, len);
        wire.insert(wire.end(), body.begin(), body.end());
        ++count;
    }
    // An init message or a peer's announcement for the remote task.
    void bind() {
        char name[KEEPER_NAME_LEN] = {};
        snprintf(name, sizeof name, "%s", kPeerTask);
        std::vector<unsigned char> body;
        if (rng.chance(20)) {
            body.assign(name, name + sizeof name);
            return frame(KEEPER_SECONDARY_UP, body);
        }
        put_u32(body, 1 + rng.below(2));
        put_u32(body, rng.below(1u << 22));
        body.insert(body.end(), name, name + sizeof name);
        put_u32(body, static_cast<uint32_t>(rng.next()));
        frame(KEEPER_INIT, body);
    }
    void add_one();

    Rng& rng;
    std::vector<unsigned char> wire;
    uint32_t count = 0;
};

// The requests of the stream, one a draw (a kind listed twice is drawn twice
// as often): a type, how many types after it may be drawn instead, and the
// payload's fields in order. Fields: 'a' any word, '2' to '5' a word below
// that digit, 'g' an event group (some beyond the last), 'c' a configuration
// command, 'k' a command type the daemon does not know (nothing stops), 'h'
// a word below 100, 'N' a name, 'P' a name that may be the remote task's,
// 'e' event data with its length word, 'W' 66 words of any value, 'r' up to
// 300 bytes of any value.
struct Recipe {
    unsigned type;
    unsigned spread;
    const char* fields;
};

constexpr Recipe kRecipes[] = {
    {KEEPER_PRINT_PS, 2, ""},          {KEEPER_REGISTER_CB, 1, "aNN"},
    {KEEPER_REGISTER_CB, 1, "aNN"},    {KEEPER_UNREGISTER_CB, 1, "aNN"},
    {KEEPER_RUN_CB, 1, "4PNN"},        {KEEPER_PRINT_CB, 1, "4P"},
    {KEEPER_REGISTER_EVENT, 1, "2ga"}, {KEEPER_NOTIFY_EVENT, 1, "age"},
    {KEEPER_SET_TASK, 1, "33N"},       {KEEPER_SET_CHECK, 1, "NN"},
    {KEEPER_SET_FLAG, 1, "2N"},        {KEEPER_ACTION_ON_PS, 2, "5N"},
    {KEEPER_GET_CONFIG, 1, "c3W"},     {KEEPER_COMMAND, 1, "k4h"},
    {KEEPER_CHECK_ALIVE, 1, ""},       {KEEPER_UNIT_STATUS, 20, "r"},
};
constexpr uint32_t kRecipeCount = sizeof kRecipes / sizeof kRecipes[0];

inline void Session::put_field(std::vector<unsigned char>& body, char field) {
    switch (field) {
        case 'a':
            return put_u32(body, static_cast<uint32_t>(rng.next()));
        case 'g':
            return put_u32(body, rng.below(70));
        case 'c':
            return put_u32(body, rng.below(32));
        case 'k':
            return put_u32(body, 10 + rng.below(100));
        case 'h':
            return put_u32(body, rng.below(100));
        case 'N':
        case 'P':
            return put_name(body, field == 'P' ? kPeerTask : nullptr);
        case 'e': {
            uint32_t len = rng.below(600);
            put_u32(body, len);
            return put_bytes(body, len);
        }
        case 'W':
            return put_bytes(body, 66 * 4);
        case 'r':
            return put_bytes(body, rng.below(300));
        default:
            return put_u32(body, rng.below(static_cast<uint32_t>(field - '0')));
    }
}

inline void Session::add_one() {
    uint32_t pick = rng.below(kRecipeCount + 2);
    if (pick >= kRecipeCount) {
        // Bytes that are no message: the daemon reads them as headers.
        for (uint32_t i = 1 + rng.below(40); i > 0; --i)
            wire.push_back(static_cast<unsigned char>(rng.below(4) ? 0 : rng.next()));
        ++count;
        return;
    }
    const Recipe& recipe = kRecipes[pick];
    if (recipe.type == KEEPER_CHECK_ALIVE && rng.chance(20)) return bind();
    std::vector<unsigned char> body;
    for (const char* field = recipe.fields; *field; ++field) put_field(body, *field);
    frame(recipe.type + rng.below(recipe.spread), body);
}

// Sends one session over a fresh connection to the loopback port, reading
// whatever the daemon answers meanwhile. Most connections end in order and
// are read to the daemon's own close, so that every input has been served;
// the others are reset as soon as their last byte is sent. False when no connection was made.
inline bool replay(int port, const Session& session, bool reset) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0) return false;
    pollfd watch{fd, POLLOUT, 0};
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        (errno != EINPROGRESS || poll(&watch, 1, 2000) != 1)) {
        close(fd);
        return false;
    }
    const std::vector<unsigned char>& out = session.bytes();
    size_t sent = 0;
    bool open_in = true, open_out = true;
    char scrap[65536];
    while (open_in) {
        if (open_out && sent == out.size()) {
            if (reset) break;
            shutdown(fd, SHUT_WR);
            open_out = false;
        }
        watch.events = static_cast<short>(POLLIN | (open_out ? POLLOUT : 0));
        if (poll(&watch, 1, 10000) != 1) break;
        if (watch.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = read(fd, scrap, sizeof scrap);
            if (n <= 0 && !(n < 0 && errno == EAGAIN)) open_in = false;
        }
        if (open_out && (watch.revents & POLLOUT)) {
            ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n > 0) sent += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN) open_out = open_in = false;
        }
    }
    if (reset) {
        const linger abortive{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    close(fd);
    return true;
}

// Replays `inputs` inputs from `rng`, sessions of 1 to 2,000 inputs each;
// the number of connections made.
inline uint32_t replay_inputs(int port, Rng& rng, uint32_t inputs) {
    uint32_t connections = 0;
    for (uint32_t done = 0; done < inputs;) {
        Session session(rng, std::min(inputs - done, 1 + rng.below(2000)));
        bool reset = rng.chance(12);  // about one in eight
        if (replay(port, session, reset)) ++connections;
        done += session.inputs();
    }
    return connections;
}

// Kilobytes of anonymous memory of a process (its heap, stacks and other
// memory of its own, not its files: a program file freshly written still
// counts as private dirty until the host writes it out); -1 when unknown.
inline long anonymous_kb(int pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/smaps_rollup";
    FILE* in = fopen(path.c_str(), "r");
    if (!in) return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, in))
        if (sscanf(line, "Anonymous: %ld kB", &kb) == 1) break;
    fclose(in);
    return kb;
}

}  // namespace hostile
