// Programs on keeperClient under the real daemon: subscriptions by mask and
// for every group, published events up to their size limit, callbacks with
// a duplicate name, and a client that outlives a daemon restart.
#include <arpa/inet.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <initializer_list>
#include <string>

#include "protocol/keeper_msg.h"
#include "tests/e2e/client_fixture.h"
#include "tests/e2e/test_client.h"

namespace e2e {
namespace {

class E2eClientEvents : public ClientTest {
protected:
    // Publishing goes through the publisher's "publish" callback, so that the
    // event leaves a real keeperClient.
    void publish(unsigned group, const std::string& id, unsigned len) {
        ASSERT_EQ(vardoctl("-c pub publish " + std::to_string(group) + " " + id + " " +
                           std::to_string(len))
                      .status,
                  0);
    }
    static std::string subscriber(const std::string& name, const std::string& subs) {
        return kcTask(name, 2, "--record ${REC}/" + name + " " + subs);
    }
    void startAll(const std::string& tasks) {
        writeIni(generalWithIp() + kcTask("pub", 1, "--record ${REC}/pub") + tasks);
        startVardo();
        ASSERT_TRUE(waitReady("pub", "pub"));
    }
    // Publishes events of these data lengths from one bare connection, as
    // any client may.
    void publishRaw(unsigned group, unsigned id, std::initializer_list<unsigned> lengths) {
        TestClient raw;
        ASSERT_TRUE(raw.connect(port()));
        for (unsigned len : lengths) {
            std::string payload(12 + len, 'x');
            const uint32_t words[3] = {htonl(id), htonl(group), htonl(len)};
            memcpy(&payload[0], words, sizeof words);
            ASSERT_TRUE(raw.send(KEEPER_NOTIFY_EVENT, payload.data(),
                                 static_cast<unsigned>(payload.size())));
        }
    }
    // A registration is sent before the program records it; one round trip
    // of the daemon's listing tells that everything sent before is handled.
    void settleDaemon() { vardoctl("-l"); }
};

TEST_F(E2eClientEvents, MasksSelectTheEventsOfAGroup) {
    startAll(subscriber("masked", "--subscribe 3:0x4 --subscribe 3:0x10") +
             subscriber("every", "--subscribe 3:0xFFFFFFFF"));
    ASSERT_TRUE(waitReady("masked", "masked"));
    ASSERT_TRUE(waitReady("every", "every"));
    settleDaemon();
    publish(3, "0x10", 4);
    publish(3, "0x1", 4);
    publish(3, "0", 0);
    publish(4, "0x10", 4);
    ASSERT_TRUE(waitCount("every", "event:3:", 3));
    ASSERT_TRUE(waitCount("pub", "sent:4:", 1));
    settleDaemon();
    EXPECT_EQ(countRecords("masked", "event:3:16:4:0"), 1u);
    EXPECT_EQ(countRecords("masked", "event:"), 1u);
    EXPECT_EQ(countRecords("every", "event:3:1:4"), 1u);
    EXPECT_EQ(countRecords("every", "event:3:0:0:-"), 1u);
    EXPECT_EQ(countRecords("every", "event:4:"), 0u);
    // The publisher subscribed to nothing and hears nothing.
    EXPECT_EQ(countRecords("pub", "event:"), 0u);
}

TEST_F(E2eClientEvents, EventSizeLimitIs512Bytes) {
    startAll(subscriber("sub", "--subscribe 5:0xFFFFFFFF"));
    ASSERT_TRUE(waitReady("sub", "sub"));
    settleDaemon();
    publish(5, "7", 512);
    publish(5, "7", 513);
    ASSERT_TRUE(waitCount("pub", "sent:5:7:513:2", 1));
    ASSERT_TRUE(waitCount("sub", "event:5:7:512:0", 1));
    settleDaemon();
    EXPECT_EQ(countRecords("pub", "sent:5:7:512:0"), 1u);
    EXPECT_EQ(countRecords("sub", "event:"), 1u);

    // A raw 513-byte event straight from a connection is refused by the
    // daemon, and the publisher's next event is delivered.
    publishRaw(5, 7, {513, 512});
    ASSERT_TRUE(waitCount("sub", "event:", 2));
    settleDaemon();
    EXPECT_EQ(countRecords("sub", "event:5:7:512:"), 2u);
    EXPECT_EQ(countRecords("sub", "event:5:7:513"), 0u);
    EXPECT_TRUE(vardoRunning());
}

TEST_F(E2eClientEvents, GroupAllSubscribesToEveryEventAndUnsubscribesEveryGroup) {
    // The id given with group 63 does not narrow the subscription.
    startAll(subscriber("all", "--subscribe 63:0x5"));
    ASSERT_TRUE(waitReady("all", "all"));
    settleDaemon();
    publish(0, "0x2", 1);
    publish(40, "0x3", 1);
    publish(24, "0x80", 1);
    ASSERT_TRUE(waitCount("all", "event:24:128:", 1));
    settleDaemon();
    EXPECT_EQ(countRecords("all", "event:0:2:"), 1u);
    EXPECT_EQ(countRecords("all", "event:40:3:"), 1u);

    // Unregistering group 63 must leave the program subscribed to nothing.
    ASSERT_EQ(vardoctl("-c all unsubscribe 63 0x5").status, 0);
    settleDaemon();
    publish(0, "0x2", 1);
    publish(40, "0xFFFFFFFF", 1);
    publish(24, "0x1", 1);
    ASSERT_TRUE(waitCount("pub", "sent:", 6));
    settleDaemon();
    EXPECT_EQ(countRecords("all", "event:0:"), 1u);
    EXPECT_EQ(countRecords("all", "event:40:"), 1u);
    EXPECT_EQ(countRecords("all", "event:24:"), 1u);
}

TEST_F(E2eClientEvents, DuplicateCallbackNameRefusedPerProgram) {
    writeIni(generalWithIp() + psTask("one", 1, "--record ${REC}/one") +
             psTask("two", 1, "--record ${REC}/two"));
    startVardo();
    ASSERT_TRUE(waitRecords("one", "start", 1));
    ASSERT_TRUE(waitRecords("two", "start", 1));
    // Two connections that present themselves as the programs of the tasks.
    auto registerCb = [](TestClient& client, unsigned id, const char* name, const char* text) {
        char payload[204] = {};
        const uint32_t netId = htonl(id);
        memcpy(payload, &netId, 4);
        // Fields filled to the brim, without a terminating NUL: the daemon
        // must cut them within their 100 bytes.
        memset(payload + 4, 'z', 100);
        memcpy(payload + 4, name, strlen(name) + 1);
        memset(payload + 104, 'y', 100);
        if (text) memcpy(payload + 104, text, strlen(text) + 1);
        return client.send(KEEPER_REGISTER_CB, payload, sizeof payload);
    };
    TestClient one, two;
    ASSERT_TRUE(one.connect(port()) && one.init(1, records("one", "start")[0].pid, "one"));
    ASSERT_TRUE(two.connect(port()) && two.init(1, records("two", "start")[0].pid, "two"));
    ASSERT_TRUE(registerCb(one, 0, "a", "x"));
    ASSERT_TRUE(registerCb(one, 1, "b", "y"));
    ASSERT_TRUE(registerCb(one, 2, "a", "other"));
    ASSERT_TRUE(registerCb(two, 0, "a", "x"));
    ASSERT_TRUE(registerCb(two, 1, "b", nullptr));
    settleDaemon();
    EXPECT_EQ(vardoctl("-L one").out, "a x\nb y\n\n");
    const ToolRun two_list = vardoctl("-L two");
    EXPECT_EQ(two_list.out.substr(0, 4), "a x\n");
    // The unterminated text was cut at 99 characters.
    EXPECT_NE(two_list.out.find("b " + std::string(99, 'y') + "\n"), std::string::npos);
    EXPECT_EQ(two_list.out.find(std::string(100, 'y')), std::string::npos);

    // Running b on one sends the program its callback id and the arguments.
    ASSERT_EQ(vardoctl("-c one b hello there").status, 0);
    Message msg;
    ASSERT_TRUE(one.readType(KEEPER_RUN_CB, msg, 3000));
    ASSERT_EQ(msg.payload.size(), 104u);
    uint32_t id;
    memcpy(&id, msg.payload.data(), 4);
    EXPECT_EQ(ntohl(id), 1u);
    EXPECT_STREQ(msg.payload.data() + 4, "hello there");
}

TEST_F(E2eClientEvents, ClientReRegistersAfterDaemonRestart) {
    // The program runs outside the daemon's care. The task of its name runs
    // a stand-in that never connects: an init naming a running task binds
    // the connection, one naming a task without a program is refused.
    writeIni(generalWithIp() + psTask("e2e_kc_prog", 1, "--record ${REC}/stand-in"));
    startVardo();
    ASSERT_TRUE(waitRecords("stand-in", "start", 1));
    const std::string rec = recordPath("outside");
    const pid_t outside = fork();
    ASSERT_GE(outside, 0);
    if (outside == 0) {
        setenv("VELTO_HOME", home().c_str(), 1);
        setenv("VARDO_E2E_RECONNECT_DELAY", "1", 1);
        execl(E2E_KC_PROG_PATH, "e2e_kc_prog", "--record", rec.c_str(), "--subscribe", "6:0x1",
              "--callback", "ping", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(waitCount("outside", "reg:ping:0", 1));
    settleDaemon();
    publishRaw(6, 1, {2});
    ASSERT_TRUE(waitCount("outside", "event:6:1:2:", 1));

    // The daemon dies without a word: a stop would send the bound program
    // the quit request of its task.
    kill(vardoPid(), SIGKILL);
    ASSERT_NE(waitVardoExit(3000), -1);
    startVardo();
    ASSERT_TRUE(waitRecords("stand-in", "start", 2));
    // The client retries every second (the library's delay, shortened for
    // the test); its callback is listed again once it re-registered
    // everything.
    ASSERT_TRUE(
        waitFor([&] { return vardoctl("-L e2e_kc_prog").out.find("ping") != std::string::npos; },
                15000, 200));
    settleDaemon();
    publishRaw(6, 1, {3});
    EXPECT_TRUE(waitCount("outside", "event:6:1:3:", 1));
    ASSERT_EQ(vardoctl("-c e2e_kc_prog ping again").status, 0);
    EXPECT_TRUE(waitCount("outside", "cb:ping:again", 1));
    kill(outside, SIGKILL);
    waitpid(outside, nullptr, 0);
}

}  // namespace
}  // namespace e2e
