#include "reactor/ev_engine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <thread>

#include "reactor/ev_test_util.h"

namespace {

// A timer target that notes the fake time of every firing.
class TimerTarget : public EvHandler {
public:
    explicit TimerTarget(FakeClock& clock, std::vector<std::string>* log = nullptr)
        : clock(clock), log(log) {}
    int fire(void* arg) {
        fired.push_back(clock.now);
        if (log) log->push_back(arg ? static_cast<const char*>(arg) : "timer");
        clock.now += runFor;
        // A runaway timer ends the test instead of hanging it.
        return fired.size() >= 50 ? 0 : result;
    }

    int result = 1;
    long runFor = 0;  // seconds the callback takes
    std::vector<long> fired;

private:
    FakeClock& clock;
    std::vector<std::string>* log;
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { engine.setClock(&clock); }
    FakeClock clock;
    EvEngine engine;
};

TEST_F(EngineTest, TimerWithZeroDelayIsRefused) {
    TimerTarget t(clock);
    EXPECT_EQ(engine.addTimer(0, &t, &TimerTarget::fire, nullptr, -1), -1);
    EXPECT_GT(engine.addTimer(1, &t, &TimerTarget::fire, nullptr, -1), 0);
    engine.releaseAll();
    EXPECT_TRUE(t.fired.empty());
}

TEST_F(EngineTest, MissedPeriodsFireBackToBackWithoutMinimumGap) {
    TimerTarget t(clock);
    engine.addTimer(10, &t, &TimerTarget::fire, nullptr, -1);
    clock.now += 65;  // the loop was blocked for over a minute
    Ticker ticker(engine, 6, &clock);
    engine.run();
    EXPECT_EQ(t.fired, (std::vector<long>{1065, 1065, 1065, 1065, 1065, 1065, 1070}));
}

TEST_F(EngineTest, MinimumGapSkipsMissedPeriods) {
    TimerTarget t(clock);
    engine.addTimer(10, &t, &TimerTarget::fire, nullptr, 10);
    clock.now += 70;
    Ticker ticker(engine, 21, &clock);
    engine.run();
    EXPECT_EQ(t.fired, (std::vector<long>{1070, 1080, 1090}));
}

TEST_F(EngineTest, MinimumGapCountsFromTheCallbacksReturn) {
    std::vector<std::string> log;
    TimerTarget t(clock, &log);
    t.runFor = 1;  // as long as its period, like a probe of a silent peer
    engine.addTimer(1, &t, &TimerTarget::fire, nullptr, 1);
    clock.now += 1;
    Ticker ticker(engine, 3, &clock, &log);
    engine.run();
    EXPECT_EQ(log, (std::vector<std::string>{"timer", "tick", "timer", "tick", "timer", "tick"}));
}

TEST_F(EngineTest, DueTimersFireInExpiryThenInsertionOrder) {
    std::vector<std::string> log;
    TimerTarget t(clock, &log);
    t.result = 0;
    char a[] = "a", b[] = "b", c[] = "c", gone[] = "gone";
    engine.addTimer(5, &t, &TimerTarget::fire, a, -1);
    int goneId = engine.addTimer(5, &t, &TimerTarget::fire, gone, -1);
    engine.addTimer(5, &t, &TimerTarget::fire, b, -1);
    engine.addTimer(3, &t, &TimerTarget::fire, c, -1);
    engine.delTimer(goneId);
    engine.delTimer(12345);  // unknown ids are ignored
    clock.now += 5;
    Ticker ticker(engine, 1, &clock, &log);
    engine.run();
    EXPECT_EQ(log, (std::vector<std::string>{"c", "a", "b", "tick"}));
}

// A timer that removes another one when it fires.
class TimerRemover : public EvHandler {
public:
    TimerRemover(EvEngine& engine, int victim) : engine(engine), victim(victim) {}
    int fire(void*) {
        engine.delTimer(victim);
        return 0;
    }

private:
    EvEngine& engine;
    int victim;
};

TEST_F(EngineTest, RemovalFindsAPeriodicTimerAfterItWasRearmed) {
    TimerTarget periodic(clock);
    const int id = engine.addTimer(2, &periodic, &TimerTarget::fire, nullptr, -1);
    TimerTarget other(clock);
    engine.addTimer(2, &other, &TimerTarget::fire, nullptr, -1);
    TimerRemover remover(engine, id);
    engine.addTimer(3, &remover, &TimerRemover::fire, nullptr, -1);
    Ticker ticker(engine, 6, &clock);
    engine.run();
    EXPECT_EQ(periodic.fired, (std::vector<long>{1002}));
    EXPECT_EQ(other.fired, (std::vector<long>{1002, 1004}));
}

TEST_F(EngineTest, WallClockTimerStartsAtItsTimeAndKeepsItsPeriod) {
    TimerTarget t(clock);
    engine.addTimer(static_cast<long>(clock.wall) + 5, 2, &t, &TimerTarget::fire, nullptr, -1);
    Ticker ticker(engine, 8, &clock);
    engine.run();
    EXPECT_EQ(t.fired, (std::vector<long>{1005, 1007}));
}

TEST_F(EngineTest, RearmedTimerWithoutPeriodFiresOnce) {
    TimerTarget t(clock);
    engine.addTimer(static_cast<long>(clock.wall), 0, &t, &TimerTarget::fire, nullptr, 1);
    Ticker ticker(engine, 3, &clock);
    engine.run();
    EXPECT_EQ(t.fired, (std::vector<long>{1000}));
}

// Closes another handler's socket when it fires.
class Closer : public EvHandler {
public:
    Closer(EvEngine& engine, EvAdapter*& victim, std::vector<std::string>& log)
        : engine(engine), victim(victim), log(log) {}
    int fire(void*) {
        log.push_back("timer");
        engine.evClose(victim);
        return 0;
    }

private:
    EvEngine& engine;
    EvAdapter*& victim;
    std::vector<std::string>& log;
};

TEST_F(EngineTest, SocketClosedByTimerIsNotServicedAndReapedAtEndOfPass) {
    std::vector<std::string> log;
    Recorder victim(&log, "victim");
    SockPair pair;
    ASSERT_NE(engine.registerSocket(pair.take(0), &victim, false, EV_RAW_READ), nullptr);
    ASSERT_EQ(::write(pair.fds[1], "x", 1), 1);  // readable in the first pass
    Closer closer(engine, victim.sock, log);
    engine.addTimer(1, &closer, &Closer::fire, nullptr, -1);
    clock.now += 1;
    Ticker ticker(engine, 2, &clock, &log);
    engine.run();
    EXPECT_EQ(log, (std::vector<std::string>{"timer", "tick", "victim:close", "tick"}));
    EXPECT_EQ(victim.inputs, 0);
}

// Units of a 4-byte header whose last byte is the body length.
class Framer : public Recorder {
public:
    int chkBuf(unsigned char* data, int len) override { return len < 4 ? 4 : 4 + data[3]; }
    int handleInput(EvAdapter* s) override {
        int have = s->peek(nullptr, 0);
        steps.push_back(have);
        capacities.push_back(static_cast<EvSock*>(s)->inBuf().capacity);
        if (have < 4 || have < 4 + peekLength(s)) return 0;
        std::vector<unsigned char> unit(have);
        s->read(unit.data(), have);
        bodies.emplace_back(unit.begin() + 4, unit.end());
        keptAfterRead.push_back(static_cast<EvSock*>(s)->inBuf().capacity);
        return 0;
    }
    std::vector<int> steps, capacities;
    std::vector<std::string> bodies;
    std::vector<int> keptAfterRead;

private:
    static int peekLength(EvAdapter* s) {
        unsigned char header[4];
        s->peek(header, 4);
        return header[3];
    }
};

TEST_F(EngineTest, FramedInputArrivesHeaderFirstThenWholeUnit) {
    Framer framer;
    SockPair pair;
    ASSERT_NE(engine.registerSocket(pair.take(0), &framer, true, 0), nullptr);
    const unsigned char wire[] = {0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0, 2, 'h', 'i'};
    ASSERT_EQ(::write(pair.fds[1], wire, sizeof(wire)), static_cast<ssize_t>(sizeof(wire)));
    Ticker ticker(engine, 6);
    engine.run();
    EXPECT_EQ(framer.steps, (std::vector<int>{4, 9, 4, 6}));
    // Small units share one buffer, allocated once and kept between them.
    EXPECT_EQ(framer.capacities, (std::vector<int>{512, 512, 512, 512}));
    EXPECT_EQ(framer.bodies, (std::vector<std::string>{"hello", "hi"}));
    EXPECT_EQ(framer.keptAfterRead, (std::vector<int>{512, 512}));
}

// Leaves its first complete unit buffered, then takes it.
class Hesitant : public Recorder {
public:
    explicit Hesitant(EvEngine& engine) : engine(engine) { unit = 3; }
    int handleInput(EvAdapter* s) override {
        if (++inputs == 1) return 0;
        unsigned char buf[3];
        s->read(buf, 3);
        engine.requestStop();
        return 0;
    }
    int giveUp(void*) {
        gaveUp = true;
        engine.requestStop();
        return 0;
    }
    bool gaveUp = false;

private:
    EvEngine& engine;
};

TEST(EngineRealClockTest, BufferedCompleteUnitMakesSelectPoll) {
    EvEngine engine;
    Hesitant h(engine);
    SockPair pair;
    engine.registerSocket(pair.take(0), &h, true, 0);
    ASSERT_EQ(::write(pair.fds[1], "abc", 3), 3);
    // Only if the buffered unit failed to make select poll.
    engine.addTimer(5, &h, &Hesitant::giveUp, nullptr, -1);
    engine.run();
    EXPECT_EQ(h.inputs, 2);
    EXPECT_FALSE(h.gaveUp);
}

TEST_F(EngineTest, PeerClosingMidUnitClosesWithoutInput) {
    Recorder r;
    r.unit = 10;
    SockPair pair;
    engine.registerSocket(pair.take(0), &r, true, 0);
    ASSERT_EQ(::write(pair.fds[1], "12345", 5), 5);
    close(pair.take(1));
    Ticker ticker(engine, 4);
    engine.run();
    EXPECT_EQ(r.inputs, 0);
    EXPECT_EQ(r.closes, 1);
}

TEST(EngineRealClockTest, StopRequestAndWakeUpReleaseEverything) {
    EvEngine engine;
    FakeClock unused;
    TimerTarget t(unused);
    Recorder r;
    SockPair pair;
    engine.registerSocket(pair.take(0), &r, false, EV_RAW_READ);
    engine.addTimer(100, &t, &TimerTarget::fire, nullptr, -1);
    uint32_t selectsBefore = evSelectActions;
    std::thread owner([&engine] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        engine.requestStop();
        engine.notifier().notify();
    });
    engine.run();
    owner.join();
    EXPECT_EQ(evSelectActions, selectsBefore);  // left right after the one select
    EXPECT_EQ(r.closes, 1);
    EXPECT_EQ(r.inputs, 0);
    EXPECT_TRUE(t.fired.empty());
    EXPECT_EQ(engine.getState(), EvEngine::EV_IDLE);
}

// Queues a message as soon as it is connected.
class EagerWriter : public Recorder {
public:
    int handleOpen(EvAdapter* s) override {
        unsigned char msg[12] = {};
        s->write(msg, sizeof(msg));
        return Recorder::handleOpen(s);
    }
};

// Answers every 4-byte unit with the same 4 bytes.
class UnitEcho : public Recorder {
public:
    int chkBuf(unsigned char*, int) override { return 4; }
    int handleInput(EvAdapter* s) override {
        unsigned char unit[4];
        if (s->read(unit, sizeof unit) != 4) return -1;
        ++inputs;
        return s->write(unit, sizeof unit) == 4 ? 0 : -1;
    }
};

TEST_F(EngineTest, RequestsAlreadyReceivedAreServedAndAnsweredInOnePass) {
    UnitEcho echo;
    SockPair pair;
    ASSERT_EQ(::write(pair.fds[1], "aaaabbbbcccc", 12), 12);
    engine.registerSocket(pair.take(0), &echo, true, 0);
    Ticker ticker(engine, 1);
    engine.run();
    EXPECT_EQ(echo.inputs, 3);
    char answer[16] = {};
    EXPECT_EQ(::recv(pair.fds[1], answer, sizeof answer, MSG_DONTWAIT), 12);
    EXPECT_STREQ(answer, "aaaabbbbcccc");
}

// A connected loopback TCP pair, where the kernel reports what is left to
// read after every receive.
struct TcpPair {
    int fds[2] = {-1, -1};
    TcpPair() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
            listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            fds[1] = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fds[1], reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0)
                fds[0] = accept(listener, nullptr, nullptr);
        }
        close(listener);
    }
    ~TcpPair() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
};

// Units of a 2-byte head (sequence number, body length) and a body, framed
// in two steps as the daemon frames its requests; each is answered with its
// sequence number.
class TwoStepEcho : public Recorder {
public:
    using Recorder::Recorder;
    int chkBuf(unsigned char* data, int len) override { return len < 2 ? 2 : 2 + data[1]; }
    int handleInput(EvAdapter* s) override {
        unsigned char head[2] = {};
        int avail = s->peek(head, 2);
        if (avail < 2 + head[1]) return 0;  // the body is still to come
        unsigned char unit[2 + 255];
        if (s->read(unit, 2 + head[1]) < 0) return -1;
        seen.push_back(unit[0]);
        note("input");
        return s->write(unit, 1) == 1 ? 0 : -1;
    }
    std::vector<int> seen;
};

TEST_F(EngineTest, AtMost32QueuedRequestsAPassServedInOrderOverTcp) {
    TcpPair pair;
    ASSERT_GE(pair.fds[0], 0);
    std::string requests;
    for (int i = 0; i < 40; ++i) requests += {static_cast<char>(i), 3, 'x', 'y', 'z'};
    ASSERT_EQ(::write(pair.fds[1], requests.data(), requests.size()), 200);
    std::vector<std::string> log;
    TwoStepEcho echo(&log, "echo");
    engine.registerSocket(pair.fds[0], &echo, true, 0);
    pair.fds[0] = -1;
    Ticker ticker(engine, 2, nullptr, &log);
    engine.run();

    ASSERT_EQ(echo.seen.size(), 40u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(echo.seen[i], i);
    // One busy client cannot hold the loop: the first pass ends after 32.
    auto firstTick = std::find(log.begin(), log.end(), "tick");
    EXPECT_EQ(firstTick - log.begin(), 32);
    unsigned char answers[64];
    EXPECT_EQ(::recv(pair.fds[1], answers, sizeof answers, MSG_DONTWAIT), 40);
    EXPECT_EQ(answers[39], 39);
}

// The same units, received ahead: one receive may bring several, and a
// unit may end in the next one. Holds its input (announces nothing) from
// its unit number `holdAt` until `held` is cleared.
class AheadEcho : public TwoStepEcho {
public:
    using TwoStepEcho::TwoStepEcho;
    bool readsAhead() override { return true; }
    int chkBuf(unsigned char* data, int len) override {
        return held ? 0 : TwoStepEcho::chkBuf(data, len);
    }
    int handleInput(EvAdapter* s) override {
        int result = TwoStepEcho::handleInput(s);
        queuedInKernel.push_back(pendingBytes(s->getHandle()));
        if (seen.size() == holdAt) held = true;
        return result;
    }
    size_t holdAt = 36;
    bool held = false;
    std::vector<int> queuedInKernel;

private:
    static int pendingBytes(int fd) {
        int n = -1;
        return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
    }
};

// A ticker that runs a step of the test at the end of each pass.
class Stepper : public Ticker {
public:
    Stepper(EvEngine& engine, int passes, std::function<void(int)> step)
        : Ticker(engine, passes), step(std::move(step)) {}
    int handleInput(EvAdapter* s) override {
        int result = Ticker::handleInput(s);
        step(ticks);
        return result;
    }

private:
    std::function<void(int)> step;
};

// What one receive brought is served from the buffer: nothing waits in the
// kernel for a poll that would never report it, whether the pass ran out,
// the handler held its input or a unit was cut between two writes.
TEST_F(EngineTest, UnitsReceivedAheadAreServedWithoutAnotherReceive) {
    TcpPair pair;
    ASSERT_GE(pair.fds[0], 0);
    std::string requests;
    for (int i = 0; i < 40; ++i) requests += {static_cast<char>(i), 3, 'x', 'y', 'z'};
    requests += {40, 3, 'x'};  // cut: the rest comes later
    ASSERT_EQ(::write(pair.fds[1], requests.data(), requests.size()), 203);
    AheadEcho echo;
    engine.registerSocket(pair.fds[0], &echo, true, 0);
    pair.fds[0] = -1;
    std::vector<size_t> served;
    Stepper stepper(engine, 6, [&](int tick) {
        served.push_back(echo.seen.size());
        if (tick == 2) (void)::write(pair.fds[1], "yz\x29\x01!\x2a\x01", 7);
        if (tick == 4) echo.held = false;
    });
    engine.run();
    // 32 a pass; four more, then held; nothing while held, though the rest
    // has arrived; then the units left in the buffer, without a poll, and
    // the rest once the poll reports it.
    EXPECT_EQ(served, (std::vector<size_t>{32, 36, 36, 36, 40, 42}));
    EXPECT_EQ(echo.queuedInKernel.front(), 0);  // the first receive took all
    for (size_t i = 0; i < echo.seen.size(); ++i) EXPECT_EQ(echo.seen[i], static_cast<int>(i));
    unsigned char answers[64];
    EXPECT_EQ(::recv(pair.fds[1], answers, sizeof answers, MSG_DONTWAIT), 42);
}

TEST_F(EngineTest, SendingToVanishedPeerClosesOnlyThatSocket) {
    signal(SIGPIPE, SIG_DFL);
    EagerWriter writer;
    SockPair pair;
    engine.registerSocket(pair.take(0), &writer, true, 0);
    close(pair.take(1));
    Ticker ticker(engine, 3);
    engine.run();
    EXPECT_EQ(writer.closes, 1);
    EXPECT_EQ(ticker.ticks, 3);
}

// Reads its input and stops the engine.
class StopOnInput : public Recorder {
public:
    explicit StopOnInput(EvEngine& engine) : engine(engine) {}
    int handleInput(EvAdapter* s) override {
        char byte;
        if (::read(s->getHandle(), &byte, 1) == 1) got = byte;
        engine.requestStop();
        return Recorder::handleInput(s);
    }
    EvEngine& engine;
    char got = 0;
};

TEST_F(EngineTest, DescriptorsBeyondSelectsLimitAreWatched) {
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int high = FD_SETSIZE + 8;
    if (saved.rlim_max <= static_cast<rlim_t>(high)) GTEST_SKIP() << "descriptor limit too low";
    rlimit raised = saved;
    raised.rlim_cur = high + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    SockPair pair;
    int big = dup2(pair.fds[0], high);
    StopOnInput r(engine);
    EvAdapter* sock = big < 0 ? nullptr : engine.registerSocket(big, &r, false, EV_RAW_READ);
    ASSERT_EQ(write(pair.fds[1], "x", 1), 1);
    Ticker ticker(engine, 50);
    engine.run();
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_EQ(big, high);
    EXPECT_NE(sock, nullptr);
    EXPECT_EQ(r.got, 'x');
}

// Takes one byte a call, notes its name, and may poke another socket.
class ByteTaker : public EvHandler {
public:
    ByteTaker(EvEngine& engine, std::vector<std::string>& log, std::string name)
        : engine(engine), log(log), name(std::move(name)) {}
    int handleInput(EvAdapter* s) override {
        char byte;
        if (::read(s->getHandle(), &byte, 1) == 1) log.push_back(name);
        if (poke >= 0 && log.size() == 2) (void)::write(poke, "p", 1);
        if (log.size() >= 5) engine.requestStop();
        return 0;
    }
    EvEngine& engine;
    std::vector<std::string>& log;
    std::string name;
    int poke = -1;
};

TEST_F(EngineTest, BulkInputComesLastAndYieldsToARequestThatArrives) {
    std::vector<std::string> log;
    ByteTaker request(engine, log, "req"), first(engine, log, "bulk1"),
        second(engine, log, "bulk2");
    SockPair reqPair, firstPair, secondPair;
    ASSERT_EQ(write(firstPair.fds[1], "xx", 2), 2);
    ASSERT_EQ(write(secondPair.fds[1], "xx", 2), 2);
    ASSERT_EQ(write(reqPair.fds[1], "r", 1), 1);
    // Registered before the request's socket, and still served after it.
    engine.registerSocket(firstPair.take(0), &first, false, EV_RAW_READ | EV_BULK);
    engine.registerSocket(secondPair.take(0), &second, false, EV_RAW_READ | EV_BULK);
    engine.registerSocket(reqPair.take(0), &request, false, EV_RAW_READ);
    // A request arrives while the first bulk socket is read: the second
    // waits for the next pass, and then goes first.
    first.poke = reqPair.fds[1];
    engine.run();
    EXPECT_EQ(log, (std::vector<std::string>{"req", "bulk1", "req", "bulk2", "bulk1"}));
}

// Echoes every 12-byte unit.
class Echo : public Recorder {
public:
    explicit Echo(bool& cloexec) : cloexec(cloexec) { unit = 12; }
    int handleOpen(EvAdapter* s) override {
        cloexec = fcntl(s->getHandle(), F_GETFD) & FD_CLOEXEC;
        return Recorder::handleOpen(s);
    }
    int handleInput(EvAdapter* s) override {
        unsigned char msg[12];
        s->read(msg, 12);
        s->write(msg, 12);
        return 0;
    }
    int handleClose(EvAdapter* s) override {
        Recorder::handleClose(s);
        return -1;  // made by the factory: goes with its socket
    }
    bool& cloexec;
};

class EchoFactory : public EvHandlerFactory {
public:
    EvHandler* newHandler() override { return made = new Echo(acceptedCloexec); }
    Echo* made = nullptr;  // until the run ends
    bool acceptedCloexec = false;
};

// Sends one message, stops the engine when it comes back.
class Pinger : public EagerWriter {
public:
    explicit Pinger(EvEngine& engine) : engine(engine) { unit = 12; }
    int handleInput(EvAdapter* s) override {
        unsigned char msg[12];
        s->read(msg, 12);
        ++inputs;
        accepted = engine.getPeer(factory->made->sock, peer);
        acceptedIsLocal = EvEngine::isLocal(factory->made->sock);
        engine.requestStop();
        return 0;
    }
    EchoFactory* factory = nullptr;
    std::string peer;
    in_addr_t accepted = 0;
    bool acceptedIsLocal = false;

private:
    EvEngine& engine;
};

TEST(EngineRealClockTest, LoopbackListenConnectAndAccept) {
    EvEngine engine;
    EchoFactory factory;
    EvAdapter* listener = engine.evListen(0, &factory);
    ASSERT_NE(listener, nullptr);
    EXPECT_TRUE(fcntl(listener->getHandle(), F_GETFD) & FD_CLOEXEC);
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    getsockname(listener->getHandle(), reinterpret_cast<sockaddr*>(&addr), &len);
    int port = ntohs(addr.sin_port);

    Pinger pinger(engine);
    pinger.factory = &factory;
    EvAdapter* client = engine.Connect("127.0.0.1", port, &pinger);
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(fcntl(client->getHandle(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(client->getHandle(), F_GETFL) & O_NONBLOCK);
    getsockname(client->getHandle(), reinterpret_cast<sockaddr*>(&addr), &len);
    std::string clientEnd = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    engine.run();
    ASSERT_EQ(pinger.inputs, 1);
    EXPECT_TRUE(factory.acceptedCloexec);
    EXPECT_EQ(pinger.peer, clientEnd);
    EXPECT_EQ(pinger.accepted, htonl(INADDR_LOOPBACK));
    EXPECT_TRUE(pinger.acceptedIsLocal);
    EXPECT_EQ(pinger.closes, 1);
}

TEST(EngineRealClockTest, ConnectFailuresReturnNull) {
    EvEngine engine;
    Recorder r;
    EvAdapter* listener = engine.evListen(0, &r);
    ASSERT_NE(listener, nullptr);
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    getsockname(listener->getHandle(), reinterpret_cast<sockaddr*>(&addr), &len);
    int freePort = ntohs(addr.sin_port);
    engine.releaseAll();  // nobody listens there any more
    EXPECT_EQ(engine.Connect("127.0.0.1", freePort, &r), nullptr);
    EXPECT_EQ(engine.Connect("no-such-host.invalid", freePort, &r), nullptr);
    std::string peer;
    EXPECT_EQ(EvEngine::getPeer(nullptr, peer), 0u);
    EXPECT_EQ(peer, "Unknown:0");
}

}  // namespace

namespace {

class CountingFactory : public EvHandlerFactory {
public:
    EvHandler* newHandler() override {
        ++made;
        return new Echo(cloexec);
    }
    int made = 0;
    bool cloexec = false;
};

}  // namespace

// The loopback address a listener of the engine is bound to.
sockaddr_in loopbackAddress(EvAdapter* listener) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    getsockname(listener->getHandle(), reinterpret_cast<sockaddr*>(&addr), &len);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// One pending connection and a listener, turned for 30 passes; with
// `exhausted` every descriptor below a lowered limit is in use meanwhile.
// Returns how many handlers the factory made; *closed tells whether the
// client was closed on.
int acceptPending(bool exhausted, bool* closed) {
    EvEngine engine;
    CountingFactory factory;
    EvAdapter* listener = engine.evListen(0, &factory);
    if (!listener) return -1;
    sockaddr_in addr = loopbackAddress(listener);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return -1;
    Ticker ticker(engine, 30);
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    std::vector<int> filler;
    if (exhausted) {
        rlimit low = saved;
        low.rlim_cur = 256;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = dup(client)) >= 0;) filler.push_back(fd);
    }
    engine.run();
    for (int fd : filler) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    char byte;
    *closed = recv(client, &byte, 1, MSG_DONTWAIT) == 0;
    close(client);
    return factory.made;
}

TEST(EngineRealClockTest, AcceptAtDescriptorLimitRefusesInsteadOfSpinning) {
    bool closed = false;
    // The first run also lets the sanitizers learn every type involved while
    // they still have descriptors for their own checks.
    ASSERT_EQ(acceptPending(false, &closed), 1);
    EXPECT_TRUE(closed) << "accepted, served and closed with the engine";
    EXPECT_EQ(acceptPending(true, &closed), 0) << "no handler for a connection that was refused";
    EXPECT_TRUE(closed) << "refused with an orderly close, not left pending for every pass";
}

// A burst of connects beyond the old backlog of 5, all in the queue before
// the loop turns: the first pass takes every one of them.
TEST(EngineRealClockTest, BurstOfConnectsAcceptedInOnePass) {
    EvEngine engine;
    CountingFactory factory;
    EvAdapter* listener = engine.evListen(0, &factory);
    ASSERT_NE(listener, nullptr);
    sockaddr_in addr = loopbackAddress(listener);
    constexpr int kClients = 40;
    std::vector<int> clients;
    for (int i = 0; i < kClients; ++i) {
        // Non-blocking: a connect the queue has no room for would wait for
        // the SYN's retransmission instead of failing the test.
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        clients.push_back(fd);
    }
    Ticker ticker(engine, 1);
    engine.run();
    for (int fd : clients) close(fd);
    EXPECT_EQ(factory.made, kClients);
}
