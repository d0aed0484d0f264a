// keeperClient: events, callbacks, keep-alive and re-registration after a
// reconnect.
#include <arpa/inet.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/keeper_client.h"
#include "protocol/wire_text.h"
#include "support/ev_debug.h"

namespace {

constexpr unsigned kAllGroups = EVENT_GRP_ALL;

}  // namespace

keeperStatus keeperClient::register_event(unsigned group, unsigned id, EventCallback cb) {
    if (!_set_event_entries("register_event", group, id, cb)) return KEEPER_FAIL;
    return _send_reg_event(EVENT_OP_REGISTER, group, id);
}

// EVENT_GRP_ALL is one subscription on the daemon's side but an entry for
// every group here.
bool keeperClient::_set_event_entries(const char* who, unsigned group, unsigned id,
                                      EventCallback cb) {
    if (!_connected(who)) return false;
    if (group >= kEventGroups) {
        EV_TRACE(DL_ERROR, "keeperClient::%s: Invalid parameters group= %u, id= %u", who, group,
                 id);
        return false;
    }
    unsigned first = group == kAllGroups ? 0 : group;
    unsigned last = group == kAllGroups ? kAllGroups - 1 : group;
    for (unsigned g = first; g <= last; ++g) {
        eventCallbacks[g] = cb;
        eventIds[g] = cb ? id : 0;
    }
    return true;
}

keeperStatus keeperClient::_send_reg_event(uint32_t operation, uint32_t group, uint32_t id) {
    KeeperRegEventMsg msg;
    msg.operation = htonl(operation);
    msg.group = htonl(group);
    msg.id = htonl(id);
    return _send_msg(KEEPER_REGISTER_EVENT, sizeof msg, &msg);
}

keeperStatus keeperClient::unregister_event(unsigned group, unsigned id) {
    if (!_set_event_entries("unregister_event", group, id, nullptr)) return KEEPER_FAIL;
    return _send_reg_event(EVENT_OP_UNREGISTER, group, id);
}

keeperStatus keeperClient::send_event(unsigned group, unsigned id, void* data, size_t len) {
    static const char* const who = "keeperClient::send_event";
    if (!_connected("send_event")) return KEEPER_FAIL;
    if (group >= kEventGroups) {
        EV_TRACE(DL_ERROR, "%s: Invalid parameters", who);
        return KEEPER_FAIL;
    }
    if (len > KEEPER_MAX_EVENT_DATA || (data == nullptr) != (len == 0)) {
        EV_TRACE(DL_ERROR, "%s: Invalid event data", who);
        return KEEPER_FAIL;
    }
    struct {
        KeeperEventMsg fixed;
        unsigned char data[KEEPER_MAX_EVENT_DATA];
    } msg;
    msg.fixed.id = htonl(id);
    msg.fixed.group = htonl(group);
    msg.fixed.length = htonl(uint32_t(len));
    if (len) {
        memcpy(msg.data, data, len);
        event_dataH2NOrder(EventGrp(group), msg.data, unsigned(len));
    }
    return _send_msg(KEEPER_NOTIFY_EVENT, unsigned(sizeof msg.fixed + len), &msg);
}

keeperStatus keeperClient::_handle_event(keeper_client_header& header) {
    static const char* const who = "keeperClient::_handle_event";
    KeeperEventMsg fixed;
    if (header.length < sizeof fixed) {
        EV_TRACE(DL_ERROR, "%s: Header length mismatch %d/%d", who, int(header.length),
                 int(sizeof fixed));
        _handle_unknown_msg(header);
        return KEEPER_FAIL;
    }
    if (_read_full(&fixed, sizeof fixed, "_handle_event") != KEEPER_OK) return KEEPER_FAIL;
    uint32_t id = ntohl(fixed.id);
    uint32_t group = ntohl(fixed.group);
    uint32_t len = ntohl(fixed.length);
    // The data length inside must agree with the frame, or the next message
    // would be read from the middle of this one.
    if (len != header.length - sizeof fixed) {
        EV_TRACE(DL_ERROR, "%s: Header length mismatch %d/%d", who, int(header.length),
                 int(sizeof fixed + len));
        keeper_client_header rest = header;
        rest.length = header.length - sizeof fixed;
        _handle_unknown_msg(rest);
        return KEEPER_FAIL;
    }
    std::unique_ptr<unsigned char[]> data;
    if (len) {
        data.reset(new (std::nothrow) unsigned char[len]);
        if (!data) {
            EV_TRACE(DL_ERROR, "%s: buffer allocation failed", who);
            return KEEPER_FAIL;
        }
        if (_read_full(data.get(), len, "_handle_event") != KEEPER_OK) return KEEPER_FAIL;
        event_dataN2HOrder(EventGrp(group), data.get(), len);
    }
    if (group < kEventGroups && eventCallbacks[group])
        eventCallbacks[group](group, id, data.get(), len);
    return KEEPER_OK;
}

keeperStatus keeperClient::register_callback(const char* cbName, const char* name2,
                                             keeperStatus (*fn)(void*), unsigned* idOut) {
    if (!_connected("register_callback")) return KEEPER_FAIL;
    if (!cbName || !fn || strlen(cbName) >= KEEPER_NAME_LEN ||
        (name2 && strlen(name2) >= KEEPER_NAME_LEN)) {
        EV_TRACE(DL_ERROR, "keeperClient<register_callback>: Invalid parameters");
        return KEEPER_FAIL;
    }
    CallbackLocal* cb = new CallbackLocal(cbName, name2 ? name2 : "", fn);
    unsigned id = 0;
    if (callbacks.register_callback(cb, &id) != KEEPER_OK) {
        delete cb;
        return KEEPER_FAIL;
    }
    if (idOut) *idOut = id;
    return _send_register_cb(id, *cb);
}

keeperStatus keeperClient::_send_register_cb(unsigned id, const CallbackBase& cb) {
    KeeperCbMsg msg = {};
    msg.cbId = htonl(id);
    setWireText(msg.name, cb.get_name());
    setWireText(msg.name2, cb.get_text());
    return _send_msg(KEEPER_REGISTER_CB, sizeof msg, &msg);
}

keeperStatus keeperClient::unregister_callback(unsigned) {
    if (!_connected("unregister_callback")) return KEEPER_FAIL;
    return KEEPER_OK;
}

keeperStatus keeperClient::_handle_run_cb(keeper_client_header& header) {
    KeeperRunCbReply run = {};
    uint32_t len = header.length < sizeof run ? header.length : uint32_t(sizeof run);
    if (_read_full(&run, len, "_handle_run_cb") != KEEPER_OK) return KEEPER_FAIL;
    if (header.length > len) {
        keeper_client_header rest = header;
        rest.length = header.length - len;
        _handle_unknown_msg(rest);
    }
    if (len < sizeof run.cbId) return KEEPER_FAIL;
    // The text comes from the wire: never trust it to end within its field.
    run.args[sizeof run.args - 1] = '\0';
    return callbacks.run_callback(unsigned(ntohl(run.cbId)), run.args);
}

keeperStatus keeperClient::_handle_check_alive() {
    ++kaReceived;
    if (keepAliveHook) {
        EV_TRACE(DL_DEBUG, "_handle_check_alive:: before call local  check_alive function");
        keepAliveHook();
    }
    EV_TRACE(DL_DEBUG, "_handle_check_alive:: received KA- %d.", kaReceived);
    if (send_checkAlive() != KEEPER_OK)
        EV_TRACE(DL_ERROR, "_handle_check_alive:: can't send keep alive response.");
    EV_TRACE(DL_DEBUG, "_handle_check_alive:: responded KA- %d.", kaSent);
    return KEEPER_OK;
}

keeperStatus keeperClient::send_checkAlive() {
    if (!_connected("send_checkAlive")) return KEEPER_FAIL;
    ++kaSent;
    return _send_msg(KEEPER_CHECK_ALIVE, 0, nullptr);
}

void keeperClient::_check_alive_signal_handle(int sig) {
    // Installed with sigaction, so it stays in place without re-installing
    // itself; only the program's function runs here.
    if (sig == SIGUSR2 && _keep_alive_signal_foo) _keep_alive_signal_foo();
}

keeperStatus keeperClient::_handle_quit() {
    if (!quitHook) exit(1);
    quitHook();
    return KEEPER_OK;
}

keeperStatus keeperClient::_handle_seq() { return KEEPER_OK; }

// A subscription to EVENT_GRP_ALL left every group with the same callback
// and id; it is repeated as one. Anything else is repeated group by group,
// so a group subscribed on its own is never lost.
void keeperClient::_reregister_keeper() {
    bool all = true;
    for (unsigned g = 0; g < kAllGroups && all; ++g)
        all = eventCallbacks[g] && eventCallbacks[g] == eventCallbacks[0] &&
              eventIds[g] == eventIds[0];
    if (all) {
        register_event(kAllGroups, eventIds[0], eventCallbacks[0]);
    } else {
        for (unsigned g = 0; g < kAllGroups; ++g)
            if (eventCallbacks[g]) register_event(g, eventIds[g], eventCallbacks[g]);
    }
    for (const auto& entry : callbacks.get_callbacks())
        _send_register_cb(entry.first, *entry.second);
}
