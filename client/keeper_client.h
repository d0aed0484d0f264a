// keeperClient: a program's connection to its supervisor daemon. It finds
// the daemon through the daemon's INI file, sends requests, dispatches what
// the daemon sends (events, callback runs, keep-alive probes, listings,
// quit) and reconnects by itself when the daemon goes away.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol/callback_pool.h"
#include "protocol/keeper_msg.h"
#include "protocol/keeper_records.h"
#include "protocol/link_modes.h"
#include "reactor/ev_engine.h"

class EvSock;

// What a synchronous get_card_list() reads: the status and cards of the
// reply (a new[] array).
struct CardListReply {
    uint32_t status;
    uint32_t count;
    CardInfo* cards;
};

// Announced in KEEPER_INIT; 0 and 1 also pick the default INI file name.
typedef uint32_t keeperType;

class keeperClient : public EvHandler {
public:
    typedef keeperStatus (*EventCallback)(unsigned group, unsigned id, void* data, size_t len);
    typedef keeperStatus (*ListHook)(char* text, unsigned len);
    typedef void (*Hook)();

    static constexpr unsigned kEventGroups = EVENT_GRP_LIMIT;
    // Seconds between reconnect attempts.
    static constexpr int kReconnectDelay = 10;
    // How long a synchronous request waits for its whole reply, and how long
    // any message, once begun, may take to arrive whole.
    static constexpr int kReplyWaitMs = 3000;

    // Reads the daemon's address from its INI file and connects; on failure
    // a reconnect timer keeps trying. Installs the SIGUSR2 keep-alive handler.
    keeperClient(EvEngine* engine, keeperType type);
    // Connects to a known address (IPv4, network order) without reading any
    // file; announces KEEPER_INIT_PROGRAM.
    keeperClient(EvEngine* engine, const char* name, int ip, int port);
    ~keeperClient() override;
    keeperClient(const keeperClient&) = delete;
    keeperClient& operator=(const keeperClient&) = delete;

    // Connection.
    int get_keeperSock();
    keeperStatus init(unsigned type);
    int reconnect_keeper();
    int reconnect_keeper_cb(void* arg);

    // Engine callbacks.
    int handleInput(EvAdapter* sock) override;
    int handleClose(EvAdapter* sock) override;

    // Reads one message and dispatches it; its type goes to typeOut. This is
    // the one way in for everything the daemon sends. A stream that cannot
    // be kept in step (read error, close, a length no message may have, a
    // message not complete within the wait) drops the connection.
    keeperStatus read_callback(unsigned* typeOut, void* out);
    // Whether a whole message waits in the library's receive buffer. One
    // receive takes every byte that has arrived, so after read_callback()
    // more messages may wait there, where poll() on get_keeperSock() cannot
    // see them: a program that polls the socket itself calls read_callback()
    // again while this is true, and polls only when it is false. (The
    // engine's handleInput() and the library's own waits do so already.)
    bool has_buffered_message() const;
    // 0 when fd is ready for reading (forRead) or writing, -1 otherwise.
    int wait_for_io_or_timeout(int fd, int forRead);

    // Requests (one-way unless said otherwise).
    keeperStatus act_on_ps(const char* module, unsigned action);
    keeperStatus start_ps(const char* module) { return act_on_ps(module, TASK_ACTION_START); }
    keeperStatus kill_ps(const char* module) { return act_on_ps(module, TASK_ACTION_KILL); }
    keeperStatus restart_ps(const char* module) { return act_on_ps(module, TASK_ACTION_RESTART); }
    keeperStatus act_on_check(const char* check, unsigned action);
    keeperStatus start_check(const char* check) { return act_on_check(check, CHECK_ACTION_START); }
    keeperStatus stop_check(const char* check) { return act_on_check(check, CHECK_ACTION_STOP); }
    keeperStatus set_check(const char* check, const char* args);
    // argv[0] is the check, argv[1..] its arguments joined with blanks.
    keeperStatus set_check(char** argv, int argc);
    keeperStatus set_flag_mode(const char* flag, bool value);
    keeperStatus set_task_mode(const char* task, bool mode, bool second);
    // Listings: the KEEPER_PRINT_ACK arrives later and goes to the hook.
    keeperStatus list_procs(ListHook hook);
    keeperStatus list_flags(ListHook hook);
    keeperStatus list_callbacks(unsigned kind, const char* task, ListHook hook);
    keeperStatus list_callbacks(const char* task, ListHook hook) {
        return list_callbacks(CB_KIND_TASK, task, hook);
    }
    // The daemon's counters of itself, its tasks and checks, in a StatusForm
    // (a table or JSON).
    keeperStatus list_status(unsigned form, ListHook hook);
    keeperStatus activate_callback(unsigned kind, const char* task, const char* cb,
                                   const char* args);
    keeperStatus activate_callback(const char* task, const char* cb, const char* args) {
        return activate_callback(CB_KIND_TASK, task, cb, args);
    }
    keeperStatus activate_callback(const char* task, const char* cb) {
        return activate_callback(CB_KIND_TASK, task, cb, "");
    }
    // argv[0] task, argv[1] callback, argv[2..] its arguments.
    keeperStatus activate_callback(char** argv, int argc);
    keeperStatus send_command(KeeperCommand& command);
    keeperStatus request_boot(CommandType type, ShtdwnTechnique technique, unsigned timer);
    // Synchronous: wait for the daemon's reply, whose status is the result.
    keeperStatus get_conf(int cmd, ConfigAll* data);
    keeperStatus set_conf(int cmd, ConfigAll* data);
    // On success *list is a new[] array the caller deletes.
    keeperStatus get_card_list(int* count, CardInfo** list);
    // Asks the daemon to read its INI file again and apply what changed.
    // reload() waits for the answer: 0 applied, 2 refused (nothing changed),
    // 4 nothing to change; 2 also when no answer comes in time, 3 when the
    // connection closed. request_reload() only sends the request: the answer
    // comes later as a KEEPER_RELOAD message, whose status read_callback()
    // returns.
    keeperStatus reload();
    keeperStatus request_reload();

    // Events.
    keeperStatus register_event(unsigned group, unsigned id, EventCallback cb);
    keeperStatus unregister_event(unsigned group, unsigned id);
    keeperStatus send_event(unsigned group, unsigned id, void* data, size_t len);

    // Callbacks that the daemon, or another client through it, may run.
    keeperStatus register_callback(const char* name, const char* name2, keeperStatus (*fn)(void*),
                                   unsigned* idOut);
    keeperStatus unregister_callback(unsigned id);

    // Keep-alive.
    keeperStatus send_checkAlive();
    unsigned get_keep_alive_received() const { return kaReceived; }
    unsigned get_keep_alive_sent() const { return kaSent; }

    // Hooks of the owning program.
    void set_quit_hook(Hook hook) { quitHook = hook; }
    void set_list_hook(ListHook hook) { listHook = hook; }
    void set_keep_alive_hook(Hook hook) { keepAliveHook = hook; }
    // Called from the SIGUSR2 handler: must be async-signal-safe.
    static void (*_keep_alive_signal_foo)();

protected:
    bool _connect_keeper();
    void _get_keeper_properties(keeperType type);
    keeperStatus _send_msg(unsigned type, unsigned len, const void* data);
    keeperStatus _send_ack_message(keeperStatus status, keeperMsgType type, unsigned value,
                                   unsigned ackId);

    virtual keeperStatus _handle_callback(keeper_client_header& header, void* out);
    virtual keeperStatus _handle_seq();
    virtual keeperStatus _handle_check_alive();
    virtual keeperStatus _handle_unknown_msg(keeper_client_header& header);

    keeperStatus _handle_list_reply(keeper_client_header& header);
    keeperStatus _handle_conf_result(keeper_client_header& header, void* out);
    keeperStatus _handle_get_card_list(keeper_client_header& header, void* out);
    keeperStatus _handle_reload_result(keeper_client_header& header);
    keeperStatus _handle_event(keeper_client_header& header);
    keeperStatus _handle_run_cb(keeper_client_header& header);
    keeperStatus _handle_quit();
    void _reregister_keeper();

    static void _check_alive_signal_handle(int sig);

    // The wait of a synchronous request; tests shorten it.
    int replyWaitMs = kReplyWaitMs;

private:
    using Clock = std::chrono::steady_clock;

    void _clear();
    Clock::time_point _wait_end() const;
    int _wait_io(int fd, int forRead, Clock::time_point end);
    keeperStatus _read_message(unsigned* typeOut, void* out, Clock::time_point end);
    // Reads exactly n bytes by readEnd; 2 on error or time-out, 3 when the
    // daemon closed. Any failure drops the connection.
    keeperStatus _read_full(void* buf, size_t n, const char* who);
    // Copies up to n buffered bytes to `to`; how many it copied.
    size_t _take(unsigned char* to, size_t n);
    // Receives at least one byte into the buffer by readEnd: whatever has
    // arrived, or no more than `wanted` during a synchronous wait. The
    // results and failures are _read_full's.
    keeperStatus _receive(size_t wanted, const char* who);
    // Drops the connection after a failed write or read and lets the
    // reconnect timer take over.
    void _connection_lost();
    void _schedule_reconnect();
    bool _connected(const char* who);
    // Sends a listing request whose answer goes to hook (or the last one).
    keeperStatus _request_listing(const char* who, keeperMsgType type, unsigned len,
                                  const void* data, ListHook hook);
    // Records (cb non-null) or clears the entries of one group, or of every
    // group for EVENT_GRP_ALL; false when not connected or the group is bad.
    bool _set_event_entries(const char* who, unsigned group, unsigned id, EventCallback cb);
    keeperStatus _send_conf(keeperMsgType type, int cmd, ConfigAll* data, void* out);
    keeperStatus _wait_reply(unsigned wanted, void* out, keeperStatus* reply);
    keeperStatus _send_value(keeperMsgType type, uint32_t value, const char* text);
    keeperStatus _send_reg_event(uint32_t operation, uint32_t group, uint32_t id);
    keeperStatus _send_register_cb(unsigned id, const CallbackBase& cb);

    EvEngine* engine;
    EvSock* socket = nullptr;
    char name[KEEPER_NAME_LEN];
    unsigned kaReceived = 0;
    unsigned kaSent = 0;
    uint32_t keeperIp = 0xFFFFFFFF;
    int keeperPort = -1;
    keeperType keeper_type = KEEPER_INIT_NONE;
    // The callbacks this program registered; the number is their id.
    CallbackPool callbacks;
    uint32_t msgCounter = 0;
    Hook quitHook = nullptr;
    ListHook listHook = nullptr;
    Hook keepAliveHook = nullptr;
    EventCallback eventCallbacks[kEventGroups];
    uint32_t eventIds[kEventGroups];
    int reconnectTimer = 0;
    // When the message being read must be complete.
    Clock::time_point readEnd;
    // Received bytes not taken yet: [inHead, inTail) of inBuf, made at the
    // first receive.
    std::unique_ptr<unsigned char[]> inBuf;
    size_t inHead = 0;
    size_t inTail = 0;
    // Set during a synchronous wait, which receives no byte beyond the
    // message it reads: what follows the reply stays in the socket, where
    // the engine's select() sees it once the wait has returned.
    bool exactReads = false;
};
