// Fixture of the end-to-end tests of configuration requests: the
// appliance's files in the test namespace's private /etc and /opt with known
// contents, the daemon started with a program whose connection the test
// takes over to watch the change events, and requests over the wire.
#pragma once

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/wire_text.h"
#include "support/test_util.h"
#include "tests/e2e/test_client.h"
#include "tests/e2e/vardo_fixture.h"

namespace e2e {

inline const char kRcConf[] = "/etc/rc.d/rc.conf";
inline const uint32_t kAllOnes = 0xFFFFFFFFu;
inline const char kProfile[] = "/opt/admin/.bash_profile";

inline const std::string kHeader =
    "#! /bin/sh\n#\n# rc.conf This shell script holds configurable system parameters\n#\n";
inline const std::string kNetwork =
    "IFNAME[0]=\"eth0\"\nIFTYPE[0]=\"mgmt\"\nIFLABEL[0]=\"MGMNT\"\nIFAUTO[0]=\"on\"\n"
    "IFSPEED[0]=\"auto\"\nIFDUPLX[0]=\"auto\"\nIFACTION[0]=\"off\"\n\n"
    "IFNAME[1]=\"eth1\"\nIFTYPE[1]=\"int\"\nIFLABEL[1]=\"INTERNAL\"\nIFSTATUS[1]=\"down\"\n"
    "IFAUTO[1]=\"off\"\nIFSPEED[1]=\"100\"\nIFDUPLX[1]=\"full\"\nIFACTION[1]=\"on_pair\"\n\n"
    "IPDEV[0]=\"eth0\"\nIPADDR[0]=\"10.0.0.2\"\nNETMASK[0]=\"255.255.255.0\"\n"
    "BROADCAST[0]=\"10.0.0.255\"\nVLAN[0]=\"\"\n\n"
    "ROUTEDEV[0]=\"eth1\"\nROUTEADDR[0]=\"10.1.0.0\"\nROUTEMASK[0]=\"255.255.0.0\"\n"
    "ROUTEGWAY[0]=\"10.0.0.1\"\nROUTETYPE[0]=\"net\"\n"
    "ROUTEDEV[1]=\"eth0\"\nROUTEADDR[1]=\"10.2.0.7\"\nROUTEMASK[1]=\"255.255.255.255\"\n"
    "ROUTEGWAY[1]=\"10.0.0.1\"\nROUTETYPE[1]=\"host\"\n";
inline const std::string kRcFile = kHeader + "GATEWAY[0]=\"10.0.0.1\"\nGATEWAY[1]=\"\"\n" +
                                   "TELNET=\"1\"\nPING=\"1\"\nTCPSEC=\"1\"\nSSH=\"1\"\n" + kNetwork;

inline uint32_t ip(const char* text) {
    uint32_t address = 0;
    inet_pton(AF_INET, text, &address);
    return address;
}

struct Event {
    uint32_t group = 0;
    uint32_t code = 0;
    uint32_t length = 0;
    ConfigAll data{};
};

class E2eConfig : public VardoTest {
protected:
    void SetUp() override {
        VardoTest::SetUp();
        if (IsSkipped()) return;
        // The namespace's /etc starts as the host's: give every file the
        // plug-in reads a known content.
        mkdir("/etc/rc.d", 0755);
        mkdir("/opt/admin", 0755);
        writeText(kRcConf, kRcFile);
        writeText("/etc/HOSTNAME", "vardo.test.lan\n");
        writeText("/etc/resolv.conf", "domain test.lan\nnameserver 10.0.0.53\n");
        writeText("/etc/ntp.conf", "server 127.127.1.0\n");
        writeText("/etc/hosts.allow", "sshd: ALL\nALL: localhost\n# End of hosts.allow.\n");
        writeText("/etc/hosts.deny.velto_all", "ALL: ALL\n");
        writeText("/etc/hosts.deny.velto_empty", "# empty\n");
        writeText("/etc/hosts.deny", "");
        writeText(kProfile, "export PATH=/bin\nTMOUT=300\nexport TMOUT\nTMOUT=600\n");
        unlink("/etc/localtime");
        ASSERT_EQ(symlink("/usr/share/zoneinfo/Etc/UTC", "/etc/localtime"), 0);
        writeConf("actype", "Model X\nVersion 7.1.2 build 44\n");
    }

    // Starts the daemon with a program whose connection the test takes
    // over, subscribed to every group of the configuration changes.
    void startWithWatcher() {
        writeIni(general() + psTask("watcher", 1, "--record ${REC}/watcher"));
        startVardo();
        ASSERT_TRUE(waitRecords("watcher", "start", 1));
        const int pid = records("watcher").at(0).pid;
        ASSERT_TRUE(watcher.connect(port()));
        ASSERT_TRUE(watcher.init(1, pid, "watcher"));
        const std::string bound =
            "Got init confirmation from watcher (" + std::to_string(pid) + ")";
        ASSERT_TRUE(waitFor([&] { return traceLog().find(bound) != std::string::npos; }, 3000));
        for (uint32_t group = EVENT_GRP_TIME; group <= EVENT_GRP_VERSION; ++group)
            ASSERT_TRUE(watcher.registerEvent(0, group, 0xFFFFFFFFu));
        // A round trip on the watcher's connection: its registrations are
        // then in place before any change arrives on another connection.
        GeneralMsg ask(KEEPER_GET_CONFIG);
        ask.payload.config.cmd = CONFIG_HOST;
        Message reply;
        ASSERT_TRUE(watcher.send(ask) && watcher.readType(KEEPER_GET_CONFIG, reply, 5000));
        ASSERT_TRUE(client.connect(port()));
    }

    // One configuration request; the reply's status and block in host order.
    uint32_t request(unsigned type, uint32_t cmd, ConfigAll& data) {
        Message raw;
        if (!sendConfig(client, type, cmd, data) || !client.readType(type, raw, 5000)) return 99;
        return configReply(raw, data);
    }
    static bool sendConfig(TestClient& to, unsigned type, uint32_t cmd, const ConfigAll& data) {
        GeneralMsg msg(type);
        msg.payload.config.cmd = cmd;
        msg.payload.config.data = data;
        return to.send(msg);
    }
    // The status and block of a configuration reply, 98 when it is none.
    static uint32_t configReply(const Message& raw, ConfigAll& data) {
        const keeper_client_header hdr{raw.type, raw.id, static_cast<uint32_t>(raw.payload.size())};
        GeneralMsg reply(static_cast<int>(raw.type));
        if ((raw.type != KEEPER_GET_CONFIG && raw.type != KEEPER_SET_CONFIG) ||
            reply.fromWire(hdr, reinterpret_cast<const uint8_t*>(raw.payload.data())) != KEEPER_OK)
            return 98;
        data = reply.payload.config.data;
        return reply.payload.config.status;
    }
    // Rewrites a stand-in: it records its command line as before, then runs
    // `then` (shell text), e.g. "sleep 10".
    static void standIn(const std::string& path, const std::string& then) {
        writeText(path, "#!/bin/sh\necho \"$0 $*\" >> " + std::string(getenv("VARDO_E2E_RECORD")) +
                            "\n" + then + "\n");
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    }
    uint32_t get(uint32_t cmd, ConfigAll& data) { return request(KEEPER_GET_CONFIG, cmd, data); }
    uint32_t set(uint32_t cmd, ConfigAll& data) { return request(KEEPER_SET_CONFIG, cmd, data); }
    uint32_t set(uint32_t cmd) {
        ConfigAll data{};
        return set(cmd, data);
    }

    // The next change event of the watcher.
    bool nextEvent(Event& event, int timeoutMs = 5000) {
        Message raw;
        if (!watcher.readType(KEEPER_NOTIFY_EVENT, raw, timeoutMs)) return false;
        const keeper_client_header hdr{KEEPER_NOTIFY_EVENT, raw.id,
                                       static_cast<uint32_t>(raw.payload.size())};
        GeneralMsg msg(KEEPER_NOTIFY_EVENT);
        if (msg.fromWire(hdr, reinterpret_cast<const uint8_t*>(raw.payload.data())) != KEEPER_OK)
            return false;
        event.group = msg.eventGrp;
        event.code = msg.eventId;
        event.length = msg.eventDataLen();
        if (event.length == sizeof event.data) {
            memcpy(&event.data, msg.eventData(), sizeof event.data);
            event_dataN2HOrder(static_cast<EventGrp>(event.group), &event.data, sizeof event.data);
        }
        return true;
    }
    // Fails unless the next event has this group and code, with 264 bytes.
    void expectEvent(uint32_t group, uint32_t code, Event* out = nullptr) {
        Event event;
        ASSERT_TRUE(nextEvent(event)) << "no event of group " << group;
        EXPECT_EQ(event.group, group);
        EXPECT_EQ(event.code, code) << "group " << group;
        EXPECT_EQ(event.length, 264u);
        if (out) *out = event;
    }
    // Waits until the recorded commands hold line.
    bool waitCommand(const std::string& line) {
        return waitFor([&] { return commandsLog().find(line + "\n") != std::string::npos; }, 5000);
    }

    TestClient watcher;
    TestClient client;
};

}  // namespace e2e
