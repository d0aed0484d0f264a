// Demo program: subscribes to the sensor events and to the task-status
// events of the daemon and prints what arrives.
#include <cstdio>
#include <cstring>

#include "client/keeper_client.h"
#include "manager/demo/demo_start.h"
#include "reactor/ev_engine.h"

namespace {

keeperStatus onSensor(unsigned, unsigned id, void* data, size_t len) {
    printf("demo_listener: sensor event id %u: %.*s\n", id, static_cast<int>(len),
           static_cast<char*>(data));
    return KEEPER_OK;
}

keeperStatus onTask(unsigned, unsigned, void* data, size_t len) {
    if (len < sizeof(ConfigTask)) return KEEPER_FAIL;
    const ConfigTask* task = static_cast<ConfigTask*>(data);
    printf("demo_listener: task %.*s is %s\n",
           static_cast<int>(strnlen(task->task, sizeof task->task)), task->task,
           task->status == 1 ? "up" : "down");
    return KEEPER_OK;
}

}  // namespace

int main() {
    demoStart("demo_listener");
    EvEngine engine;
    keeperClient client(&engine, KEEPER_INIT_PROGRAM);
    client.init(KEEPER_INIT_PROGRAM);
    client.register_event(EVENT_GRP_SENSOR, 0xFFFFFFFF, onSensor);
    client.register_event(EVENT_GRP_TASK, 0xFFFFFFFF, onTask);
    printf("demo_listener: up, subscribed to sensor and task events\n");
    engine.run();
    return 0;
}
