// The appliance's supervisor: the keeper class the daemon instantiates. It
// gives shutdown and host commands their system effect and reads the device
// mode.
#ifndef KEEPER_STC_KEEPER_SRV_H
#define KEEPER_STC_KEEPER_SRV_H

#include "keeper/keeper_srv.h"

class iniKeeper_stc;

class stcKeeperSrv : public KeeperSrv {
public:
    explicit stcKeeperSrv(EvEngine* engine) : KeeperSrv(engine) {}

    void prerun_actions() override;
    void handle_seq_end() override;
    void linux_shutdown(CommandType command) override;
    void create_iniparser(const char* path) override;
    keeperStatus process_command(GeneralMsg& msg) override;

    // Chooses the device mode once (2 when chosen before or when the INI
    // file cannot be written) and switches its tasks on.
    keeperStatus set_dev_mode(const char* mode);
    // The device mode, "" until one is chosen.
    const char* get_dev_mode() const;
    keeperStatus set_task_mode(const char* name, const char* args, bool on);
    keeperStatus set_check_mode(const char* name, const char* args, bool on);
    PsTask* get_default_fup() const { return default_fup; }

private:
    PsTask* default_fup = nullptr;
    // The INI reader this keeper created (also its `ini`).
    iniKeeper_stc* stc_ini = nullptr;
};

#endif
