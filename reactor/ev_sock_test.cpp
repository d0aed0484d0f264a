#include "reactor/ev_sock.h"

#include <gtest/gtest.h>

#include "reactor/ev_test_util.h"

namespace {

class SockTest : public ::testing::Test {
protected:
    // Receives `bytes` from the peer into the socket as one unit.
    void receive(const char* bytes, int n) {
        handler.unit = n;
        ASSERT_EQ(::write(pair.fds[1], bytes, n), n);
        sock.chkState();
        ASSERT_EQ(sock.sread(), 1);
    }
    SockPair pair;
    Recorder handler;
    EvSock sock{1, pair.take(0), &handler};
};

TEST_F(SockTest, PeekReportsUnconsumedBytesAndReadKeepsOnlyASmallBuffer) {
    receive("hello", 5);
    EXPECT_EQ(sock.peek(nullptr, 0), 5);
    unsigned char buf[8] = {};
    EXPECT_EQ(sock.peek(buf, 3), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "hel");
    EXPECT_EQ(sock.read(buf, 2), 2);
    EXPECT_EQ(sock.peek(nullptr, 0), 3);
    EXPECT_EQ(sock.read(buf, 3), 3);
    EXPECT_EQ(sock.peek(nullptr, 0), 0);
    // A small unit's buffer serves the next one; a large one's is freed.
    EXPECT_EQ(sock.inBuf().capacity, 512);
    std::vector<char> large(600, 'z');
    receive(large.data(), 600);
    EXPECT_EQ(sock.inBuf().capacity, 10600);
    std::vector<unsigned char> sink(600);
    EXPECT_EQ(sock.read(sink.data(), 600), 600);
    EXPECT_EQ(sock.inBuf().data, nullptr);
    EXPECT_EQ(sock.inBuf().capacity, 0);
    EXPECT_EQ(sock.peek(nullptr, 0), 0);
}

TEST_F(SockTest, ReadingPastTheUnitIsConfusedAndCloses) {
    receive("abc", 3);
    unsigned char buf[8];
    testing::internal::CaptureStderr();
    EXPECT_EQ(sock.peek(buf, 4), -1);
    EXPECT_NE(sock.getHandle(), -1);  // peek leaves the socket open
    EXPECT_EQ(sock.read(buf, 4), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Socket confused\nSocket confused\n");
    EXPECT_EQ(sock.getHandle(), -1);
}

TEST_F(SockTest, ReceiveStopsAtTheAnnouncedUnit) {
    handler.unit = 4;
    ASSERT_EQ(::write(pair.fds[1], "12345678", 8), 8);
    sock.chkState();
    EXPECT_EQ(sock.getFlags() & EV_WANT_READ, EV_WANT_READ);
    EXPECT_EQ(sock.sread(), 1);
    EXPECT_EQ(sock.peek(nullptr, 0), 4);
    char rest[8];
    EXPECT_EQ(recv(sock.getHandle(), rest, sizeof(rest), MSG_PEEK | MSG_DONTWAIT), 4);
    sock.chkState();
    EXPECT_EQ(sock.getFlags() & (EV_WANT_READ | EV_INPUT_READY), EV_INPUT_READY);
}

TEST_F(SockTest, OutputGrowsBySlackAndDrains) {
    std::vector<unsigned char> bytes(511, 'y');
    EXPECT_EQ(sock.write(bytes.data(), 1), 1);
    EXPECT_EQ(sock.outBuf().capacity, 512);
    EXPECT_EQ(sock.write(bytes.data(), 511), 511);
    EXPECT_EQ(sock.outBuf().capacity, 512);
    EXPECT_EQ(sock.write(bytes.data(), 1), 1);
    EXPECT_EQ(sock.outBuf().capacity, 10513);
    sock.chkState();
    EXPECT_TRUE(sock.getFlags() & EV_WANT_WRITE);
    EXPECT_EQ(sock.swrite(), 1);
    EXPECT_FALSE(sock.getFlags() & EV_WANT_WRITE);
    EXPECT_EQ(sock.outBuf().data, nullptr);
    // A small message's buffer stays for the next one.
    EXPECT_EQ(sock.write(bytes.data(), 1), 1);
    EXPECT_EQ(sock.swrite(), 1);
    EXPECT_EQ(sock.outBuf().capacity, 512);
    EXPECT_EQ(sock.outBuf().used, 0);
    char sink[1024];
    EXPECT_EQ(::read(pair.fds[1], sink, sizeof(sink)), 514);
    // The buffer size learned from the socket is not asked for again, and a
    // write with nothing queued is a success that leaves the socket open.
    EXPECT_GT(sock.outBuf().chunk, 0);
    EXPECT_EQ(sock.swrite(), 1);
    EXPECT_NE(sock.getHandle(), -1);
}

TEST_F(SockTest, ClosedSocketTakesNoOutput) {
    sock.sclose();
    sock.sclose();  // harmless twice
    unsigned char byte = 'x';
    EXPECT_EQ(sock.write(&byte, 1), -1);
}

class SelfDeleting : public EvHandler {
public:
    explicit SelfDeleting(bool& deleted) : deleted(deleted) {}
    ~SelfDeleting() override { deleted = true; }
    int handleClose(EvAdapter*) override { return -1; }

private:
    bool& deleted;
};

TEST(SockCloseTest, NegativeHandleCloseDeletesTheHandler) {
    bool deleted = false;
    SockPair pair;
    EvSock sock(1, pair.take(0), new SelfDeleting(deleted));
    sock.sclose();
    EXPECT_EQ(sock.handleClose(), -1);
    EXPECT_TRUE(deleted);
    EXPECT_EQ(sock.getHandler(), nullptr);
    EXPECT_EQ(sock.handleClose(), 0);
}

}  // namespace
