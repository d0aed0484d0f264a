#include "protocol/keeper_msg.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/wire_text.h"

namespace {

using Bytes = std::vector<unsigned char>;

keeper_client_header headerOf(const Bytes& frame) {
    keeper_client_header hdr;
    std::memcpy(&hdr, frame.data(), sizeof hdr);
    headerN2HOrder(&hdr);
    return hdr;
}

Bytes bigEndian(std::initializer_list<uint32_t> words) {
    Bytes out;
    for (uint32_t w : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<unsigned char>(w >> shift));
    return out;
}

// Receives a frame the way a peer would: header, checks, payload.
keeperStatus receive(const Bytes& frame, GeneralMsg& msg) {
    keeper_client_header hdr = headerOf(frame);
    if (keeperWireBodyLen(hdr) < 0 || frame.size() != KEEPER_HEADER_LEN + hdr.length)
        return KEEPER_FAIL;
    return msg.fromWire(hdr, frame.data() + KEEPER_HEADER_LEN);
}

TEST(Framing, FixedPayloadLengths) {
    const unsigned expected[KEEPER_MSG_TYPES] = {
        100, 0,   112, 204, 304, 0,  0, 104, 0, 204, 0, 12, 12, 108, 200, 104,
        104, 104, 0,   272, 272, 12, 8, 8,   0, 40,  8, 16, 0,  4,   0};
    for (unsigned t = 0; t < KEEPER_MSG_TYPES; ++t) {
        EXPECT_EQ(keeperFixedPayloadLen(t), expected[t]) << keeperMgsTypeStr(t);
        EXPECT_EQ(GeneralMsg(static_cast<int>(t)).payloadLen(), expected[t]);
    }
    EXPECT_EQ(keeperFixedPayloadLen(31), 0u);
    EXPECT_EQ(GeneralMsg(-1).payloadLen(), 0u);
}

TEST(Framing, StatusRequestCarriesItsFormInNetworkOrder) {
    GeneralMsg msg(KEEPER_PRINT_STATUS);
    msg.payload.status.form = STATUS_FORM_JSON;
    msg.msgDataH2NOrder();
    EXPECT_EQ(msg.toWire(3), bigEndian({KEEPER_PRINT_STATUS, 3, 4, STATUS_FORM_JSON}));
}

TEST(Framing, CheckAliveIsABareHeader) {
    EXPECT_EQ(GeneralMsg(KEEPER_CHECK_ALIVE).toWire(7), bigEndian({KEEPER_CHECK_ALIVE, 7, 0}));
}

TEST(Framing, FrameCopiesDataBehindANetworkOrderHeader) {
    const char data[] = "abc";
    Bytes expected = bigEndian({KEEPER_PRINT_ACK, 0x01020304, 3});
    expected.insert(expected.end(), data, data + 3);
    EXPECT_EQ(keeperFrame(KEEPER_PRINT_ACK, 0x01020304, data, 3), expected);
    EXPECT_EQ(keeperFrame(KEEPER_QUIT, 1, nullptr, 0).size(), KEEPER_HEADER_LEN);
}

TEST(Framing, ChkBufAnnouncesHeaderThenWholeMessage) {
    Bytes frame = keeperFrame(KEEPER_SET_FLAG, 1, nullptr, 104);
    EXPECT_EQ(keeperChkBuf(frame.data(), 0), 12);
    EXPECT_EQ(keeperChkBuf(frame.data(), 11), 12);
    EXPECT_EQ(keeperChkBuf(frame.data(), 12), 116);
    // Oversized: only the header, so the handler sees it and drops the peer.
    Bytes huge = bigEndian({KEEPER_NOTIFY_EVENT, 1, 12 + 513});
    EXPECT_EQ(keeperChkBuf(huge.data(), 12), 12);
    huge = bigEndian({KEEPER_PRINT_ACK, 1, KEEPER_MAX_PAYLOAD + 1});
    EXPECT_EQ(keeperChkBuf(huge.data(), 12), 12);
}

TEST(Framing, NotifyEventLengths) {
    GeneralMsg empty(KEEPER_NOTIFY_EVENT);
    ASSERT_EQ(empty.setEvent(EVENT_GRP_TASK, 4, nullptr, 0), KEEPER_OK);
    EXPECT_EQ(empty.toWire(1), bigEndian({KEEPER_NOTIFY_EVENT, 1, 12, 4, EVENT_GRP_TASK, 0}));

    std::vector<unsigned char> data(512, 0x5a);
    GeneralMsg full(KEEPER_NOTIFY_EVENT);
    ASSERT_EQ(full.setEvent(EVENT_GRP_SENSOR, 2, data.data(), 512), KEEPER_OK);
    Bytes frame = full.toWire(2);
    EXPECT_EQ(headerOf(frame).length, 524u);
    EXPECT_EQ(frame.size(), 536u);
}

TEST(Framing, SenderRefusesBadEvents) {
    unsigned char data[513] = {};
    GeneralMsg msg(KEEPER_NOTIFY_EVENT);
    EXPECT_EQ(msg.setEvent(EVENT_GRP_TASK, 1, data, 513), KEEPER_FAIL);
    EXPECT_EQ(msg.setEvent(64, 1, data, 4), KEEPER_FAIL);
    EXPECT_EQ(msg.setEvent(EVENT_GRP_TASK, 1, data, 0), KEEPER_FAIL);
    EXPECT_EQ(msg.setEvent(EVENT_GRP_TASK, 1, nullptr, 4), KEEPER_FAIL);
    EXPECT_EQ(GeneralMsg(KEEPER_QUIT).setEvent(EVENT_GRP_TASK, 1, data, 4), KEEPER_FAIL);
}

TEST(Receiving, OversizedEventDataIsRefusedBeforeAllocation) {
    // Raw-read path: the fixed part claims 513 bytes of data.
    GeneralMsg msg(KEEPER_NOTIFY_EVENT);
    msg.payload.event = {1, EVENT_GRP_TASK, 513};
    EXPECT_EQ(msg.allocEventDataBuff(), KEEPER_FAIL);
    EXPECT_EQ(msg.eventData(), nullptr);
    EXPECT_EQ(msg.eventDataLen(), 0u);

    // Framed path: the header alone gives it away.
    keeper_client_header hdr{KEEPER_NOTIFY_EVENT, 1, 12 + 513};
    EXPECT_EQ(keeperWireBodyLen(hdr), -1);
    Bytes frame = bigEndian({KEEPER_NOTIFY_EVENT, 1, 12 + 513, 1, EVENT_GRP_TASK, 513});
    frame.resize(KEEPER_HEADER_LEN + 12 + 513);
    GeneralMsg framed(KEEPER_NOTIFY_EVENT);
    EXPECT_EQ(receive(frame, framed), KEEPER_FAIL);
    EXPECT_EQ(framed.eventData(), nullptr);
}

TEST(Receiving, EventDataLengthMustMatchTheHeader) {
    Bytes frame = bigEndian({KEEPER_NOTIFY_EVENT, 1, 12 + 8, 1, EVENT_GRP_TASK, 400});
    frame.resize(KEEPER_HEADER_LEN + 20);
    GeneralMsg msg(KEEPER_NOTIFY_EVENT);
    EXPECT_EQ(receive(frame, msg), KEEPER_FAIL);
    EXPECT_EQ(msg.eventData(), nullptr);

    Bytes shortFrame = bigEndian({KEEPER_NOTIFY_EVENT, 1, 8, 1, 2});
    GeneralMsg tooShort(KEEPER_NOTIFY_EVENT);
    EXPECT_EQ(receive(shortFrame, tooShort), KEEPER_FAIL);
}

TEST(Receiving, FixedTypesNeedTheirExactLength) {
    Bytes frame = keeperFrame(KEEPER_SET_FLAG, 1, nullptr, 100);
    GeneralMsg msg(KEEPER_SET_FLAG);
    EXPECT_EQ(receive(frame, msg), KEEPER_FAIL);
    GeneralMsg other(KEEPER_ACTION_ON_PS);
    EXPECT_EQ(receive(keeperFrame(KEEPER_SET_FLAG, 1, nullptr, 104), other),
              KEEPER_FAIL);  // wrong type
    GeneralMsg unknown(99);
    EXPECT_EQ(receive(keeperFrame(99, 1, nullptr, 0), unknown), KEEPER_OK);
    GeneralMsg unknownWithData(99);
    EXPECT_EQ(receive(keeperFrame(99, 1, nullptr, 4), unknownWithData), KEEPER_FAIL);
}

TEST(Framing, InitWordsGoBigEndianTextUntouched) {
    GeneralMsg msg(KEEPER_INIT);
    msg.payload.init.keeperType = 2;
    msg.payload.init.pid = 0x01020304;
    setWireText(msg.payload.init.name, "snmpd");
    msg.payload.init.time = 0x0a0b0c0d;
    msg.msgDataH2NOrder();
    Bytes frame = msg.toWire(0);
    ASSERT_EQ(frame.size(), 12u + 112u);
    EXPECT_EQ(Bytes(frame.begin() + 12, frame.begin() + 20), bigEndian({2, 0x01020304}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&frame[20])), "snmpd");
    EXPECT_EQ(Bytes(frame.begin() + 120, frame.end()), bigEndian({0x0a0b0c0d}));
}

TEST(Receiving, ConfigReplyConvertsStatusCommandAndRecord) {
    GeneralMsg msg(KEEPER_GET_CONFIG);
    msg.payload.config.cmd = CONFIG_IF;
    msg.payload.config.status = KEEPER_NO_CHANGE;
    ConfigNetIf& netIf = msg.payload.config.data.data.netIf;
    netIf.kind = NETIF_KIND_IP;
    netIf.u.ip.memberCount = 3;
    netIf.u.ip.member[0] = 0x11;
    netIf.u.ip.vlan = 0xFFFFFFFF;
    netIf.u.ip.address = inet_addr("192.0.2.7");
    msg.msgDataH2NOrder();
    Bytes frame = msg.toWire(9);
    EXPECT_EQ(Bytes(frame.begin() + 12, frame.begin() + 20),
              bigEndian({CONFIG_IF, KEEPER_NO_CHANGE}));
    EXPECT_EQ(Bytes(frame.begin() + 28, frame.begin() + 32), bigEndian({NETIF_KIND_IP}));
    const unsigned address = 12 + 16 + 4 * 54;
    EXPECT_EQ(Bytes(frame.begin() + address, frame.begin() + address + 4), (Bytes{192, 0, 2, 7}));

    GeneralMsg back(KEEPER_GET_CONFIG);
    ASSERT_EQ(receive(frame, back), KEEPER_OK);
    EXPECT_EQ(back.payload.config.cmd, CONFIG_IF);
    EXPECT_EQ(back.payload.config.data.data.netIf.u.ip.memberCount, 3u);
    EXPECT_EQ(back.payload.config.data.data.netIf.u.ip.member[0], 0x11u);
    EXPECT_EQ(back.payload.config.data.data.netIf.u.ip.address, inet_addr("192.0.2.7"));
}

// Fills a message of any type with recognisable content in host order.
void fill(GeneralMsg& msg) {
    for (unsigned i = 0; i < KEEPER_PAYLOAD_LEN; ++i)
        msg.payload.bytes[i] = static_cast<uint8_t>(i * 13 + msg.type());
    switch (msg.type()) {
        case KEEPER_GET_CONFIG:
        case KEEPER_SET_CONFIG:
            msg.payload.config.cmd = CONFIG_ROUTE_ADD;
            break;
        case KEEPER_NOTIFY_EVENT: {
            const char data[] = "event data";
            ASSERT_EQ(msg.setEvent(EVENT_GRP_WEB_UPDATE, 0x80, data, sizeof data), KEEPER_OK);
            break;
        }
        case KEEPER_PRINT_ACK:
            msg.setListing(" 1. vardo 12\n", 14);
            break;
        default:
            if (keeperIsListType(msg.type())) {
                ASSERT_EQ(msg.allocDataListBuff(msg.payloadLen() + 2 * sizeof(CardInfo), 2),
                          KEEPER_OK);
                std::memset(msg.listData(), 0xc3, msg.listLen());
            }
    }
}

TEST(RoundTrip, EveryTypeComesBackAsSent) {
    for (unsigned t = 0; t < KEEPER_MSG_TYPES; ++t) {
        SCOPED_TRACE(keeperMgsTypeStr(t));
        GeneralMsg sent(static_cast<int>(t));
        fill(sent);
        KeeperPayload original = sent.payload;
        sent.msgDataH2NOrder();
        Bytes frame = sent.toWire(t + 100);
        keeper_client_header hdr = headerOf(frame);
        EXPECT_EQ(hdr.type, t);
        EXPECT_EQ(hdr.id, t + 100);

        GeneralMsg got(static_cast<int>(t));
        ASSERT_EQ(receive(frame, got), KEEPER_OK);
        EXPECT_EQ(got.payloadLen(), sent.payloadLen());
        if (t == KEEPER_NOTIFY_EVENT) {
            EXPECT_EQ(got.eventGrp, unsigned(EVENT_GRP_WEB_UPDATE));
            EXPECT_EQ(got.eventId, 0x80u);
            ASSERT_EQ(got.eventDataLen(), 11u);
            EXPECT_STREQ(reinterpret_cast<const char*>(got.eventData()), "event data");
        } else if (t == KEEPER_PRINT_ACK) {
            EXPECT_EQ(got.listing(), std::string(" 1. vardo 12\n", 14));
        } else {
            unsigned fixed = keeperFixedPayloadLen(t);
            EXPECT_EQ(0, std::memcmp(got.payload.bytes, original.bytes, fixed));
            ASSERT_EQ(got.listLen(), sent.listLen());
            if (got.listLen() != 0) {
                EXPECT_EQ(0, std::memcmp(got.listData(), sent.listData(), got.listLen()));
            }
        }
    }
}

TEST(RoundTrip, ListCountTravelsInNetworkOrder) {
    GeneralMsg msg(KEEPER_GET_IF);
    ASSERT_EQ(msg.allocDataListBuff(8 + 20, 5), KEEPER_OK);
    msg.payload.list.status = KEEPER_OK;
    msg.msgDataH2NOrder();
    Bytes frame = msg.toWire(1);
    ASSERT_EQ(frame.size(), 12u + 28u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 20), bigEndian({KEEPER_GET_IF, 1, 28, 0, 5}));
    EXPECT_EQ(GeneralMsg(KEEPER_GET_IF).allocDataListBuff(4),
              KEEPER_FAIL);  // shorter than the fixed part
    EXPECT_EQ(GeneralMsg(KEEPER_SET_FLAG).allocDataListBuff(200), KEEPER_FAIL);
}

TEST(Names, AtTheirBounds) {
    EXPECT_STREQ(keeperMgsTypeStr(0), "KEEPER_SECONDARY_UP");
    EXPECT_STREQ(keeperMgsTypeStr(28), "KEEPER_GET_ACTIVE_DPICS");
    EXPECT_STREQ(keeperMgsTypeStr(30), "KEEPER_RELOAD");
    EXPECT_EQ(keeperMgsTypeStr(31), nullptr);
    EXPECT_STREQ(configCmdStr(0), "CONFIG_TIME");
    EXPECT_STREQ(configCmdStr(27), "CONFIG_SG_DISPATCHING");
    EXPECT_EQ(configCmdStr(28), nullptr);
    EXPECT_STREQ(eventGrpStr(25), "EVENT_GRP_SENSOR");
    EXPECT_STREQ(eventGrpStr(63), "EVENT_GRP_ALL");
    EXPECT_EQ(eventGrpStr(26), nullptr);
    EXPECT_EQ(eventGrpStr(62), nullptr);
    EXPECT_EQ(eventGrpStr(64), nullptr);
}

TEST(Names, CommandText) {
    KeeperCommand cmd{COMMAND_SHUTDOWN, SHUTDOWN_DELAY, 30};
    EXPECT_STREQ(keeperCommandStr(&cmd),
                 "command type:COMMAND_SHUTDOWN(0), technique:SHUTDOWN_DELAY(2), timer:30");
    cmd = {COMMAND_RESTART_NTP, 3, 0};
    EXPECT_STREQ(keeperCommandStr(&cmd),
                 "command type:COMMAND_RESTART_NTP(9), technique:NA(3), timer:0");
    cmd = {10, SHUTDOWN_STOP, 0};
    EXPECT_STREQ(keeperCommandStr(&cmd), "");
    cmd = {COMMAND_QUIT, 4, 0};
    EXPECT_STREQ(keeperCommandStr(&cmd), "");
}

TEST(Names, CommandTextIntoCallersBuffer) {
    const KeeperCommand shutdown{COMMAND_SHUTDOWN, SHUTDOWN_DELAY, 30};
    const KeeperCommand ntp{COMMAND_RESTART_NTP, 3, 0};
    char first[KEEPER_COMMAND_STR_LEN];
    char second[KEEPER_COMMAND_STR_LEN];
    EXPECT_EQ(keeperCommandStr(&shutdown, first, sizeof first), first);
    keeperCommandStr(&ntp, second, sizeof second);
    EXPECT_STREQ(first, "command type:COMMAND_SHUTDOWN(0), technique:SHUTDOWN_DELAY(2), timer:30");
    EXPECT_STREQ(second, "command type:COMMAND_RESTART_NTP(9), technique:NA(3), timer:0");
    // A short buffer is cut, never overrun.
    char guarded[12];
    std::memset(guarded, 'x', sizeof guarded);
    EXPECT_STREQ(keeperCommandStr(&shutdown, guarded, 8), "command");
    EXPECT_EQ(guarded[8], 'x');
    EXPECT_STREQ(keeperCommandStr(nullptr, first, sizeof first), "");
}

}  // namespace
