// Life cycle of the configuration plug-in and the dispatch of configuration
// requests to its getters and setters.
#include "plugins/sw_config_plugin.h"

#include <cstring>
#include <utility>

#include "plugins/link_utils.h"
#include "support/appliance.h"
#include "support/atomic_file.h"
#include "support/ev_debug.h"
#include "support/run_prog.h"

namespace {

// The disk figure of a df run: unknown unless it ran to its end.
int disk_usage_of(const RunOutcome& outcome) {
    if (outcome.kind == RunOutcome::Exited) return ResourceUsage::disk_usage_from(outcome.output);
    EV_TRACE(DL_ERROR, "df %s: disk usage unknown", outcome.text().c_str());
    return -1;
}

}  // namespace

SWConfigPlugin::SWConfigPlugin(const char* cfg, const char* conf)
    : confDir(conf ? conf : ""),
      net(model, rc, files, *this),
      rc(cfg, model, net),
      files(model, rc, *this) {
    // Through the virtual hooks: a variant's file has variables of its own.
    rc.set_hooks(
        {[this](const char* name, const char* value) { return _read_conf_ext(name, value); },
         [this](FILE* out) { _update_sec_conf(out); },
         [this](FILE* out) { _update_conf_ext(out); }});
}

void SWConfigPlugin::init(PluginHost* daemon) {
    KeeperBasePligin::init(daemon);
    hwu_logger_init_file();
    if (rc.load() == KEEPER_FAIL) {
        EV_TRACE(DL_ERROR, "SWConfigPlugin::init, %s not loaded: configuration requests refused",
                 rc.file().c_str());
        return;
    }
    files.load();
    files.load_version(confDir);
    files.trace_servers();
    ready_ = true;
}

keeperStatus SWConfigPlugin::handleRequest(GeneralMsg& msg) {
    if (!ready_) {
        if (msg.type() == KEEPER_GET_CONFIG || msg.type() == KEEPER_SET_CONFIG)
            msg.payload.config.status = KEEPER_FAIL;
        return KEEPER_FAIL;
    }
    if (msg.type() == KEEPER_GET_CONFIG) {
        _get_conf(msg);
        return KEEPER_OK;
    }
    if (msg.type() == KEEPER_SET_CONFIG) {
        _set_conf(msg);
        msg.replyToken = std::exchange(replyToken, 0);
        return KEEPER_OK;
    }
    return KEEPER_FAIL;
}

void SWConfigPlugin::on_timer(void* daemon) {
    if (!daemon) return;
    usage.first_cpu_snapshot();
    schedule(1, [this] { get_next_cpu_usage(); });
    // A dead network mount makes df hang: the figures are taken when it ends.
    ProgramRunner::Job job = ProgramRunner::program(usage.df_command(), APP_RUN_DEADLINE_DF);
    job.capture = true;
    job.done = [this](const RunOutcome& outcome) { _publish_usage(disk_usage_of(outcome)); };
    if (start(std::move(job)) < 0) _publish_usage(-1);
}

void SWConfigPlugin::_publish_usage(int disk) {
    const unsigned changes = usage.refresh(model.hwStatus, disk);
    if (changes == 0) return;
    ConfigAll body;
    memset(&body, 0, sizeof body);
    body.data.hw = model.hwStatus;
    config_hwH2NOrder(&body.data.hw);
    if (daemon_) daemon_->publish(EVENT_GRP_HW_STATUS, changes, &body, sizeof body);
}

void SWConfigPlugin::get_next_cpu_usage() { usage.next_cpu_snapshot(); }

void SWConfigPlugin::schedule(long delay, std::function<void()> call) {
    if (daemon_)
        daemon_->schedule(delay, std::move(call));
    else
        EV_TRACE(DL_ERROR, "SWConfigPlugin::schedule, no daemon to keep the time");
}

void SWConfigPlugin::run_script(const char* const argv[]) { start(scriptJob(argv, argv[0])); }

keeperStatus SWConfigPlugin::run_for_reply(ProgramRunner::Job job, OutcomeStatus finish) {
    PendingReplies* pending = pending_replies();
    if (!pending) return finish(RunOutcome());
    const uint32_t token = pending->open();
    // The client waits for the answer: time in the queue counts.
    job.deadline_includes_wait = true;
    job.done = [pending, token, finish](const RunOutcome& outcome) {
        pending->close(token, finish(outcome));
    };
    if (start(std::move(job)) < 0) {
        // Nobody waits for the token yet: closing only takes it back.
        pending->close(token, KEEPER_FAIL);
        return finish(RunOutcome());
    }
    replyToken = token;
    return KEEPER_OK;
}

int SWConfigPlugin::start(ProgramRunner::Job job) {
    const std::string line = commandLineText(job.argv);
    EV_TRACE(DL_DEBUG_EXT, "run command: %s", line.c_str());
    int id = -1;
    if (starter)
        id = starter(std::move(job));
    else if (daemon_)
        id = daemon_->start(std::move(job));
    if (id < 0) EV_TRACE(DL_ERROR, "Can't run %s", line.c_str());
    return id;
}

PendingReplies* SWConfigPlugin::pending_replies() const {
    return daemon_ ? &daemon_->pending_replies() : nullptr;
}

keeperStatus SWConfigPlugin::_read_conf_ext(const char*, const char*) { return KEEPER_FAIL; }

keeperStatus SWConfigPlugin::_update_sec_conf(FILE* out) {
    rc.write_switches(out);
    return KEEPER_OK;
}

keeperStatus SWConfigPlugin::_update_conf_ext(FILE*) { return KEEPER_FAIL; }

keeperStatus SWConfigPlugin::set_security(ConfigSecurity* request, int& mask) {
    return files.set_security(request, mask, [this](FileBatch& batch, int changes) {
        return _update_sec_files(batch, changes);
    });
}

keeperStatus SWConfigPlugin::_update_sec_files(FileBatch& batch, int) {
    return update_cfg_file(batch);
}
