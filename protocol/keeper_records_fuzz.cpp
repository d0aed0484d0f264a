// Fuzz target: every byte-order converter of the protocol and the framing of
// a received message. The first input byte picks the converter, the next
// ones its arguments, the rest fills the record. Each converter must stay
// inside its record, and converting to host order and back must give the
// received bytes again; an accepted message must go out as it came in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "protocol/keeper_msg.h"
#include "protocol/keeper_records.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    uint32_t word() {
        uint32_t value = 0;
        size_t n = size < sizeof value ? size : sizeof value;
        memcpy(&value, data, n);
        data += n;
        size -= n;
        return value;
    }
};

// A heap copy of exactly the record's size, so that the sanitizer sees any
// access past it.
template <class Record>
void roundTrip(Input& in, void (*toHost)(Record*), void (*toNet)(Record*)) {
    std::vector<uint8_t> bytes(sizeof(Record), 0);
    memcpy(bytes.data(), in.data, in.size < bytes.size() ? in.size : bytes.size());
    auto* record = static_cast<Record*>(malloc(sizeof(Record)));
    memcpy(record, bytes.data(), sizeof(Record));
    toHost(record);
    toNet(record);
    if (memcmp(record, bytes.data(), sizeof(Record)) != 0) abort();
    free(record);
}

using Convert = std::function<void(uint8_t*)>;

void roundTripBytes(Input& in, size_t size, const Convert& toHost, const Convert& toNet) {
    if (size == 0) return;
    std::vector<uint8_t> bytes(size, 0);
    memcpy(bytes.data(), in.data, in.size < size ? in.size : size);
    auto* copy = static_cast<uint8_t*>(malloc(size));
    memcpy(copy, bytes.data(), size);
    toHost(copy);
    toNet(copy);
    if (memcmp(copy, bytes.data(), size) != 0) abort();
    free(copy);
}

// The senders of hardware-status and card events put them in network order
// themselves; the event converter turns them to host order only.
void eventToNet(EventGrp group, uint8_t* data, unsigned len) {
    if (group == EVENT_GRP_HW_STATUS) {
        if (len == sizeof(ConfigAll))
            config_dataH2NOrder(CONFIG_HWSTATUS, reinterpret_cast<ConfigAll*>(data));
    } else if (group == EVENT_GRP_CARD) {
        cadr_dataH2NOrder(reinterpret_cast<CardInfo*>(data), int(len / sizeof(CardInfo)));
    } else {
        event_dataH2NOrder(group, data, len);
    }
}

void message(Input& in) {
    keeper_client_header hdr;
    hdr.type = in.word() % 32;
    hdr.id = in.word();
    hdr.length = static_cast<uint32_t>(in.size);
    GeneralMsg msg(static_cast<int>(hdr.type));
    if (msg.fromWire(hdr, in.data) != KEEPER_OK) return;
    // Events frame their own words; every other payload is sent converted.
    if (hdr.type != KEEPER_NOTIFY_EVENT) msg.msgDataH2NOrder();
    std::vector<unsigned char> out = msg.toWire(hdr.id);
    if (out.size() != KEEPER_HEADER_LEN + in.size ||
        (in.size && memcmp(out.data() + KEEPER_HEADER_LEN, in.data, in.size) != 0))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Input in{data + 1, size - 1};
    switch (data[0] % 26) {
        case 0:
            return roundTrip(in, commandN2HOrder, commandH2NOrder), 0;
        case 1:
            return roundTrip(in, config_timeN2HOrder, config_timeH2NOrder), 0;
        case 2:
            return roundTrip(in, config_ifdataN2HOrder, config_ifdataH2NOrder), 0;
        case 3:
            return roundTrip(in, config_ifpairN2HOrder, config_ifpairH2NOrder), 0;
        case 4:
            return roundTrip(in, config_serverN2HOrder, config_serverH2NOrder), 0;
        case 5:
            return roundTrip(in, config_routeN2HOrder, config_routeH2NOrder), 0;
        case 6:
            return roundTrip(in, config_secN2HOrder, config_secH2NOrder), 0;
        case 7:
            return roundTrip(in, config_aclN2HOrder, config_aclH2NOrder), 0;
        case 8:
            return roundTrip(in, config_verN2HOrder, config_verH2NOrder), 0;
        case 9:
            return roundTrip(in, config_hwN2HOrder, config_hwH2NOrder), 0;
        case 10:
            return roundTrip(in, config_redundN2HOrder, config_redundH2NOrder), 0;
        case 11:
            return roundTrip(in, config_ifstatN2HOrder, config_ifstatH2NOrder), 0;
        case 12:
            return roundTrip(in, config_sgdispN2HOrder, config_sgdispH2NOrder), 0;
        case 13:
            return roundTrip(in, config_taskN2HOrder, config_taskH2NOrder), 0;
        case 14:
            return roundTrip(in, oversubscrN2HOrder, oversubscrH2NOrder), 0;
        case 15:
            return roundTrip(in, sensor_dataN2HOrder, sensor_dataH2NOrder), 0;
        case 16:
            return roundTrip(in, acknowledgeN2HOrder, acknowledgeH2NOrder), 0;
        case 17:
            return roundTrip(in, headerN2HOrder, headerH2NOrder), 0;
        case 18: {
            ConfigCmd cmd = static_cast<ConfigCmd>(in.word());
            std::vector<uint8_t> bytes(sizeof(ConfigAll), 0);
            memcpy(bytes.data(), in.data, in.size < bytes.size() ? in.size : bytes.size());
            auto* all = static_cast<ConfigAll*>(malloc(sizeof(ConfigAll)));
            memcpy(all, bytes.data(), sizeof(ConfigAll));
            config_dataN2HOrder(cmd, all);
            config_dataH2NOrder(cmd, all);
            if (memcmp(all, bytes.data(), sizeof(ConfigAll)) != 0) abort();
            free(all);
            return 0;
        }
        case 19: {
            EventGrp group = static_cast<EventGrp>(in.word());
            unsigned len = in.word() % (KEEPER_MAX_EVENT_DATA + 1);
            roundTripBytes(
                in, len, [&](uint8_t* p) { event_dataN2HOrder(group, p, len); },
                [&](uint8_t* p) { eventToNet(group, p, len); });
            return 0;
        }
        case 20: {
            int count = static_cast<int>(in.word() % 64);
            roundTripBytes(
                in, count * sizeof(CardInfo),
                [&](uint8_t* p) { cadr_dataN2HOrder(reinterpret_cast<CardInfo*>(p), count); },
                [&](uint8_t* p) { cadr_dataH2NOrder(reinterpret_cast<CardInfo*>(p), count); });
            return 0;
        }
        case 21: {
            unsigned bytes = in.word() % (64 * sizeof(CardInfo));
            unsigned whole = bytes / sizeof(CardInfo);
            roundTripBytes(
                in, bytes,
                [&](uint8_t* p) { dpicListN2HOrder(reinterpret_cast<CardInfo*>(p), bytes); },
                [&](uint8_t* p) { cadr_dataH2NOrder(reinterpret_cast<CardInfo*>(p), int(whole)); });
            return 0;
        }
        default:
            message(in);
            return 0;
    }
}
