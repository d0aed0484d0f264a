#include "keeper/actions.h"

#include <gtest/gtest.h>

#include "keeper/fake_task_host.h"

namespace {

TEST(Actions, PredefinedActionsServeTheirHostAndStopDisablesTheTask) {
    FakeTaskHost host;
    ActionHandler registry;
    registry.init(&host);
    for (const char* name : {"None", "Stop", "Boot"}) {
        ASSERT_NE(nullptr, registry.get_action(name)) << name;
        EXPECT_EQ(&host, registry.get_action(name)->get_keeper()) << name;
    }
    EXPECT_STREQ("None", registry.get_action("unknown")->get_name());

    TaskOnSeq task(&host, nullptr);
    task.set_enabled(true);
    EXPECT_EQ(KEEPER_OK, registry.get_action("None")->run(&task));
    EXPECT_TRUE(task.is_enabled());
    EXPECT_EQ(KEEPER_OK, registry.get_action("Stop")->run(&task));
    EXPECT_FALSE(task.is_enabled());
    EXPECT_EQ(KEEPER_OK, registry.get_action("Stop")->run(nullptr));

    // A configured action of a predefined name goes with the configuration.
    registry.register_action(new RecordingAction("Stop"));
    EXPECT_STREQ("Stop", registry.get_action("Stop")->get_name());
    EXPECT_EQ(nullptr, registry.get_action("Stop")->get_keeper());
    registry.forget_configured_actions();
    EXPECT_EQ(&host, registry.get_action("Stop")->get_keeper());
    EXPECT_TRUE(host.shutdowns.empty());
}

}  // namespace
