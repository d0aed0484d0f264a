#include "keeper/client_handler.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "keeper/ps_task.h"
#include "keeper/test_support.h"
#include "reactor/ev_sock.h"

namespace {

// A program's connection as the daemon holds it; the test reads what the
// daemon queued for it.
struct Subscriber {
    Subscriber(KeeperFixture& f, const char* name) : task(&f.keeper, &f.timers) {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        peer = fds[1];
        handler = new ClientHandler(&f.engine, &f.keeper);
        f.engine.registerSocket(fds[0], handler, false, 0);
        task.set_name(name);
        task.set_client(handler);
        handler->set_task(&task);
        f.keeper.add_process(&task);
    }
    ~Subscriber() { close(peer); }
    std::string queued() const {
        const EvBuf& out = static_cast<EvSock*>(handler->get_socket())->outBuf();
        return std::string(reinterpret_cast<const char*>(out.data), out.used);
    }

    PsTask task;
    ClientHandler* handler;
    int peer;
};

std::string words(std::initializer_list<uint32_t> values) {
    std::string out;
    for (uint32_t v : values) {
        uint32_t net = htonl(v);
        out.append(reinterpret_cast<const char*>(&net), sizeof net);
    }
    return out;
}

// Header (type, the connection's own message number, length), then id,
// group, data length and data.
std::string event_frame(uint32_t number, uint32_t id, uint32_t group, const std::string& data) {
    return words({KEEPER_NOTIFY_EVENT, number, 12 + static_cast<uint32_t>(data.size()), id, group,
                  static_cast<uint32_t>(data.size())}) +
           data;
}

TEST(EventFanOut, EachSubscriberGetsItsEventsInOrderNumberedByItsConnection) {
    KeeperFixture f;
    Subscriber all(f, "all"), some(f, "some"), none(f, "none");
    f.keeper._register_event(&all.task, 3, 0xFFFFFFFF, 0);
    f.keeper._register_event(&some.task, 3, 0x2, 0);
    char first[] = "first", second[] = "second!";
    ASSERT_EQ(KEEPER_OK, f.keeper.send_event(3, 0x1, first, 5));
    ASSERT_EQ(KEEPER_OK, f.keeper.send_event(3, 0x2, second, 7));
    ASSERT_EQ(KEEPER_OK, f.keeper.send_event(3, 0x6, nullptr, 0));

    EXPECT_EQ(all.queued(), event_frame(1, 0x1, 3, "first") + event_frame(2, 0x2, 3, "second!") +
                                event_frame(3, 0x6, 3, ""));
    EXPECT_EQ(some.queued(), event_frame(1, 0x2, 3, "second!") + event_frame(2, 0x6, 3, ""));
    EXPECT_EQ(none.queued(), "");

    // Listed again, a subscriber is found again; one off the list hears
    // nothing more.
    const std::string allBefore = all.queued(), someBefore = some.queued();
    f.keeper.remove_process(&some.task);
    f.keeper.add_process(&some.task);
    f.keeper.remove_process(&all.task);
    ASSERT_EQ(KEEPER_OK, f.keeper.send_event(3, 0x2, second, 7));
    EXPECT_EQ(some.queued(), someBefore + event_frame(3, 0x2, 3, "second!"));
    EXPECT_EQ(all.queued(), allBefore);
    for (Subscriber* s : {&all, &some, &none}) {
        f.keeper.remove_process(&s->task);
        s->task.set_client(nullptr);
    }
}

}  // namespace
