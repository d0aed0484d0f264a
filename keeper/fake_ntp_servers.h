// Test helper: fake SNTP servers on loopback addresses that answer the
// daemon's requests with replies of every kind, or stay silent.
#ifndef KEEPER_FAKE_NTP_SERVERS_H
#define KEEPER_FAKE_NTP_SERVERS_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

enum NtpReply { kOk, kBroadcast, kShort, kLong, kKissOfDeath, kUnsynchronised, kForeign, kSilent };

// Servers at consecutive loopback addresses from `first` (host order) on one
// port (0: any free one), answered from a thread; a reply of kind kForeign
// comes from 127.0.0.99 on the same port.
class FakeNtpServers {
public:
    explicit FakeNtpServers(const std::vector<NtpReply>& kinds, uint32_t first = 0x7F000014,
                            uint16_t on_port = 0)
        : port(on_port), first(first), kinds(kinds.size()) {
        for (size_t i = 0; i < kinds.size(); ++i) {
            this->kinds[i] = kinds[i];
            fds.push_back(bound(address(i)));
        }
        foreign = bound(inet_addr("127.0.0.99"));
        thread = std::thread([this] { serve(); });
    }
    ~FakeNtpServers() {
        stop = true;
        thread.join();
        for (int fd : fds) close(fd);
        close(foreign);
    }

    in_addr_t address(size_t i) const { return htonl(first + static_cast<uint32_t>(i)); }
    void set(size_t i, NtpReply kind) { kinds[i] = kind; }

    uint16_t port;
    std::atomic<int> requests{0};
    std::atomic<int> bad_requests{0};

private:
    int bound(in_addr_t addr) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = addr;
        sa.sin_port = htons(port);
        EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa)) << strerror(errno);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        return fd;
    }

    void serve() {
        std::vector<pollfd> polled;
        for (int fd : fds) polled.push_back(pollfd{fd, POLLIN, 0});
        while (!stop) {
            if (poll(polled.data(), polled.size(), 20) <= 0) continue;
            for (size_t i = 0; i < polled.size(); ++i)
                if (polled[i].revents & POLLIN) answer(i);
        }
    }

    void answer(size_t i) {
        unsigned char in[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fds[i], in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &len);
        bool good = n == 48 && in[0] == 0x1B;
        for (ssize_t b = 1; good && b < n; ++b) good = in[b] == 0;
        ++(good ? requests : bad_requests);
        unsigned char out[64] = {0x24, 2};  // leap 0, version 4, mode 4; stratum 2
        size_t size = 48;
        int from_fd = fds[i];
        switch (kinds[i].load()) {
            case kOk:
                break;
            case kBroadcast:
                out[0] = 0x25;
                break;
            case kShort:
                size = 47;
                break;
            case kLong:
                size = 49;
                break;
            case kKissOfDeath:
                out[1] = 0;
                break;
            case kUnsynchronised:
                out[0] = 0xE4;
                break;
            case kForeign:
                from_fd = foreign;
                break;
            case kSilent:
                return;
        }
        sendto(from_fd, out, size, 0, reinterpret_cast<sockaddr*>(&from), len);
    }

    uint32_t first;
    std::vector<std::atomic<NtpReply>> kinds;
    std::vector<int> fds;
    int foreign = -1;
    std::atomic<bool> stop{false};
    std::thread thread;
};

#endif
