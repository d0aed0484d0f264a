// Demo program: registers the callback "greet" and publishes a sensor
// reading every few seconds, plus one event per greeting.
#include <cstdio>
#include <cstring>

#include "client/keeper_client.h"
#include "manager/demo/demo_start.h"
#include "reactor/ev_engine.h"

namespace {

const unsigned kReadingId = 0x1;
const unsigned kGreetingId = 0x2;
keeperClient* gClient = nullptr;

void publish(unsigned id, const char* text) {
    keeperStatus rc =
        gClient->send_event(EVENT_GRP_SENSOR, id, const_cast<char*>(text), strlen(text) + 1);
    printf("demo_publisher: published \"%s\" (status %d)\n", text, rc);
}

keeperStatus greet(void* args) {
    char text[160];
    snprintf(text, sizeof text, "hello %s", static_cast<char*>(args));
    publish(kGreetingId, text);
    return KEEPER_OK;
}

class Sensor : public EvHandler {
public:
    int tick(void*) {
        char text[40];
        snprintf(text, sizeof text, "reading %u", ++count);
        publish(kReadingId, text);
        return 1;
    }

private:
    unsigned count = 0;
};

}  // namespace

int main() {
    demoStart("demo_publisher");
    EvEngine engine;
    keeperClient client(&engine, KEEPER_INIT_PROGRAM);
    gClient = &client;
    client.init(KEEPER_INIT_PROGRAM);
    unsigned id = 0;
    client.register_callback("greet", "publish a greeting event", greet, &id);
    Sensor sensor;
    engine.addTimer(5, &sensor, &Sensor::tick, nullptr, 5);
    printf("demo_publisher: up, callback \"greet\" registered\n");
    engine.run();
    return 0;
}
