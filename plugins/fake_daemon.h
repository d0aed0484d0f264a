// The daemon around the plug-in in its tests: the jobs the plug-in started,
// each ended when and how the test says, the replies that wait for them, and
// the events, timers and reboots it asked for.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "plugins/sw_config_plugin.h"

class FakeDaemon : public PluginHost, public PendingReplies::Waiter {
public:
    // Takes the plug-in's jobs, in place of a starter the test gave it.
    void serve(SWConfigPlugin& plugin) {
        plugin.set_starter(nullptr);
        plugin.set_host(this);
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

    void publish(unsigned group, unsigned code, void* data, unsigned len) override {
        ASSERT_EQ(len, sizeof(ConfigAll));
        events.push_back({group, code, *static_cast<ConfigAll*>(data)});
    }
    void schedule(long delay, std::function<void()> call) override {
        timers.emplace_back(delay, std::move(call));
    }
    void request_reboot() override { ++reboots; }
    std::string dev_mode() const override { return mode; }
    keeperStatus set_dev_mode(const char* chosen) override {
        mode = chosen;
        return KEEPER_OK;
    }
    int start(ProgramRunner::Job job) override {
        if (refuse) return -1;
        jobs.push_back(std::move(job));
        return static_cast<int>(jobs.size());
    }
    PendingReplies& pending_replies() override { return replies; }

    struct Published {
        unsigned group, code;
        ConfigAll body;
    };
    std::vector<ProgramRunner::Job> jobs;
    PendingReplies replies;
    std::vector<Published> events;
    std::vector<std::pair<long, std::function<void()>>> timers;
    int reboots = 0;
    std::string mode;
    bool refuse = false;
    int answered = -1;
};
