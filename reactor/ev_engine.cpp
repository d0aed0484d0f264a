#include "reactor/ev_engine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <unordered_map>
#include <vector>

#include "reactor/ev_notifier.h"
#include "reactor/ev_sock.h"
#include "reactor/ev_socket_setup.h"
#include "support/ev_debug.h"

namespace {

// The system's queue: a client that connects in a loop must not overflow
// it, or its next connect waits a second for the retransmitted SYN.
constexpr int kListenBacklog = SOMAXCONN;
// Units a buffered socket may deliver in one pass, counting only those its
// handler took.
constexpr int kUnitsPerPass = 32;

const EvClock systemClock;

bool setOption(int fd, int option) {
    int on = 1;
    return setsockopt(fd, SOL_SOCKET, option, &on, sizeof(on)) == 0;
}

}  // namespace

namespace evsock {

bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        SxPerror("fcntl");
        return false;
    }
    return true;
}

// Messages are small and each is queued whole: Nagle's algorithm would only
// hold the next one back until the peer's delayed acknowledgement.
void setNoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

sockaddr_in ipv4(in_addr_t ip, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = ip;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

}  // namespace evsock

using namespace evsock;

long EvClock::uptime() const {
    timespec ts;
    return clock_gettime(CLOCK_BOOTTIME, &ts) == 0 ? static_cast<long>(ts.tv_sec) : 0;
}

time_t EvClock::wallTime() const { return time(nullptr); }

namespace {

int openSpare() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

}  // namespace

EvListener::EvListener(EvHandlerFactory* factory, EvEngine* engine, bool)
    : engine(engine), factory(factory), spareFd(openSpare()) {}

EvListener::~EvListener() {
    if (spareFd >= 0) close(spareFd);
}

namespace {

// Failures that concern only the connection being accepted: the next one
// may still be taken in the same pass.
bool connectionOnly(int err) {
    return err == ECONNABORTED || err == EINTR || err == ENOTCONN || err == EPROTO;
}

// The next connection of the listener's queue, set up as the engine's own;
// -1 with errno set when there is none or it could not be set up.
int acceptConnection(int listenFd) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return -1;
    sockaddr_storage peer;
    socklen_t len = sizeof(peer);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) < 0 ||
        !setOption(fd, SO_KEEPALIVE)) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    setNoDelay(fd);
    return fd;
}

}  // namespace

// Every pending connection in one pass, until the queue is empty: one a pass
// lets a burst of connects overflow the queue while the loop goes round.
int EvListener::handleInput(EvAdapter* listenSock) {
    for (;;) {
        int fd = acceptConnection(listenSock->getHandle());
        if (fd >= 0) {
            EvHandler* h = factory->newHandler();
            if (!engine->registerSocket(fd, h, true, 0)) delete h;
            continue;
        }
        int err = errno;
        if (err == EMFILE || err == ENFILE) refuseOne(listenSock);
        if (!connectionOnly(err)) return 0;
    }
}

void EvListener::refuseOne(EvAdapter* listenSock) {
    if (spareFd < 0) spareFd = openSpare();
    if (spareFd < 0) return;
    close(spareFd);
    int fd = accept4(listenSock->getHandle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) close(fd);
    spareFd = openSpare();
    EV_TRACE(DL_WARNING, "EvListener::handleInput, out of descriptors: connection refused");
}

// The listener goes with its socket.
int EvListener::handleClose(EvAdapter*) { return -1; }

// The loop and everything it walks. The loop runs wholly in here, so an
// event costs no more than it would with these members in EvEngine itself.
class EvEngine::Core {
public:
    struct EvTimer {
        int id;
        long expiry;  // uptime seconds
        long period;  // added to expiry when re-armed
        EvHandler* handler;
        EvTimerCb cb;
        void* arg;
        int minGap;  // seconds between the callback's return and the next firing; -1 none
    };
    struct ByExpiry {
        bool operator()(const EvTimer& a, const EvTimer& b) const { return a.expiry < b.expiry; }
    };
    using TimerSet = std::multiset<EvTimer, ByExpiry>;

    Core() : state(EV_IDLE), clock(&systemClock) {}

    EvAdapter* adopt(int fd, EvHandler* h, int flags);
    int arm(long expiry, long period, EvHandler* h, EvTimerCb cb, void* arg, int minGap);
    void delTimer(int id);
    void loop();
    void releaseNonSSL();
    void releaseAll();

    std::vector<EvSock*> sockets;
    TimerSet timers;
    // Where each armed timer sits: thousands of tasks each hold one, and a
    // removal must not walk them all.
    std::unordered_map<int, TimerSet::iterator> timerById;
    EvNotifier notifier;
    int state;
    // Atomic so that a signal handler or another thread may set it.
    std::atomic<bool> stopRequest{false};
    int lastId = 0;
    const EvClock* clock;
    // poll() rather than select(): no ceiling on descriptor numbers, which
    // thousands of programs' output pipes pass.
    std::vector<pollfd> polled;
    // By descriptor: its events of this pass. Looked up by number, so a
    // handler that closes or adds sockets during the pass shifts nothing.
    std::vector<short> ready;
    // The descriptors watched for input but the bulk ones, and where the
    // next pass starts serving bulk input.
    std::vector<pollfd> urgent;
    size_t bulkNext = 0;

private:
    // The descriptors to watch this pass; true when some socket already
    // holds a complete unit, so the wait must not block.
    bool preparePoll();
    int timeoutMs(bool inputReady) const;
    // What poll() reported for the descriptor this pass (0: nothing).
    short reported(int fd) const {
        return fd >= 0 && static_cast<size_t>(fd) < ready.size() ? ready[fd] : 0;
    }
    void noteReady();
    void clearReady();
    void fireDueTimers();
    void rearm(EvTimer timer);
    void insertTimer(const EvTimer& timer);
    void eraseTimer(TimerSet::iterator at);
    void clearTimers();
    void serviceSockets(size_t count);
    void serviceBulk(size_t count);
    // Whether a socket other than the bulk ones has input now.
    bool othersWaiting();
    void serviceInput(EvSock* sock);
    void serviceOutput(EvSock* sock);
    void reap();
    static void drop(EvSock* sock);
};

EvEngine::EvEngine() : core(new Core) { SxSockInit(); }

EvEngine::~EvEngine() {
    core->releaseAll();
    SxSockEnd();
}

void EvEngine::setState(int s) { core->state = s >= EV_RUNNING && s <= EV_IDLE ? s : EV_IDLE; }

void EvEngine::setState(evState s) { setState(static_cast<int>(s)); }

int EvEngine::getState() const { return core->state; }

void EvEngine::setClock(const EvClock* c) { core->clock = c ? c : &systemClock; }

const EvClock& EvEngine::getClock() const { return *core->clock; }

// Every way a descriptor joins the engine ends here.
EvAdapter* EvEngine::Core::adopt(int fd, EvHandler* h, int flags) {
    int id = ++lastId;
    if (!h) {
        close(fd);
        return nullptr;
    }
    auto* sock = new EvSock(id, fd, h);
    sock->addFlags(flags);
    sockets.push_back(sock);
    h->handleOpen(sock);
    return sock;
}

EvAdapter* EvEngine::registerSocket(int fd, EvHandler* h, bool framed, int flags) {
    if (fd < 0) return nullptr;
    return core->adopt(fd, h, framed ? 0 : flags);
}

EvAdapter* EvEngine::evListen(int port, EvHandler* h, in_addr_t address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_in addr = ipv4(address, port);
    if (!setOption(fd, SO_REUSEADDR) ||
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0 ||
        listen(fd, kListenBacklog) < 0) {
        EV_TRACE(DL_ERROR, "EvEngine::evListen, port %d: %s", port, strerror(errno));
        close(fd);
        return nullptr;
    }
    return core->adopt(fd, h, EV_RAW_READ);
}

namespace {

EvAdapter* listenOn(EvEngine* engine, int port, EvHandlerFactory* f, bool secure,
                    in_addr_t address) {
    auto* listener = new EvListener(f, engine, secure);
    EvAdapter* sock = engine->evListen(port, listener, address);
    if (!sock) delete listener;
    return sock;
}

}  // namespace

EvAdapter* EvEngine::evListen(int port, EvHandlerFactory* f, in_addr_t address) {
    return listenOn(this, port, f, false, address);
}

EvAdapter* EvEngine::evListenSSL(int port, EvHandlerFactory* f) {
    return listenOn(this, port, f, true, htonl(INADDR_ANY));
}

EvAdapter* EvEngine::evAccept(EvAdapter* listener, EvHandler* h) {
    if (!listener) return nullptr;
    int fd = acceptConnection(listener->getHandle());
    return fd < 0 ? nullptr : core->adopt(fd, h, 0);
}

void EvEngine::evClose(EvAdapter* sock) {
    if (sock) static_cast<EvSock*>(sock)->sclose();
}

int EvEngine::evDetach(EvAdapter* sock) {
    if (!sock) return -1;
    int fd = sock->getHandle();
    static_cast<EvSock*>(sock)->sdetach();
    return fd;
}

in_addr_t EvEngine::getPeer(EvAdapter* sock, std::string& out) {
    sockaddr_storage peer;
    socklen_t len = sizeof(peer);
    if (!sock || getpeername(sock->getHandle(), reinterpret_cast<sockaddr*>(&peer), &len) < 0 ||
        peer.ss_family != AF_INET) {
        out = "Unknown:0";
        return 0;
    }
    const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
    char text[INET_ADDRSTRLEN];
    const char* ip = inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text)) ? text : "Unknown";
    out = std::string(ip) + ":" + std::to_string(ntohs(in.sin_port));
    return in.sin_addr.s_addr;
}

bool EvEngine::isLocal(EvAdapter* sock) {
    sockaddr_storage peer;
    socklen_t len = sizeof(peer);
    if (!sock || getpeername(sock->getHandle(), reinterpret_cast<sockaddr*>(&peer), &len) < 0)
        return false;
    if (peer.ss_family == AF_UNIX) return true;
    return peer.ss_family == AF_INET &&
           reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr == htonl(INADDR_LOOPBACK);
}

void EvEngine::Core::drop(EvSock* sock) {
    sock->sclose();
    sock->handleClose();
    delete sock;
}

void EvEngine::releaseNonSSL() { core->releaseNonSSL(); }

void EvEngine::Core::releaseNonSSL() {
    // Backwards, so that removing an entry leaves the ones still to visit in
    // place; handlers may append sockets, never remove them.
    for (size_t i = sockets.size(); i-- > 0;) {
        EvSock* sock = sockets[i];
        if (EvEngine::isLocal(sock)) continue;
        sockets.erase(sockets.begin() + static_cast<long>(i));
        drop(sock);
    }
}

void EvEngine::releaseSSL() {}

void EvEngine::releaseAll() { core->releaseAll(); }

void EvEngine::Core::releaseAll() {
    clearTimers();
    while (!sockets.empty()) {
        EvSock* sock = sockets.front();
        sockets.erase(sockets.begin());
        drop(sock);
    }
    // A handleClose may have armed a timer; nothing may outlive the release.
    clearTimers();
}

int EvEngine::Core::arm(long expiry, long period, EvHandler* h, EvTimerCb cb, void* arg,
                        int minGap) {
    int id = ++lastId;
    insertTimer(EvTimer{id, expiry, period, h, cb, arg, minGap});
    return id;
}

void EvEngine::Core::insertTimer(const EvTimer& timer) {
    // multiset inserts after equal keys: equal expiries fire in the order added.
    timerById[timer.id] = timers.insert(timer);
}

void EvEngine::Core::eraseTimer(TimerSet::iterator at) {
    timerById.erase(at->id);
    timers.erase(at);
}

void EvEngine::Core::clearTimers() {
    timers.clear();
    timerById.clear();
}

int EvEngine::addTimer(long delay, EvHandler* h, EvTimerCb cb, void* arg, int minGap) {
    if (delay == 0) return -1;
    return core->arm(core->clock->uptime() + delay, delay, h, cb, arg, minGap);
}

int EvEngine::addTimer(long when, long period, EvHandler* h, EvTimerCb cb, void* arg, int minGap) {
    const EvClock* clock = core->clock;
    return core->arm(when - static_cast<long>(clock->wallTime()) + clock->uptime(), period, h, cb,
                     arg, minGap);
}

void EvEngine::delTimer(int id) { core->delTimer(id); }

void EvEngine::Core::delTimer(int id) {
    auto found = timerById.find(id);
    if (found != timerById.end()) eraseTimer(found->second);
}

void EvEngine::run() {
    core->stopRequest = false;
    core->state = EV_RUNNING;
    core->notifier.init(this);
    core->loop();
    core->state = EV_IDLE;
}

void EvEngine::requestStop() { core->stopRequest = true; }

EvNotifier& EvEngine::notifier() { return core->notifier; }

void EvEngine::Core::loop() {
    while (!sockets.empty() || !timers.empty()) {
        // Sockets registered later in this pass were not watched by poll.
        size_t watched = sockets.size();
        bool inputReady = preparePoll();
        int n = poll(polled.data(), polled.size(), timeoutMs(inputReady));
        if (stopRequest) break;
        ++evSelectActions;
        if (n < 0) continue;
        noteReady();
        fireDueTimers();
        serviceSockets(watched);
        clearReady();
        if (stopRequest) break;
        reap();
    }
    releaseAll();
}

bool EvEngine::Core::preparePoll() {
    polled.clear();
    urgent.clear();
    bool inputReady = false;
    for (EvSock* sock : sockets) {
        int fd = sock->getHandle();
        if (fd == -1) continue;
        sock->chkState();
        int flags = sock->getFlags();
        short events = 0;
        if (flags & (EV_WANT_READ | EV_RAW_READ))
            events |= POLLIN;
        else if (flags & EV_INPUT_READY)
            inputReady = true;
        if (flags & (EV_WANT_WRITE | EV_RAW_WRITE)) events |= POLLOUT;
        if (events) polled.push_back(pollfd{fd, events, 0});
        if ((events & POLLIN) && !(flags & EV_BULK)) urgent.push_back(pollfd{fd, POLLIN, 0});
    }
    return inputReady;
}

void EvEngine::Core::noteReady() {
    for (const pollfd& p : polled) {
        if (!p.revents) continue;
        if (static_cast<size_t>(p.fd) >= ready.size()) ready.resize(p.fd + 1, 0);
        // An error or hang-up shows to the side that watches, as select()
        // showed it: the handler's read or write then meets it.
        short events = p.revents;
        if (events & (POLLERR | POLLHUP)) events |= p.events;
        ready[p.fd] = events;
    }
}

void EvEngine::Core::clearReady() {
    for (const pollfd& p : polled)
        if (static_cast<size_t>(p.fd) < ready.size()) ready[p.fd] = 0;
}

// -1 blocks until a descriptor is ready.
int EvEngine::Core::timeoutMs(bool inputReady) const {
    if (inputReady) return 0;
    if (timers.empty()) return -1;
    long wait = timers.begin()->expiry - clock->uptime();
    return wait > 0 ? static_cast<int>(std::min<long>(wait, 86400) * 1000) : 0;
}

void EvEngine::Core::fireDueTimers() {
    while (!timers.empty()) {
        auto first = timers.begin();
        if (clock->uptime() < first->expiry) return;
        // Out of the set while it runs: delTimer from its own callback finds
        // nothing, and the result alone decides.
        EvTimer timer = *first;
        eraseTimer(first);
        if ((timer.handler->*timer.cb)(timer.arg) > 0) rearm(timer);
    }
}

void EvEngine::Core::rearm(EvTimer timer) {
    if (timer.period <= 0) {
        // Its expiry would never move forward, so it would fire again and
        // again within this pass and starve everything else: it fires once.
        EV_TRACE(DL_WARNING, "EvEngine::rearm, timer %d has period %ld, not re-armed", timer.id,
                 timer.period);
        return;
    }
    timer.expiry += timer.period;
    ++evStartTimersActions;
    if (timer.minGap != -1) {
        // The gap counts from the callback's return: a callback that runs as
        // long as its period must not be due again the moment it returns.
        long earliest = clock->uptime() + timer.minGap;
        if (earliest > timer.expiry)
            timer.expiry +=
                (earliest - timer.expiry + timer.period - 1) / timer.period * timer.period;
    }
    ++evFinishTimersActions;
    insertTimer(timer);
}

void EvEngine::Core::serviceSockets(size_t count) {
    // A handler that releases sockets shrinks the list under these loops.
    for (size_t i = 0; i < count && i < sockets.size(); ++i) {
        EvSock* sock = sockets[i];
        if (sock->getHandle() == -1 || (sock->getFlags() & EV_BULK)) continue;
        ++evStartSocketActions;
        if ((reported(sock->getHandle()) & POLLIN) || (sock->getFlags() & EV_INPUT_READY))
            serviceInput(sock);
        ++evFinishSocketActions;
    }
    // Output leaves after every request of the pass was read: the replies
    // and the events for one connection go out in one send, not one pass
    // after they were queued.
    for (size_t i = 0; i < count && i < sockets.size(); ++i) {
        EvSock* sock = sockets[i];
        int fd = sock->getHandle();
        if (fd == -1) continue;
        bool writable = reported(fd) & POLLOUT;
        if (sock->getFlags() & EV_RAW_WRITE) {
            if (writable) serviceOutput(sock);
        } else if (writable || sock->outBuf().used > sock->outBuf().done) {
            serviceOutput(sock);
        }
    }
    serviceBulk(count);
}

// One bulk socket at a time, after the replies of the pass have gone: a
// flood of output delays a request by one bulk read at most. The first
// bulk socket served moves on each pass, so that every one gets its turn.
void EvEngine::Core::serviceBulk(size_t count) {
    const size_t n = std::min(count, sockets.size());
    bool servedOne = false;
    for (size_t k = 0; k < n; ++k) {
        const size_t i = (bulkNext + k) % n;
        if (i >= sockets.size()) break;
        EvSock* sock = sockets[i];
        const int fd = sock->getHandle();
        if (fd == -1 || !(sock->getFlags() & EV_BULK) || !(reported(fd) & POLLIN)) continue;
        if (servedOne && othersWaiting()) {
            bulkNext = i;
            return;
        }
        serviceInput(sock);
        servedOne = true;
    }
    if (n > 0) bulkNext = (bulkNext + 1) % n;
}

bool EvEngine::Core::othersWaiting() {
    return !urgent.empty() && poll(urgent.data(), urgent.size(), 0) > 0;
}

void EvEngine::Core::serviceInput(EvSock* sock) {
    if (sock->getFlags() & EV_RAW_READ) {
        if (sock->getHandler()->handleInput(sock) < 0) sock->sclose();
        return;
    }
    // Requests already received are served in this pass, a bounded number
    // so that one busy client cannot hold the loop. A step that took
    // nothing (a header whose body is still to be read) is no request.
    for (int served = 0; served < kUnitsPerPass;) {
        if (sock->sread() != 1) return;
        int unread = sock->peek(nullptr, 0);
        if (sock->getHandler()->handleInput(sock) < 0) {
            sock->sclose();
            return;
        }
        if (sock->getHandle() == -1 || stopRequest) return;
        bool took = sock->peek(nullptr, 0) != unread;
        if (took) ++served;
        // Only a handler that took its unit (or wants the rest of it) is
        // offered more; one that left it is called again next pass. A unit
        // that came with the last receive is served without another one;
        // where that receive emptied the socket, the next one would only
        // come back empty: poll() will tell when more arrives.
        sock->chkState();
        if (sock->getFlags() & EV_INPUT_READY) {
            if (!took) return;
        } else if (!(sock->getFlags() & EV_WANT_READ) || sock->inputDrained()) {
            return;
        }
    }
}

void EvEngine::Core::serviceOutput(EvSock* sock) {
    int result = 0;
    if (sock->getFlags() & EV_RAW_WRITE)
        result = sock->getHandler()->handleOutput(sock);
    else if (sock->swrite() == 1)
        result = sock->getHandler()->handleOutput(sock);
    if (result < 0) sock->sclose();
}

void EvEngine::Core::reap() {
    for (size_t i = 0; i < sockets.size();) {
        EvSock* sock = sockets[i];
        if (sock->getHandle() != -1) {
            ++i;
            continue;
        }
        // Out of the list before the handler hears of it, so handleClose may
        // register or close sockets freely.
        sockets.erase(sockets.begin() + static_cast<long>(i));
        sock->handleClose();
        delete sock;
    }
}
