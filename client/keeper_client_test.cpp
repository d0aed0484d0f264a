#include "client/keeper_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "client/fake_keeper.h"
#include "reactor/ev_test_util.h"
#include "support/proc_utils.h"

namespace {

// Gives the tests the client's protected parts and a short reply wait.
class TestClient : public keeperClient {
public:
    TestClient(EvEngine* engine, int port)
        : keeperClient(engine, "tester", int(htonl(INADDR_LOOPBACK)), port) {
        replyWaitMs = 100;
    }
    using keeperClient::_reregister_keeper;
};

// A temporary VELTO_HOME for the INI look-up.
class HomeDir {
public:
    HomeDir() {
        char pattern[] = "/tmp/client_test.XXXXXX";
        path = mkdtemp(pattern);
        setenv("VELTO_HOME", path.c_str(), 1);
    }
    ~HomeDir() {
        unsetenv("VELTO_HOME");
        std::string cmd = "rm -rf " + path;
        (void)system(cmd.c_str());
    }
    std::string path;
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine.setClock(&clock);
        client.reset(new TestClient(&engine, keeper.port()));
        ASSERT_TRUE(keeper.accept());
    }
    FakeMessage expect(uint32_t type) {
        FakeMessage msg;
        EXPECT_TRUE(keeper.next(msg));
        EXPECT_EQ(type, msg.header.type) << keeperMgsTypeStr(msg.header.type);
        return msg;
    }

    FakeClock clock;
    EvEngine engine;
    FakeKeeper keeper;
    std::unique_ptr<TestClient> client;
};

struct Seen {
    int calls = 0;
    unsigned group = 0, id = 0;
    std::string data;
} seen;

keeperStatus on_event(unsigned group, unsigned id, void* data, size_t len) {
    ++seen.calls;
    seen.group = group;
    seen.id = id;
    seen.data.assign(static_cast<char*>(data) ? static_cast<char*>(data) : "", len);
    return KEEPER_OK;
}

std::string lastArgs;
keeperStatus on_run(void* args) {
    lastArgs = static_cast<char*>(args);
    return KEEPER_OK;
}

std::string lastListing;
unsigned lastListingLen = 0;
keeperStatus on_list(char* text, unsigned len) {
    lastListing = text;
    lastListingLen = len;
    return KEEPER_OK;
}

// An event message as the daemon sends it.
std::vector<unsigned char> eventFrame(uint32_t group, uint32_t id, const std::string& data) {
    std::vector<unsigned char> body(12 + data.size());
    uint32_t words[3] = {htonl(id), htonl(group), htonl(uint32_t(data.size()))};
    memcpy(body.data(), words, 12);
    memcpy(body.data() + 12, data.data(), data.size());
    return keeperFrame(KEEPER_NOTIFY_EVENT, 1, body.data(), uint32_t(body.size()));
}

void sendEvent(FakeKeeper& keeper, uint32_t group, uint32_t id, const std::string& data) {
    std::vector<unsigned char> frame = eventFrame(group, id, data);
    keeper.sendRaw(frame.data(), frame.size());
}

}  // namespace

TEST(ClientConnect, ReadsAddressFromDefaultIniOfItsType) {
    HomeDir home;
    FakeKeeper keeper;
    keeper.writeIni(home.path, "vardo.ini");
    EvEngine engine;
    keeperClient client(&engine, 1);
    EXPECT_GE(client.get_keeperSock(), 0);
    EXPECT_TRUE(keeper.accept());
}

TEST(ClientConnect, PrefersTheParentsIniThenItsBackup) {
    HomeDir home;
    FakeKeeper parents, backup, fallback;
    std::string parent = Com_getPpidName();
    fallback.writeIni(home.path, "vardo.ini");
    backup.writeIni(home.path, parent + ".ini.backup");
    {
        keeperClient client(nullptr, 1);
        EXPECT_TRUE(backup.accept());
    }
    parents.writeIni(home.path, parent + ".ini");
    keeperClient client(nullptr, 1);
    EXPECT_TRUE(parents.accept());
    EXPECT_FALSE(fallback.accept());
}

TEST(ClientConnect, UnconfiguredPortLeavesItDisconnectedForGood) {
    HomeDir home;
    FakeKeeper keeper;
    keeper.writeIni(home.path, "vardo.ini");
    {
        std::ofstream ini(home.path + "/conf/vardo.ini");
        ini << "[general]\nkeeper ip = 127.0.0.1\nkeeper port = 0\n";
    }
    EvEngine engine;
    keeperClient client(&engine, 1);
    EXPECT_EQ(-1, client.get_keeperSock());
    EXPECT_EQ(KEEPER_FAIL, client.restart_ps("x"));
    EXPECT_EQ(KEEPER_FAIL, client.send_checkAlive());
}

TEST(ClientConnect, RefusedConnectionLeavesNoSocket) {
    FakeKeeper keeper;
    keeper.close();
    keeperClient client(nullptr, "x", int(htonl(INADDR_LOOPBACK)), keeper.port());
    EXPECT_EQ(-1, client.get_keeperSock());
    EXPECT_EQ(KEEPER_FAIL, client.list_procs(nullptr));
}

TEST_F(ClientTest, InitAnnouncesTypePidNameAndTime) {
    EXPECT_EQ(KEEPER_OK, client->init(1));
    FakeMessage msg = expect(KEEPER_INIT);
    ASSERT_EQ(112u, msg.header.length);
    EXPECT_EQ(0u, msg.header.id);
    EXPECT_EQ(1u, msg.word(0));
    EXPECT_EQ(uint32_t(getpid()), msg.word(1));
    EXPECT_EQ("tester", msg.text(8));
    EXPECT_NEAR(double(time(nullptr)), double(msg.word(27)), 5.0);
}

TEST_F(ClientTest, OneWayRequestsCarryTheirFields) {
    client->restart_ps("mod");
    FakeMessage msg = expect(KEEPER_ACTION_ON_PS);
    EXPECT_EQ(104u, msg.header.length);
    EXPECT_EQ(2u, msg.word(0));
    EXPECT_EQ("mod", msg.text(4));

    client->stop_check("chk");
    msg = expect(KEEPER_ACTION_ON_CHECK);
    EXPECT_EQ(1u, msg.word(0));
    EXPECT_EQ("chk", msg.text(4));

    client->set_flag_mode("flag", true);
    msg = expect(KEEPER_SET_FLAG);
    EXPECT_EQ(1u, msg.word(0));
    EXPECT_EQ("flag", msg.text(4));

    client->set_task_mode("task", true, false);
    msg = expect(KEEPER_SET_TASK);
    EXPECT_EQ(108u, msg.header.length);
    EXPECT_EQ(1u, msg.word(0));
    EXPECT_EQ(0u, msg.word(1));
    EXPECT_EQ("task", msg.text(8));

    client->list_callbacks("task", on_list);
    msg = expect(KEEPER_PRINT_CB);
    EXPECT_EQ(2u, msg.word(0));

    KeeperCommand command = {COMMAND_REBOOT, SHUTDOWN_DELAY, 30};
    client->send_command(command);
    msg = expect(KEEPER_COMMAND);
    EXPECT_EQ(12u, msg.header.length);
    EXPECT_EQ(1u, msg.word(0));
    EXPECT_EQ(2u, msg.word(1));
    EXPECT_EQ(30u, msg.word(2));
    EXPECT_EQ(5u, msg.header.id);
}

TEST_F(ClientTest, ArgumentVectorsAreJoinedWithSingleBlanks) {
    char task[] = "task", cb[] = "cb", a[] = "a", b[] = "b";
    char* argv[] = {task, cb, a, b};
    EXPECT_EQ(KEEPER_OK, client->activate_callback(argv, 4));
    FakeMessage msg = expect(KEEPER_RUN_CB);
    EXPECT_EQ(304u, msg.header.length);
    EXPECT_EQ(2u, msg.word(0));
    EXPECT_EQ("task", msg.text(4));
    EXPECT_EQ("cb", msg.text(104));
    EXPECT_EQ("a b", msg.text(204));

    EXPECT_EQ(KEEPER_OK, client->set_check(argv + 1, 3));
    msg = expect(KEEPER_SET_CHECK);
    EXPECT_EQ(200u, msg.header.length);
    EXPECT_EQ("cb", msg.text(0));
    EXPECT_EQ("a b", msg.text(100));

    EXPECT_EQ(KEEPER_FAIL, client->activate_callback(argv, 1));
    EXPECT_EQ(KEEPER_FAIL, client->set_check(argv, 1));
    EXPECT_TRUE(keeper.quiet());
}

TEST_F(ClientTest, TextsTooLongForTheirFieldAreRefused) {
    std::string longName(300, 'm');
    EXPECT_EQ(KEEPER_FAIL, client->restart_ps(longName.c_str()));
    EXPECT_EQ(KEEPER_FAIL, client->activate_callback("t", "cb", longName.c_str()));
    EXPECT_EQ(KEEPER_FAIL, client->register_callback(longName.c_str(), "", on_run, nullptr));
    EXPECT_TRUE(keeper.quiet());
    std::string longest(99, 'm');
    EXPECT_EQ(KEEPER_OK, client->restart_ps(longest.c_str()));
    EXPECT_EQ(longest, expect(KEEPER_ACTION_ON_PS).text(4));
}

TEST_F(ClientTest, GetConfReturnsTheConvertedRecordAndServesEventsMeanwhile) {
    seen = Seen();
    client->register_event(EVENT_GRP_HOST, 1, on_event);
    expect(KEEPER_REGISTER_EVENT);
    sendEvent(keeper, EVENT_GRP_HOST, 1, "ev");
    KeeperConfigMsg reply = {};
    reply.cmd = htonl(CONFIG_DEV_MODE);
    reply.data.cursor = htonl(7);
    reply.data.data.word[0] = htonl(2);
    keeper.send(KEEPER_GET_CONFIG, &reply, sizeof reply);

    ConfigAll data = {};
    data.cursor = 28;
    EXPECT_EQ(KEEPER_OK, client->get_conf(CONFIG_DEV_MODE, &data));
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ(7u, data.cursor);
    EXPECT_EQ(2u, data.data.word[0]);
    FakeMessage msg = expect(KEEPER_GET_CONFIG);
    EXPECT_EQ(272u, msg.header.length);
    EXPECT_EQ(uint32_t(CONFIG_DEV_MODE), msg.word(0));
    EXPECT_EQ(28u, msg.word(2));
}

TEST_F(ClientTest, ConfigRequestsAnswerTheRepliesStatus) {
    KeeperConfigMsg reply = {};
    reply.cmd = htonl(CONFIG_HOST);
    reply.status = htonl(KEEPER_NO_CHANGE);
    keeper.send(KEEPER_SET_CONFIG, &reply, sizeof reply);
    ConfigAll data = {};
    EXPECT_EQ(KEEPER_NO_CHANGE, client->set_conf(CONFIG_HOST, &data));
    // A refused read is no success either.
    reply.status = htonl(KEEPER_FAIL);
    keeper.send(KEEPER_GET_CONFIG, &reply, sizeof reply);
    EXPECT_EQ(KEEPER_FAIL, client->get_conf(CONFIG_HOST, &data));
    EXPECT_GE(client->get_keeperSock(), 0);

    // A reply of the wrong size is read away whole and fails the call.
    keeper.send(KEEPER_SET_CONFIG, &reply, 100);
    EXPECT_EQ(KEEPER_FAIL, client->set_conf(CONFIG_HOST, &data));
    keeper.send(KEEPER_CHECK_ALIVE, nullptr, 0);
    EXPECT_EQ(KEEPER_OK, client->read_callback(nullptr, nullptr));
    EXPECT_EQ(1u, client->get_keep_alive_received());
}

TEST_F(ClientTest, ReloadAnswersTheDaemonsStatusServingEventsMeanwhile) {
    seen = Seen();
    client->register_event(EVENT_GRP_HOST, 1, on_event);
    expect(KEEPER_REGISTER_EVENT);
    sendEvent(keeper, EVENT_GRP_HOST, 1, "ev");
    const KeeperReloadReply nothing = {htonl(KEEPER_NO_CHANGE)};
    keeper.send(KEEPER_RELOAD, &nothing, sizeof nothing);
    EXPECT_EQ(KEEPER_NO_CHANGE, client->reload());
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ(0u, expect(KEEPER_RELOAD).header.length);

    // A reply of the wrong size is read away and fails; silence fails too.
    keeper.send(KEEPER_RELOAD, &nothing, 2);
    EXPECT_EQ(KEEPER_FAIL, client->reload());
    EXPECT_EQ(KEEPER_FAIL, client->reload());
    EXPECT_GE(client->get_keeperSock(), 0);
}

TEST_F(ClientTest, SynchronousRequestsGiveUpAfterTheWait) {
    auto start = std::chrono::steady_clock::now();
    int count = 5;
    CardInfo* list = reinterpret_cast<CardInfo*>(&count);
    EXPECT_EQ(KEEPER_FAIL, client->get_card_list(&count, &list));
    EXPECT_EQ(0, count);
    EXPECT_EQ(nullptr, list);
    // An event followed by silence is no answer either.
    sendEvent(keeper, EVENT_GRP_HOST, 1, "");
    ConfigAll data = {};
    EXPECT_EQ(KEEPER_FAIL, client->get_conf(CONFIG_HOST, &data));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(ClientTest, DaemonStallingMidMessageIsGivenUpWithinTheWait) {
    // Half a header reaching the engine's handler: the program's loop is
    // held no longer than the wait, and the connection is dropped.
    auto start = std::chrono::steady_clock::now();
    uint32_t header[3] = {htonl(KEEPER_GET_CONFIG), htonl(1), htonl(sizeof(KeeperConfigMsg))};
    keeper.sendRaw(header, 6);
    EXPECT_EQ(-1, client->handleInput(nullptr));
    EXPECT_EQ(-1, client->get_keeperSock());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    Ticker ticker(engine, 12, &clock);
    engine.run();
    ASSERT_TRUE(keeper.accept());
    expect(KEEPER_INIT);

    // A whole header and half the reply's payload, then silence.
    start = std::chrono::steady_clock::now();
    std::vector<unsigned char> half(sizeof header + 100, 0);
    memcpy(half.data(), header, sizeof header);
    keeper.sendRaw(half.data(), half.size());
    ConfigAll data = {};
    EXPECT_EQ(KEEPER_FAIL, client->get_conf(CONFIG_HOST, &data));
    EXPECT_EQ(-1, client->get_keeperSock());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(ClientTest, TricklingDaemonCannotStretchTheWait) {
    // A byte at a time, each well within the wait: the reply as a whole
    // still has to come within it.
    std::atomic<bool> stop(false);
    std::thread trickle([&] {
        uint32_t header[3] = {htonl(KEEPER_PRINT_ACK), htonl(1), htonl(4000)};
        keeper.sendRaw(header, sizeof header);
        for (int i = 0; i < 200 && !stop; ++i) {
            keeper.sendRaw("x", 1);
            usleep(20000);
        }
    });
    auto start = std::chrono::steady_clock::now();
    ConfigAll data = {};
    EXPECT_EQ(KEEPER_FAIL, client->get_conf(CONFIG_HOST, &data));
    auto took = std::chrono::steady_clock::now() - start;
    stop = true;
    trickle.join();
    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_EQ(-1, client->get_keeperSock());
}

TEST_F(ClientTest, LengthBeyondTheLargestPayloadIsRefusedBeforeAllocating) {
    lastListing = "untouched";
    client->list_procs(on_list);
    expect(KEEPER_PRINT_PS);
    // On a 32-bit build this length plus one byte for the NUL wraps to 0.
    uint32_t header[3] = {htonl(KEEPER_PRINT_ACK), htonl(1), 0xFFFFFFFF};
    keeper.sendRaw(header, sizeof header);
    keeper.sendRaw("listing", 7);
    unsigned type = ~0u;
    EXPECT_EQ(KEEPER_FAIL, client->read_callback(&type, nullptr));
    EXPECT_EQ(~0u, type);
    EXPECT_EQ("untouched", lastListing);
    EXPECT_EQ(-1, client->get_keeperSock());
}

TEST_F(ClientTest, CardListReplyIsHandedOver) {
    std::vector<unsigned char> body(8 + 2 * sizeof(CardInfo));
    uint32_t head[2] = {htonl(0), htonl(2)};
    memcpy(body.data(), head, 8);
    CardInfo card = {};
    card.word[0] = htonl(9);
    memcpy(body.data() + 8 + sizeof card, &card, sizeof card);
    keeper.send(KEEPER_GET_UNIT_LIST, body.data(), uint32_t(body.size()));
    int count = 0;
    CardInfo* list = nullptr;
    EXPECT_EQ(KEEPER_OK, client->get_card_list(&count, &list));
    ASSERT_EQ(2, count);
    EXPECT_EQ(9u, list[1].word[0]);
    delete[] list;
}

TEST_F(ClientTest, EventsAreDeliveredToTheirGroupsCallback) {
    seen = Seen();
    EXPECT_EQ(KEEPER_OK, client->register_event(EVENT_GRP_LINK, 0x4, on_event));
    FakeMessage msg = expect(KEEPER_REGISTER_EVENT);
    EXPECT_EQ(0u, msg.word(0));
    EXPECT_EQ(uint32_t(EVENT_GRP_LINK), msg.word(1));
    EXPECT_EQ(4u, msg.word(2));

    sendEvent(keeper, EVENT_GRP_LINK, 0x10, "hello");
    EXPECT_EQ(KEEPER_OK, client->read_callback(nullptr, nullptr));
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ(0x10u, seen.id);  // the sender's id, not the registered one
    EXPECT_EQ("hello", seen.data);

    sendEvent(keeper, EVENT_GRP_HOST, 1, "x");
    EXPECT_EQ(KEEPER_OK, client->read_callback(nullptr, nullptr));
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ(KEEPER_FAIL, client->register_event(64, 1, on_event));
}

TEST_F(ClientTest, AllGroupsSubscriptionIsClearedByItsUnregister) {
    seen = Seen();
    EXPECT_EQ(KEEPER_OK, client->register_event(EVENT_GRP_ALL, 5, on_event));
    EXPECT_EQ(uint32_t(EVENT_GRP_ALL), expect(KEEPER_REGISTER_EVENT).word(1));
    sendEvent(keeper, 62, 5, "");
    client->read_callback(nullptr, nullptr);
    EXPECT_EQ(1, seen.calls);

    EXPECT_EQ(KEEPER_OK, client->unregister_event(EVENT_GRP_ALL, 5));
    FakeMessage msg = expect(KEEPER_REGISTER_EVENT);
    EXPECT_EQ(1u, msg.word(0));
    EXPECT_EQ(uint32_t(EVENT_GRP_ALL), msg.word(1));
    sendEvent(keeper, 3, 5, "");
    client->read_callback(nullptr, nullptr);
    EXPECT_EQ(1, seen.calls);
}

TEST_F(ClientTest, EventDataIsBoundedAndConsistent) {
    std::vector<char> data(513, 'd');
    EXPECT_EQ(KEEPER_FAIL, client->send_event(30, 1, data.data(), 513));
    EXPECT_EQ(KEEPER_FAIL, client->send_event(30, 1, data.data(), 0));
    EXPECT_EQ(KEEPER_FAIL, client->send_event(30, 1, nullptr, 8));
    EXPECT_EQ(KEEPER_FAIL, client->send_event(64, 1, nullptr, 0));
    EXPECT_TRUE(keeper.quiet());
    EXPECT_EQ(KEEPER_OK, client->send_event(30, 7, data.data(), 512));
    FakeMessage msg = expect(KEEPER_NOTIFY_EVENT);
    EXPECT_EQ(524u, msg.header.length);
    EXPECT_EQ(7u, msg.word(0));
    EXPECT_EQ(30u, msg.word(1));
    EXPECT_EQ(512u, msg.word(2));
    EXPECT_EQ(KEEPER_OK, client->send_event(30, 7, nullptr, 0));
    EXPECT_EQ(12u, expect(KEEPER_NOTIFY_EVENT).header.length);
}

TEST_F(ClientTest, EventWhoseLengthsDisagreeIsDroppedWithoutLosingStep) {
    seen = Seen();
    client->register_event(3, 1, on_event);
    expect(KEEPER_REGISTER_EVENT);
    uint32_t words[4] = {htonl(1), htonl(3), htonl(400), 0};
    keeper.send(KEEPER_NOTIFY_EVENT, words, sizeof words);
    keeper.send(KEEPER_CHECK_ALIVE, nullptr, 0);
    EXPECT_EQ(KEEPER_OK, client->read_callback(nullptr, nullptr));
    EXPECT_EQ(0, seen.calls);
    unsigned type = 0;
    EXPECT_EQ(KEEPER_OK, client->read_callback(&type, nullptr));
    EXPECT_EQ(unsigned(KEEPER_CHECK_ALIVE), type);
}

// Messages that arrive together are taken by one receive: a read serves
// one and the rest wait in the buffer, which says so; a synchronous wait
// finds its reply there without polling; the engine's handler serves every
// whole message there, and one cut short stays until its rest comes.
TEST_F(ClientTest, MessagesReceivedTogetherAreServedFromTheBuffer) {
    seen = Seen();
    client->register_event(3, 1, on_event);
    expect(KEEPER_REGISTER_EVENT);
    // One send each, so that they arrive together.
    std::vector<unsigned char> burst;
    for (const char* data : {"a", "b", "c"}) {
        std::vector<unsigned char> frame = eventFrame(3, 1, data);
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    KeeperConfigMsg reply = {};
    reply.cmd = htonl(CONFIG_HOST);
    reply.status = htonl(KEEPER_NO_CHANGE);
    std::vector<unsigned char> replyFrame = keeperFrame(KEEPER_SET_CONFIG, 1, &reply, sizeof reply);
    burst.insert(burst.end(), replyFrame.begin(), replyFrame.end());
    keeper.sendRaw(burst.data(), burst.size());
    EXPECT_FALSE(client->has_buffered_message());
    EXPECT_EQ(KEEPER_OK, client->read_callback(nullptr, nullptr));
    EXPECT_EQ(1, seen.calls);
    EXPECT_TRUE(client->has_buffered_message());
    ConfigAll data = {};
    EXPECT_EQ(KEEPER_NO_CHANGE, client->set_conf(CONFIG_HOST, &data));
    EXPECT_EQ(3, seen.calls) << "the events before the reply served on the way, in order";
    EXPECT_EQ("c", seen.data);
    EXPECT_FALSE(client->has_buffered_message());

    burst = eventFrame(3, 1, "d");
    std::vector<unsigned char> frame = eventFrame(3, 1, "e");
    burst.insert(burst.end(), frame.begin(), frame.end());
    std::vector<unsigned char> last = eventFrame(3, 1, "z");
    burst.insert(burst.end(), last.begin(), last.begin() + 20);
    keeper.sendRaw(burst.data(), burst.size());
    EXPECT_EQ(0, client->handleInput(nullptr));
    EXPECT_EQ(5, seen.calls);
    EXPECT_FALSE(client->has_buffered_message()) << "a message cut short is not whole";
    keeper.sendRaw(last.data() + 20, last.size() - 20);
    EXPECT_EQ(0, client->handleInput(nullptr));
    EXPECT_EQ(6, seen.calls);
    EXPECT_EQ("z", seen.data);
    EXPECT_GE(client->get_keeperSock(), 0);
}

TEST_F(ClientTest, CallbacksAreRegisteredOnceAndRunWithTerminatedArguments) {
    unsigned id = 99;
    EXPECT_EQ(KEEPER_OK, client->register_callback("dump", "dump state", on_run, &id));
    EXPECT_EQ(0u, id);
    FakeMessage msg = expect(KEEPER_REGISTER_CB);
    EXPECT_EQ(204u, msg.header.length);
    EXPECT_EQ(0u, msg.word(0));
    EXPECT_EQ("dump", msg.text(4));
    EXPECT_EQ("dump state", msg.text(104));
    EXPECT_EQ(KEEPER_FAIL, client->register_callback("dump", "again", on_run, &id));

    KeeperRunCbReply run;
    run.cbId = htonl(0);
    memset(run.args, 'a', sizeof run.args);  // no terminating NUL
    keeper.send(KEEPER_RUN_CB, &run, sizeof run);
    EXPECT_EQ(KEEPER_OK, client->read_callback(nullptr, nullptr));
    EXPECT_EQ(std::string(99, 'a'), lastArgs);
}

TEST_F(ClientTest, ListingsReachTheHookAsTerminatedText) {
    lastListing.clear();
    EXPECT_EQ(KEEPER_OK, client->list_procs(on_list));
    expect(KEEPER_PRINT_PS);
    keeper.send(KEEPER_PRINT_ACK, "a x\nb y\n", 8);  // no NUL sent
    EXPECT_EQ(KEEPER_OK, client->read_callback(nullptr, nullptr));
    EXPECT_EQ("a x\nb y\n", lastListing);
    EXPECT_EQ(8u, lastListingLen);
}

namespace {
int hookCalls = 0;
void count_hook() { ++hookCalls; }
volatile sig_atomic_t signalled = 0;
void on_signal() { signalled = signalled + 1; }
}  // namespace

TEST_F(ClientTest, KeepAliveProbesAreAnswered) {
    hookCalls = 0;
    client->set_keep_alive_hook(count_hook);
    keeper.send(KEEPER_CHECK_ALIVE, nullptr, 0);
    EXPECT_EQ(KEEPER_OK, client->read_callback(nullptr, nullptr));
    FakeMessage msg = expect(KEEPER_CHECK_ALIVE);
    EXPECT_EQ(0u, msg.header.length);
    EXPECT_EQ(1, hookCalls);
    EXPECT_EQ(1u, client->get_keep_alive_received());
    EXPECT_EQ(1u, client->get_keep_alive_sent());
}

TEST(ClientSignal, SigusrTwoRunsTheProgramsKeepAliveFunctionEveryTime) {
    HomeDir home;  // no INI: the client stays disconnected
    keeperClient client(nullptr, 0);
    signalled = 0;
    keeperClient::_keep_alive_signal_foo = on_signal;
    raise(SIGUSR2);
    raise(SIGUSR2);
    keeperClient::_keep_alive_signal_foo = nullptr;
    EXPECT_EQ(2, signalled);
}

TEST_F(ClientTest, QuitRunsTheHookOrEndsTheProgram) {
    hookCalls = 0;
    client->set_quit_hook(count_hook);
    keeper.send(KEEPER_QUIT, nullptr, 0);
    client->read_callback(nullptr, nullptr);
    EXPECT_EQ(1, hookCalls);

    client->set_quit_hook(nullptr);
    keeper.send(KEEPER_QUIT, nullptr, 0);
    EXPECT_EXIT(client->read_callback(nullptr, nullptr), ::testing::ExitedWithCode(1), "");
}

TEST_F(ClientTest, LostDaemonFailsTheRequestInsteadOfRaisingSigpipe) {
    keeper.hangUp();
    keeperStatus rc = KEEPER_OK;
    for (int i = 0; i < 50 && rc == KEEPER_OK; ++i) {
        rc = client->restart_ps("m");
        usleep(2000);
    }
    EXPECT_EQ(KEEPER_FAIL, rc);
    EXPECT_EQ(-1, client->get_keeperSock());
    EXPECT_EQ(KEEPER_FAIL, client->restart_ps("m"));

    // The reconnect timer brings the connection back.
    client->register_event(3, 1, on_event);  // refused while disconnected
    Ticker ticker(engine, 12, &clock);
    engine.run();
    EXPECT_TRUE(keeper.accept());
    EXPECT_EQ(1u, expect(KEEPER_INIT).word(0));  // the named client's type
}

TEST_F(ClientTest, ReconnectAnnouncesItselfAndRepeatsEveryRegistration) {
    client->init(1);
    expect(KEEPER_INIT);
    client->register_event(3, 0x4, on_event);
    client->register_event(5, 0x1, on_event);
    client->register_callback("a", "x", on_run, nullptr);
    client->register_callback("b", "y", on_run, nullptr);
    for (int i = 0; i < 4; ++i) expect(i < 2 ? KEEPER_REGISTER_EVENT : KEEPER_REGISTER_CB);

    // The daemon goes away: the engine sees the close and the timer, ten
    // seconds later, connects again.
    keeper.hangUp();
    Ticker ticker(engine, 12, &clock);
    engine.run();
    ASSERT_TRUE(keeper.accept());
    EXPECT_EQ(1u, expect(KEEPER_INIT).word(0));  // the type once set is kept
    FakeMessage msg = expect(KEEPER_REGISTER_EVENT);
    EXPECT_EQ(3u, msg.word(1));
    EXPECT_EQ(4u, msg.word(2));
    EXPECT_EQ(5u, expect(KEEPER_REGISTER_EVENT).word(1));
    EXPECT_EQ("a", expect(KEEPER_REGISTER_CB).text(4));
    msg = expect(KEEPER_REGISTER_CB);
    EXPECT_EQ(1u, msg.word(0));
    EXPECT_EQ("b", msg.text(4));
}

TEST_F(ClientTest, LateConfigReplyWithFailureKeepsTheConnection) {
    KeeperConfigMsg reply = {};
    reply.status = htonl(KEEPER_FAIL);
    keeper.send(KEEPER_SET_CONFIG, &reply, sizeof reply);
    EXPECT_EQ(0, client->handleInput(nullptr));
    EXPECT_GE(client->get_keeperSock(), 0);
    keeper.hangUp();
    EXPECT_EQ(-1, client->handleInput(nullptr));
}

TEST_F(ClientTest, AllGroupsSubscriptionIsRepeatedAsOne) {
    client->register_event(EVENT_GRP_ALL, 0xFFFFFFFF, on_event);
    expect(KEEPER_REGISTER_EVENT);
    client->_reregister_keeper();
    FakeMessage msg = expect(KEEPER_REGISTER_EVENT);
    EXPECT_EQ(uint32_t(EVENT_GRP_ALL), msg.word(1));
    EXPECT_EQ(0xFFFFFFFFu, msg.word(2));
    EXPECT_TRUE(keeper.quiet());
}

TEST(ClientCapabilities, ModesAndRedundancyFollowTheCapabilityBits) {
    EXPECT_EQ(1, check_supported(3, 2, 0x08));
    EXPECT_EQ(0, check_supported(3, 3, 0x08));
    EXPECT_EQ(1, check_supported(1, 1, 0x40));
    EXPECT_EQ(1, check_supported(4, 3, 0x10));
    EXPECT_EQ(0, check_supported(5, 2, 0xFFFF));
    EXPECT_EQ(1, check_supported_redundancy(0, 0));
    EXPECT_EQ(1, check_supported_redundancy(3, 0x4));
    EXPECT_EQ(0, check_supported_redundancy(2, 0x1));
    EXPECT_EQ(0, check_supported_redundancy(4, 0xFF));
}
