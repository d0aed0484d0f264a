#include "keeper/pending_replies.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Connection : PendingReplies::Waiter {
    void reply_ready(keeperStatus status) override { got.push_back(status); }
    std::vector<keeperStatus> got;
};

TEST(PendingReplies, TheFinalStatusReachesOnlyAConnectionStillThere) {
    PendingReplies replies;
    Connection stays, leaves;
    const uint32_t first = replies.open(), second = replies.open();
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);
    replies.attach(first, &stays);
    replies.attach(second, &leaves);
    replies.forget(&leaves);
    replies.close(second, KEEPER_OK);
    EXPECT_TRUE(leaves.got.empty());
    EXPECT_TRUE(replies.any_open());
    replies.close(first, KEEPER_FAIL);
    replies.close(first, KEEPER_OK);
    EXPECT_EQ(stays.got, std::vector<keeperStatus>{KEEPER_FAIL}) << "one reply per token";
    EXPECT_FALSE(replies.any_open());
}

TEST(PendingReplies, ChangesWaitBehindAnOpenReplyInTheOrderTheyCame) {
    PendingReplies replies;
    Connection a, b, gone, late;
    EXPECT_TRUE(replies.may_change(&a)) << "nothing open, nobody in line";
    const uint32_t token = replies.open();
    EXPECT_FALSE(replies.may_change(&b));
    EXPECT_FALSE(replies.may_change(&gone));
    EXPECT_FALSE(replies.may_change(&a));
    EXPECT_FALSE(replies.may_change(&b)) << "asking again keeps the place";
    replies.forget(&gone);
    replies.close(token, KEEPER_OK);
    EXPECT_FALSE(replies.may_change(&late)) << "behind those that waited";
    EXPECT_FALSE(replies.may_change(&a));
    EXPECT_TRUE(replies.may_change(&b));
    replies.leave(&b);
    EXPECT_TRUE(replies.may_change(&a));
    replies.leave(&a);
    EXPECT_TRUE(replies.in_line(&late));
    EXPECT_TRUE(replies.may_change(&late));
}

}  // namespace
