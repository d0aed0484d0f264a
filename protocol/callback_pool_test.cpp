#include "protocol/callback_pool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string lastArgs;

keeperStatus remember(void* args) {
    lastArgs = static_cast<char*>(args);
    return KEEPER_OK;
}

keeperStatus refuse(void*) { return KEEPER_NO_CHANGE; }

TEST(CallbackPool, NumbersInOrderAndRefusesTakenNames) {
    CallbackPool pool;
    unsigned id = 99;
    ASSERT_EQ(KEEPER_OK, pool.register_callback(new CallbackLocal("a", "x", remember), &id));
    EXPECT_EQ(0u, id);
    ASSERT_EQ(KEEPER_OK, pool.register_callback(new CallbackLocal("b", "y", refuse), &id));
    EXPECT_EQ(1u, id);
    CallbackLocal duplicate("a", "other", refuse);
    EXPECT_EQ(KEEPER_FAIL, pool.register_callback(&duplicate, &id));
    EXPECT_EQ(1u, id);

    char args[] = "one two";
    EXPECT_EQ(KEEPER_OK, pool.run_callback("a", args));
    EXPECT_EQ("one two", lastArgs);
    EXPECT_EQ(KEEPER_NO_CHANGE, pool.run_callback(1u, args));
    EXPECT_EQ(KEEPER_FAIL, pool.run_callback(2u, args));
    EXPECT_EQ(KEEPER_FAIL, pool.run_callback("c", args));
    EXPECT_EQ(nullptr, pool.find_cb_by_name(nullptr));

    char* text = nullptr;
    unsigned len = 0;
    ASSERT_EQ(KEEPER_OK, pool.cb_list(&text, &len));
    EXPECT_STREQ("a x\nb y\n", text);
    EXPECT_EQ(10u, len);
    free(text);
}

TEST(CallbackPool, EmptyListingAndOverlongTexts) {
    CallbackPool pool;
    char* text = reinterpret_cast<char*>(1);
    unsigned len = 7;
    ASSERT_EQ(KEEPER_OK, pool.cb_list(&text, &len));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(0u, len);

    const std::string longName(300, 'n');
    CallbackLocal* cb = new CallbackLocal(longName.c_str(), longName.c_str(), remember);
    ASSERT_EQ(KEEPER_OK, pool.register_callback(cb, nullptr));
    EXPECT_EQ(std::string(99, 'n'), cb->get_name());
    EXPECT_EQ(std::string(99, 'n'), cb->get_text());
}

}  // namespace
