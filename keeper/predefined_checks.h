// The checks built into the appliance's daemon: a probe of the configured
// time servers, a watchdog of the local time daemon, the configuration
// plug-in's periodic work, and a watch on the fast-update list file. They
// are scheduled and counted like any check (interval, enabled, holds, system
// mode) but replace its run: no failing episodes, no actions.
#ifndef KEEPER_PREDEFINED_CHECKS_H
#define KEEPER_PREDEFINED_CHECKS_H

#include <ctime>
#include <vector>

#include "keeper/check_base.h"
#include "keeper/ntp_probe.h"
#include "protocol/keeper_records.h"

class predefined_check : public CheckBase {
public:
    // `registered` is both the check's name and its executable; `label`
    // heads its dump.
    predefined_check(TaskHost* keeper, TimerHandler* timers, const char* registered,
                     const char* label);

    keeperStatus validate() override;
    // Like any check's stop: the timer goes, a later start arms it again.
    keeperStatus stop() override { return CheckBase::stop(); }
    keeperStatus init() override { return KEEPER_OK; }
    void dump(std::string& out) const override;

protected:
    // The check's work, one counted run; KEEPER_FAIL counts as a failure.
    virtual keeperStatus work() { return KEEPER_OK; }
    void run_once() override;

private:
    const char* label;
};

// Sends each configured time server an SNTP request and keeps the answer in
// the server's record of the configuration plug-in; subscribers hear of
// every change between answering and not answering.
class ntp_RemCheck : public predefined_check {
public:
    static constexpr unsigned kEventId = 2048;

    ntp_RemCheck(TaskHost* keeper, TimerHandler* timers);

    keeperStatus stop() override;
    keeperStatus init() override;

    bool probing() const { return probe.busy(); }
    // Where the servers are asked (123); tests use a port of their own.
    void set_ntp_port(uint16_t port) { probe.set_port(port); }

protected:
    // Starts one probe of every server; the results are taken in, and the
    // run counted, when the probe is over. A run while a probe still waits
    // is skipped.
    void run_once() override;

private:
    struct Target {
        ConfigSrv server;  // the record's server part, to find it again
        bool asked;        // false: no address to send to, counted down
    };

    void _update_ntp_srv_status();
    void _take_results(const std::vector<Target>& targets, const std::vector<int>& results);

    NtpProbe probe;
};

// Starts the local time daemon when it does not run and some configured
// server answered the last probe.
class ntp_LocalCheck : public predefined_check {
public:
    ntp_LocalCheck(TaskHost* keeper, TimerHandler* timers);

    bool _is_ntpd_run();
    bool _can_reach_peer();

protected:
    // Fails when the start script cannot be run.
    keeperStatus work() override;
};

// Calls the configuration plug-in's periodic work.
class kpiCheck : public predefined_check {
public:
    kpiCheck(TaskHost* keeper, TimerHandler* timers);

protected:
    keeperStatus work() override;
};

// Reconciles the fast-update processes whenever the list file's
// modification time or size differs from what it saw last.
class fups_RunCheck : public predefined_check {
public:
    fups_RunCheck(TaskHost* keeper, TimerHandler* timers);

    keeperStatus init() override;
    keeperStatus fups_management();

protected:
    keeperStatus work() override { return fups_management(); }

private:
    timespec list_mtime;
    long long list_size;
};

#endif
