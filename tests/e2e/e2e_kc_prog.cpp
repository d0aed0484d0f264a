// A supervised program built on keeperClient, as the appliance's programs
// are. What it does is chosen by its arguments (the INI "args" of its task):
//   --record FILE        append "<what> <pid> <ms>" lines to FILE: "start",
//                        "init", "quit", "usr2", "event:G:ID:LEN:FIRST" for
//                        every event received (FIRST: first data byte, or
//                        the status of a task-status event followed by
//                        ":" and its task), "cb:NAME:ARGS" for every callback
//                        run (blanks of ARGS as "_"), "sent:G:ID:LEN:STATUS"
//                        for every event it published, "reg:NAME:STATUS"
//   --subscribe G:ID     register for event group G, ids ID (0x.. allowed)
//   --callback NAME      register a callback that records its runs
//   --silent-when FILE   leave keep-alive probes unanswered while FILE exists
// Every program also registers the callback "publish" (arguments "G ID LEN":
// sends an event of LEN bytes, byte i = i % 251) and "unsubscribe"
// (arguments "G ID"). It exits 0 on KEEPER_QUIT.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/keeper_client.h"
#include "protocol/keeper_records.h"
#include "reactor/ev_engine.h"
#include "tests/e2e/record.h"

namespace {

const char* gRecord = nullptr;
const char* gSilentFile = nullptr;
keeperClient* gClient = nullptr;

void record(const std::string& what) { e2e::recordLine(gRecord, what.c_str()); }

std::string noBlanks(std::string text) {
    for (char& c : text)
        if (c == ' ') c = '_';
    return text;
}

keeperStatus onEvent(unsigned group, unsigned id, void* data, size_t len) {
    std::string first = "-";
    if (group == EVENT_GRP_TASK && len >= sizeof(ConfigTask)) {
        const ConfigTask* task = static_cast<const ConfigTask*>(data);
        first = std::to_string(task->status) + ":" +
                std::string(task->task, strnlen(task->task, sizeof task->task));
    } else if (len > 0) {
        first = std::to_string(static_cast<unsigned char*>(data)[0]);
    }
    record("event:" + std::to_string(group) + ":" + std::to_string(id) + ":" + std::to_string(len) +
           ":" + first);
    return KEEPER_OK;
}

// Callbacks get only their argument text, so the name travels in a table
// indexed by the registration order.
std::vector<std::string> gCallbackNames;

template <size_t N>
keeperStatus onCallback(void* args) {
    record("cb:" + gCallbackNames[N] + ":" + noBlanks(static_cast<char*>(args)));
    return KEEPER_OK;
}

keeperStatus (*const kCallbackSlots[])(void*) = {onCallback<0>, onCallback<1>, onCallback<2>,
                                                 onCallback<3>};

// The numbers of a callback's argument text (decimal or 0x..).
std::vector<unsigned> numbers(const char* text) {
    std::vector<unsigned> found;
    char* end = nullptr;
    for (;;) {
        const unsigned long value = strtoul(text, &end, 0);
        if (end == text) return found;
        found.push_back(static_cast<unsigned>(value));
        text = end;
    }
}

keeperStatus onPublish(void* args) {
    const std::vector<unsigned> words = numbers(static_cast<char*>(args));
    if (words.size() != 3) return KEEPER_FAIL;
    const unsigned group = words[0], id = words[1], len = words[2];
    std::vector<unsigned char> data(len > 0 ? len : 1);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i % 251);
    keeperStatus rc = gClient->send_event(group, id, len ? data.data() : nullptr, len);
    record("sent:" + std::to_string(group) + ":" + std::to_string(id) + ":" + std::to_string(len) +
           ":" + std::to_string(rc));
    return rc;
}

keeperStatus onUnsubscribe(void* args) {
    const std::vector<unsigned> words = numbers(static_cast<char*>(args));
    if (words.size() != 2) return KEEPER_FAIL;
    return gClient->unregister_event(words[0], words[1]);
}

void onQuit() {
    record("quit");
    _exit(0);
}

void onUsr2() { e2e::recordLine(gRecord, "usr2"); }

// Answers probes only while the test lets it.
class ProgClient : public keeperClient {
public:
    ProgClient(EvEngine* engine) : keeperClient(engine, 1) {}

protected:
    keeperStatus _handle_check_alive() override {
        struct stat st {};
        if (gSilentFile && stat(gSilentFile, &st) == 0) return KEEPER_OK;
        return keeperClient::_handle_check_alive();
    }
};

void registerCallback(keeperClient& client, const char* name, keeperStatus (*fn)(void*)) {
    unsigned id = 0;
    keeperStatus rc = client.register_callback(name, "test callback", fn, &id);
    record(std::string("reg:") + name + ":" + std::to_string(rc));
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::pair<unsigned, unsigned>> subscriptions;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--record" && hasValue) {
            gRecord = argv[++i];
        } else if (arg == "--subscribe" && hasValue) {
            char* rest = nullptr;
            const unsigned group = static_cast<unsigned>(strtoul(argv[++i], &rest, 0));
            const unsigned id =
                rest && *rest == ':' ? static_cast<unsigned>(strtoul(rest + 1, nullptr, 0)) : 0;
            subscriptions.emplace_back(group, id);
        } else if (arg == "--callback" && hasValue && gCallbackNames.size() < 4) {
            gCallbackNames.push_back(argv[++i]);
        } else if (arg == "--silent-when" && hasValue) {
            gSilentFile = argv[++i];
        } else {
            return 2;
        }
    }
    record("start");
    EvEngine engine;
    ProgClient client(&engine);
    gClient = &client;
    client.set_quit_hook(onQuit);
    keeperClient::_keep_alive_signal_foo = onUsr2;
    record("init");
    client.init(1);
    for (auto& sub : subscriptions) client.register_event(sub.first, sub.second, onEvent);
    registerCallback(client, "publish", onPublish);
    registerCallback(client, "unsubscribe", onUnsubscribe);
    for (size_t i = 0; i < gCallbackNames.size(); ++i)
        registerCallback(client, gCallbackNames[i].c_str(), kCallbackSlots[i]);
    engine.run();
    return 0;
}
