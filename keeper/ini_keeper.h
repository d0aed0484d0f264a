// The daemon's INI file: loading (with the backup as fall-back), turning its
// sections into flags, actions, tasks and checks, and writing the few values
// that clients change at run time back into it.
#ifndef KEEPER_INI_KEEPER_H
#define KEEPER_INI_KEEPER_H

#include <limits.h>

#include <string>

#include "protocol/keeper_msg.h"
#include "support/ini_compat.h"

class KeeperSrv;
class TimerHandler;
class TaskOnSeq;
class TaskSingle;
class PsTask;

class iniKeeper_file {
public:
    explicit iniKeeper_file(const char* path);
    virtual ~iniKeeper_file();
    iniKeeper_file(const iniKeeper_file&) = delete;
    iniKeeper_file& operator=(const iniKeeper_file&) = delete;

    virtual keeperStatus parse_ini_file() = 0;

    // Removes what a write-back of the file at `path` left behind when the
    // daemon died during it: its temporary files in the same folder.
    static void remove_stale_temp_files(const std::string& path);

    void load_dictionary(const char* path);
    void reset_ini_file(const char* path);
    dictionary* get_dictionary() const { return dict; }
    const char* get_path() const { return file_path; }

protected:
    // Replaces the file with the dictionary's content: a temporary file in the
    // same folder renamed over it, so a crash or a full disk never leaves a
    // truncated file behind. 2 when the file could not be replaced.
    keeperStatus write_back();
    // Sets one entry and writes the file; on failure the entry gets its old
    // value back, so memory and file agree.
    keeperStatus set_and_write(const std::string& key, const char* value);

    std::string get_text(const std::string& section, const char* key, const char* def) const;
    int get_int(const std::string& section, const char* key, int def) const;
    bool get_bool(const std::string& section, const char* key, bool def) const;

    dictionary* dict;
    char file_path[PATH_MAX];
};

class iniKeeper_srv : public iniKeeper_file {
public:
    iniKeeper_srv(const char* path, KeeperSrv* keeper, TimerHandler* timers);

    keeperStatus parse_ini_file() override;
    virtual void _parse_general();
    virtual TaskOnSeq* _handle_remote_keeper(dictionary*, const char*) { return nullptr; }
    virtual TaskOnSeq* _handle_local_keeper(dictionary*, const char*) { return nullptr; }
    virtual keeperStatus initial_parsing();

    keeperStatus set_task_mode(const TaskOnSeq& task, bool enabled);
    keeperStatus set_flag_mode(const char* name, bool enabled);
    keeperStatus set_check_args(const char* name, const char* args);

protected:
    void _parse_flag(const std::string& section);
    void _parse_action(const std::string& section);
    keeperStatus _parse_task(const std::string& section);
    void _parse_check(const std::string& section);
    void read_process_keys(PsTask* task, const std::string& section);
    void read_common_keys(TaskOnSeq* task, const std::string& section);
    // The section of that family whose name ends in "/" + name; "" if none.
    std::string find_named_section(const char* prefix, const char* name) const;
    // The "flags/" section whose "name" key is the flag; "" if none.
    std::string find_flag_section(const char* flag) const;

    int section_count;
    KeeperSrv* keeper;
    TimerHandler* timer_handler;
};

class iniKeeper_stc : public iniKeeper_srv {
public:
    iniKeeper_stc(const char* path, KeeperSrv* keeper, TimerHandler* timers);

    void _parse_general() override;
    keeperStatus set_dev_mode(const char* mode);
    const char* get_dev_mode() const { return dev_mode; }

private:
    char dev_mode[100];
};

// Family of a section name (already lower-cased by the loader): the index in
// the section table, or -1 for a section of no family.
enum IniSection {
    INI_GENERAL = 0,
    INI_RECOVERY,
    INI_FLAGS,
    INI_SYSTEM,
    INI_ACTIONS,
    INI_TASKS,
    INI_CHECKS
};
int ini_section_family(const char* section);

#endif
