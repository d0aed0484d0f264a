// Demo program: answers the daemon's keep-alive probes until its callback
// "mute" is run; then the daemon's keep-alive actions take over (SIGUSR2
// warnings, then a restart). "unmute" lets it answer again.
#include <csignal>
#include <cstdio>

#include "client/keeper_client.h"
#include "manager/demo/demo_start.h"
#include "reactor/ev_engine.h"

namespace {

bool gMuted = false;
volatile sig_atomic_t gWarnings = 0;

void onWarning() { gWarnings = gWarnings + 1; }

class Heartbeat : public keeperClient {
public:
    explicit Heartbeat(EvEngine* engine) : keeperClient(engine, KEEPER_INIT_PROGRAM) {}

protected:
    keeperStatus _handle_check_alive() override {
        if (gWarnings > 0) {
            printf("demo_heartbeat: %d keep-alive warning(s) (SIGUSR2) so far\n",
                   static_cast<int>(gWarnings));
        }
        if (gMuted) {
            printf("demo_heartbeat: probe left unanswered\n");
            return KEEPER_OK;
        }
        printf("demo_heartbeat: probe answered\n");
        return keeperClient::_handle_check_alive();
    }
};

keeperStatus mute(void*) {
    gMuted = true;
    return KEEPER_OK;
}

keeperStatus unmute(void*) {
    gMuted = false;
    return KEEPER_OK;
}

}  // namespace

int main() {
    demoStart("demo_heartbeat");
    EvEngine engine;
    Heartbeat client(&engine);
    keeperClient::_keep_alive_signal_foo = onWarning;
    client.init(KEEPER_INIT_PROGRAM);
    unsigned id = 0;
    client.register_callback("mute", "stop answering keep-alive probes", mute, &id);
    client.register_callback("unmute", "answer keep-alive probes again", unmute, &id);
    printf("demo_heartbeat: up, answering keep-alive probes\n");
    engine.run();
    return 0;
}
