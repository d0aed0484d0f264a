#include "keeper/predefined_checks.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <string>

#include "keeper/keeper_plugin.h"
#include "keeper/program_runner.h"
#include "keeper/script_job.h"
#include "keeper/task_host.h"
#include "keeper/timer_handler.h"
#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/proc_utils.h"
#include "support/run_prog.h"

namespace {

const uint16_t kNtpPort = 123;

KeeperBasePligin* config_plugin(TaskHost* keeper) {
    return keeper ? keeper->get_plugin(PLUGIN_CONFIG) : nullptr;
}

// The address to ask (network order). A server given by name has one only
// when the name is an address: looking a name up could hold the loop for
// many seconds.
bool server_address(const ConfigSrv& server, in_addr_t* address) {
    if (!server.byName) {
        *address = server.u.address;
        return true;
    }
    const std::string name(server.u.name, strnlen(server.u.name, sizeof server.u.name));
    if (inet_pton(AF_INET, name.c_str(), address) == 1) return true;
    EV_TRACE(DL_USER1, "ntp_RemCheck::_ntp_test, %s is no address", name.c_str());
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------

predefined_check::predefined_check(TaskHost* k, TimerHandler* timers, const char* registered,
                                   const char* l)
    : CheckBase(k, timers), label(l) {
    set_name(registered);
    set_exec(registered);
}

keeperStatus predefined_check::validate() {
    valid = true;
    return KEEPER_OK;
}

void predefined_check::run_once() {
    begin_run();
    end_run(work() != KEEPER_OK);
}

void predefined_check::dump(std::string& out) const {
    out.append(label).append("\n");
    CheckBase::dump(out);
    out.append(name).append("\nValid:").append(valid ? "1" : "0").append("\n");
}

// ---------------------------------------------------------------------------

ntp_RemCheck::ntp_RemCheck(TaskHost* k, TimerHandler* timers)
    : predefined_check(k, timers, "NTP_RemCheck", "ntp_RemCheck"),
      probe(timers ? timers->get_engine() : nullptr, kNtpPort) {}

keeperStatus ntp_RemCheck::init() {
    if (check_can_run()) run_once();
    return KEEPER_OK;
}

void ntp_RemCheck::run_once() {
    EV_TRACE(DL_USER1, "ntp_RemCheck::run");
    if (probe.busy()) {
        EV_TRACE(DL_USER1, "ntp_RemCheck::run, previous probe still waiting");
        skip_run();
        return;
    }
    begin_run();
    _update_ntp_srv_status();
}

keeperStatus ntp_RemCheck::stop() {
    // A stopped check publishes nothing more, not even the probe under way.
    probe.cancel();
    return predefined_check::stop();
}

void ntp_RemCheck::_update_ntp_srv_status() {
    EV_TRACE(DL_USER1, "ntp_RemCheck::_update_ntp_srv_status");
    std::list<ConfigAll*> servers;
    KeeperBasePligin* plugin = config_plugin(keeper);
    if (plugin) plugin->get_ntp_list(servers);
    std::vector<Target> targets;
    std::vector<in_addr_t> addresses;
    for (const ConfigAll* record : servers) {
        const ConfigSrv& server = record->data.srv;
        in_addr_t address = 0;
        bool asked = server_address(server, &address);
        targets.push_back(Target{server, asked});
        if (asked) addresses.push_back(address);
    }
    probe.start(addresses, [this, targets](const std::vector<int>& results) {
        _take_results(targets, results);
        // A run fails when servers are configured and none of them answered.
        const bool answered =
            std::find(results.begin(), results.end(), NTP_SRV_OK) != results.end();
        end_run(!targets.empty() && !answered);
    });
}

void ntp_RemCheck::_take_results(const std::vector<Target>& targets,
                                 const std::vector<int>& results) {
    // The list is asked for again: servers may have gone or come meanwhile.
    std::list<ConfigAll*> servers;
    KeeperBasePligin* plugin = config_plugin(keeper);
    if (plugin) plugin->get_ntp_list(servers);
    for (ConfigAll* record : servers) {
        size_t asked = 0;
        const Target* target = nullptr;
        for (const Target& t : targets) {
            if (memcmp(&t.server, &record->data.srv, sizeof t.server) == 0) {
                target = &t;
                break;
            }
            if (t.asked) ++asked;
        }
        if (!target) continue;
        int result = target->asked && asked < results.size() ? results[asked] : NTP_SRV_DOWN;
        const char* text = result == NTP_SRV_OK ? "OK" : "Down";
        EV_TRACE(DL_USER1, "ntp_RemCheck::_update_ntp_srv_status, status %s", text);
        if (record->action == static_cast<uint32_t>(result)) continue;
        record->action = static_cast<uint32_t>(result);
        EV_TRACE(DL_NOTIFY, "ntp_RemCheck::_update_ntp_srv_status, status changed to %s", text);
        ConfigAll event = *record;
        config_dataH2NOrder(CONFIG_SRV_GET, &event);
        keeper->send_event(EVENT_GRP_SERVER, kEventId, &event, sizeof event);
    }
}

// ---------------------------------------------------------------------------

ntp_LocalCheck::ntp_LocalCheck(TaskHost* k, TimerHandler* timers)
    : predefined_check(k, timers, "NTP_LocalCheck", "ntp_LocalCheck") {}

keeperStatus ntp_LocalCheck::work() {
    EV_TRACE(DL_USER1, "ntp_LocalCheck::run");
    if (_is_ntpd_run() || !_can_reach_peer()) return KEEPER_OK;
    EV_TRACE(DL_NOTIFY, "ntp_LocalCheck::run, start NTP daemon");
    // The check does not wait for the script; runs of the script never
    // overlap, and a start asked for while one runs is folded into one.
    ProgramRunner::Job job = scriptJob(ARGV_NTP_START, ARGV_NTP_START[0]);
    if (keeper->get_runner().start(std::move(job)) >= 0) return KEEPER_OK;
    EV_TRACE(DL_ERROR, "ntp_LocalCheck::run, cannot run %s",
             commandLineText(ARGV_NTP_START).c_str());
    return KEEPER_FAIL;
}

bool ntp_LocalCheck::_is_ntpd_run() {
    EV_TRACE(DL_USER1, "ntp_LocalCheck::_is_ntpd_run");
    int pid = Com_getPidof(APP_NTPD);
    EV_TRACE(DL_USER1, "ntp_LocalCheck::_is_ntpd_run, %d", pid);
    return pid > 0;
}

bool ntp_LocalCheck::_can_reach_peer() {
    // Looked up each time rather than kept: a plug-in may be replaced.
    KeeperBasePligin* plugin = config_plugin(keeper);
    bool reachable = plugin && plugin->reach_ntp_srv();
    EV_TRACE(DL_USER1, "ntp_LocalCheck::_can_reach_peer, %d", reachable);
    return reachable;
}

// ---------------------------------------------------------------------------

kpiCheck::kpiCheck(TaskHost* k, TimerHandler* timers)
    : predefined_check(k, timers, "KpiCheck", "kpiCheck") {
    interval = 60;
    level = 8;
    enabled = true;
    valid = true;
    must = false;
}

keeperStatus kpiCheck::work() {
    EV_TRACE(DL_USER1, "kpiCheck::run");
    // Without a configuration plug-in there is no work to do, which is no
    // failure of the check.
    if (keeper) keeper->run_plugin_work();
    return KEEPER_OK;
}

// ---------------------------------------------------------------------------

fups_RunCheck::fups_RunCheck(TaskHost* k, TimerHandler* timers)
    : predefined_check(k, timers, "FUPs_RunCheck", "fups_RunCheck"), list_mtime(), list_size(0) {}

keeperStatus fups_RunCheck::init() {
    EV_TRACE(DL_USER1, "fups_RunCheck::init");
    if (check_can_run()) run_once();
    return KEEPER_OK;
}

keeperStatus fups_RunCheck::fups_management() {
    struct stat st;
    // To the nanosecond: a list rewritten within the same second and at the
    // same size is a change too.
    timespec mtime{};
    long long size = 0;
    if (stat(APP_FUPS_LIST, &st) == 0) {
        mtime = st.st_mtim;
        size = static_cast<long long>(st.st_size);
    }
    if (mtime.tv_sec == list_mtime.tv_sec && mtime.tv_nsec == list_mtime.tv_nsec &&
        size == list_size)
        return KEEPER_OK;
    list_mtime = mtime;
    list_size = size;
    return keeper ? keeper->fups_management() : KEEPER_OK;
}
