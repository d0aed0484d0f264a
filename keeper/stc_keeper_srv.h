// The appliance's supervisor: the keeper class the daemon instantiates. It
// gives shutdown and host commands their system effect, reads the device
// mode, owns the built-in checks and keeps the fast-update processes.
#ifndef KEEPER_STC_KEEPER_SRV_H
#define KEEPER_STC_KEEPER_SRV_H

#include <vector>

#include "keeper/keeper_srv.h"
#include "support/appliance.h"

class iniKeeper_stc;

class stcKeeperSrv : public KeeperSrv {
public:
    explicit stcKeeperSrv(EvEngine* engine) : KeeperSrv(engine) {}
    ~stcKeeperSrv() override;

    keeperStatus parse_ini_file(const char* confDir) override;
    void prerun_actions() override;
    void handle_seq_end() override;
    void build_predefined_checks() override;
    void stop_predefined_checks() override;
    void linux_shutdown(CommandType command) override;
    void create_iniparser(const char* path) override;
    void configuration_reloaded() override;
    keeperStatus process_command(GeneralMsg& msg) override;

    // Chooses the device mode once (2 when chosen before or when the INI
    // file cannot be written) and switches its tasks on.
    keeperStatus set_dev_mode(const char* mode) override;
    // The device mode, "" until one is chosen.
    const char* get_dev_mode() const override;
    keeperStatus set_task_mode(const char* name, const char* args, bool on);
    keeperStatus set_check_mode(const char* name, const char* args, bool on);
    PsTask* get_default_fup() const { return default_fup; }

    // Reconciles the "FastUpdates" processes with the fast-update list file:
    // one per listed id, started when its entry is enabled; the processes of
    // ids no longer listed are stopped and dropped.
    keeperStatus fups_management() override { return fups_management(APP_FUPS_LIST); }
    keeperStatus fups_management(const char* list_path);
    // The processes of listed ids, and those of dropped ids on their way out.
    const std::vector<PsTask*>& get_fups() const { return fups; }
    const std::vector<PsTask*>& get_retired_fups() const { return retired_fups; }
    // Deletes the dropped processes that have exited; re-armed while some
    // are still on their way out.
    int reap_retired_fups(void*);

private:
    // Starts a host command or script of the daemon's own, not waited for;
    // its end is traced.
    void run_own(std::vector<std::string> argv);
    PsTask* create_fup(int id, const char* fup_args);
    // Stops the process of a dropped id; its task goes once it has exited.
    void retire_fup(PsTask* task);
    void delete_fup(PsTask* task);
    // Puts the resource check back into its level when no file placed it;
    // whether it did.
    bool place_resource_check();

    PsTask* default_fup = nullptr;
    // The INI reader this keeper created (also its `ini`).
    iniKeeper_stc* stc_ini = nullptr;
    // The built-in checks in the order they are stopped.
    std::vector<CheckBase*> builtin_checks;
    std::vector<PsTask*> fups;
    std::vector<PsTask*> retired_fups;
    int reap_timer = -1;
};

#endif
