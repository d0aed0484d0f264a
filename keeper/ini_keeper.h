// The daemon's INI file: loading (with the backup as fall-back), turning its
// sections into flags, actions, tasks and checks, and writing the few values
// that clients change at run time back into it.
#ifndef KEEPER_INI_KEEPER_H
#define KEEPER_INI_KEEPER_H

#include <string>
#include <utility>
#include <vector>

#include "keeper/task_output.h"
#include "protocol/keeper_msg.h"
#include "support/ini_file.h"

class CheckBase;
class ConfigReload;
struct KeeperDesc;
class KeeperSrv;
class TimerHandler;
class TaskOnSeq;
class TaskSingle;
class PsTask;

// A value written back: "section:key" and its text.
typedef std::pair<std::string, std::string> IniEntry;

class iniKeeper_file : public IniFile {
public:
    explicit iniKeeper_file(const char* path) : IniFile(path) {}

    virtual keeperStatus parse_ini_file() = 0;

    // Removes what a write-back of the file at `path` left behind when the
    // daemon died during it: its temporary files in the same folder.
    static void remove_stale_temp_files(const std::string& path);

protected:
    // Writes the entries into the file: the line of each key gets its value,
    // or the key is added to its section, every other line staying as it is.
    // The file is replaced as a whole (a temporary file in the same folder
    // renamed over it), so a crash or a full disk never leaves a truncated
    // file behind; one that is gone is written afresh from the dictionary.
    // 2 when the file could not be read or replaced, or cannot hold an entry
    // as it is.
    keeperStatus write_back(const std::vector<IniEntry>& entries);
    // Sets the entries and writes the file; on failure every entry gets its
    // old value back (an entry's new section goes again), so memory and file
    // agree. Refused (2, nothing set) when a key or value could become
    // structure in the file.
    keeperStatus set_and_write(const std::vector<IniEntry>& entries);
    keeperStatus set_and_write(const std::string& key, const char* value);
};

class iniKeeper_srv : public iniKeeper_file {
public:
    iniKeeper_srv(const char* path, KeeperSrv* keeper, TimerHandler* timers);

    keeperStatus parse_ini_file() override;
    // False when the section holds a value the daemon cannot run with.
    virtual bool _parse_general();
    virtual TaskOnSeq* _handle_remote_keeper(dictionary*, const char*) { return nullptr; }
    virtual TaskOnSeq* _handle_local_keeper(dictionary*, const char*) { return nullptr; }
    virtual keeperStatus initial_parsing();
    // Whether the last parse stopped at a value of the general section the
    // daemon cannot run with.
    bool general_malformed() const { return general_refused; }

    keeperStatus set_task_mode(const TaskOnSeq& task, bool enabled);
    keeperStatus set_flag_mode(const char* name, bool enabled);
    keeperStatus set_check_args(const char* name, const char* args);

protected:
    // Where what the file describes goes. At start-up it joins the keeper
    // at once; a reload first reads the file into a parser of its own that
    // keeps it apart, and builds only what changed into the running daemon.
    virtual void take_desc(const KeeperDesc& desc);
    virtual void take_flag(const char* name, bool enabled);
    virtual void take_action(TaskSingle* action);
    // The task's status decides whether the file is refused.
    virtual keeperStatus take_task(TaskOnSeq* task);

    void _parse_flag(const std::string& section);
    // The name and state of a flag section; false when it names no flag.
    bool read_flag(const std::string& section, std::string* name, bool* enabled) const;
    // The action a key of the section names; none for "None" or a name no
    // action has.
    TaskSingle* named_action(const std::string& section, const char* key) const;
    // The actions a check's section names for its failure, success and
    // time-out.
    void bind_check_actions(CheckBase* check, const std::string& section) const;
    void _parse_action(const std::string& section);
    keeperStatus _parse_task(const std::string& section);
    virtual void _parse_check(const std::string& section);
    // The defaults the general section gives every task.
    void read_task_defaults();
    void read_process_keys(PsTask* task, const std::string& section);
    void read_common_keys(TaskOnSeq* task, const std::string& section);
    // "output" and "output size" of a section, over `defaults`.
    OutputConfig read_output_keys(const std::string& section, const OutputConfig& defaults) const;
    // The defaults of a boot task: /dev/null, as it has always had, unless
    // the general section names an output.
    OutputConfig boot_output_defaults() const;
    // The section of that family whose name ends in "/" + name; "" if none.
    std::string find_named_section(const char* prefix, const char* name) const;
    // The "flags/" section whose "name" key is the flag; "" if none.
    std::string find_flag_section(const char* flag) const;

    int section_count;
    KeeperSrv* keeper;
    TimerHandler* timer_handler;

private:
    friend class ConfigReload;
    bool general_refused = false;
    // The output of every task that sets none, from the general section.
    OutputConfig output_defaults;
};

// What choosing a device mode switches on: its tasks, by program and
// arguments (the way the keeper finds the running ones), and its checks by
// name (those take effect at the next start).
struct DevModeSelection {
    struct Task {
        std::string exec;
        std::string args;
    };
    std::vector<Task> tasks;
    std::vector<std::string> checks;
};

class iniKeeper_stc : public iniKeeper_srv {
public:
    iniKeeper_stc(const char* path, KeeperSrv* keeper, TimerHandler* timers);

    bool _parse_general() override;
    // Chooses the device mode, once: the mode, "enabled" and "must" of the
    // tasks of its "modes/" section and "enabled" of its checks are written
    // back to the file, and `chosen` lists them for the keeper to apply.
    // 2, with nothing changed in memory or file, when a mode was chosen
    // before, the name is empty or unsafe, or the file cannot be written.
    keeperStatus set_dev_mode(const char* mode, DevModeSelection* chosen);
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
