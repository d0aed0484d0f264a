// The daemon around the plug-in in its tests: the jobs the plug-in started,
// each ended when and how the test says, and the replies that wait for them.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "plugins/sw_config_plugin.h"

class FakeDaemon : public PendingReplies::Waiter {
public:
    void serve(SWConfigPlugin& plugin) {
        plugin.set_starter([this](ProgramRunner::Job job) {
            if (refuse) return -1;
            jobs.push_back(std::move(job));
            return static_cast<int>(jobs.size());
        });
        plugin.set_replies(&replies);
    }
    void end(size_t index, RunOutcome::Kind kind, int code = 0) {
        RunOutcome outcome;
        outcome.kind = kind;
        outcome.code = code;
        if (jobs.at(index).done) jobs.at(index).done(outcome);
    }
    // A configuration change through the plug-in's dispatch: its status,
    // answered at once or when its job (the last started) ends as `kind`
    // and `code` say.
    int change(SWConfigPlugin& plugin, uint32_t cmd, const ConfigAll& data,
               RunOutcome::Kind kind = RunOutcome::Exited, int code = 0) {
        GeneralMsg msg(KEEPER_SET_CONFIG);
        msg.payload.config.cmd = cmd;
        msg.payload.config.data = data;
        plugin.handleRequest(msg);
        if (!msg.replyToken) return static_cast<int>(msg.payload.config.status);
        answered = -1;
        replies.attach(msg.replyToken, this);
        EXPECT_EQ(answered, -1) << "answered before its program ended";
        end(jobs.size() - 1, kind, code);
        return answered;
    }
    void reply_ready(keeperStatus status) override { answered = static_cast<int>(status); }

    std::vector<ProgramRunner::Job> jobs;
    PendingReplies replies;
    bool refuse = false;
    int answered = -1;
};
