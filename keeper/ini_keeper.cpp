#include "keeper/ini_keeper.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "keeper/check_base.h"
#include "keeper/keeper_srv.h"
#include "keeper/ps_ext_task.h"
#include "keeper/ps_remote_task.h"
#include "keeper/ps_task.h"
#include "keeper/task_defaults.h"
#include "protocol/wire_text.h"
#include "support/appliance.h"
#include "support/atomic_file.h"
#include "support/ev_debug.h"
#include "support/file_utils.h"
#include "support/ini_lines.h"
#include "support/net_utils.h"
#include "support/str_utils.h"

namespace {

const char* const kSectionTable[] = {"general",  "recovery", "flags/",  "system/",
                                     "actions/", "tasks/",   "checks/", nullptr};

// The part of a section name after its last "/".
std::string last_component(const std::string& section) {
    size_t slash = section.rfind('/');
    return slash == std::string::npos ? section : section.substr(slash + 1);
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// The dictionary as iniparser writes a whole file.
bool dumped(const dictionary* dict, std::string& text) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    if (!out) return false;
    iniparser_dump_ini(dict, out);
    const bool ok = fclose(out) == 0;
    if (ok) text.assign(buffer, size);
    free(buffer);
    return ok;
}

// The text of the file at `path` as it is now. A file that is gone is
// written afresh from the dictionary, the only copy of it left.
bool current_text(const std::string& path, const dictionary* dict, std::string& text) {
    FILE* in = fopenRegularForRead(path.c_str());
    if (!in && errno == ENOENT) return dumped(dict, text);
    if (!in) {
        EV_TRACE(DL_ERROR, "iniKeeper_file, can't read %s, %s", path.c_str(), strerror(errno));
        return false;
    }
    char block[4096];
    for (size_t n; (n = fread(block, 1, sizeof block, in)) > 0;) text.append(block, n);
    const bool ok = !ferror(in);
    fclose(in);
    return ok;
}

}  // namespace

int ini_section_family(const char* section) { return headMatch(section, kSectionTable); }

void iniKeeper_file::remove_stale_temp_files(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string prefix =
        (slash == std::string::npos ? path : path.substr(slash + 1)) + kAtomicTempInfix;
    DIR* folder = opendir(dir.c_str());
    if (!folder) return;
    while (dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name.size() != prefix.size() + kAtomicTempUnique ||
            name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string stale = dir + (dir.back() == '/' ? "" : "/") + name;
        struct stat st;
        if (lstat(stale.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (unlink(stale.c_str()) == 0)
            EV_TRACE(DL_NOTIFY, "iniKeeper_file, removed stale temporary file %s", stale.c_str());
    }
    closedir(folder);
}

keeperStatus iniKeeper_file::write_back(const std::vector<IniEntry>& entries) {
    std::string text;
    if (!dict || !current_text(path, dict, text)) return KEEPER_FAIL;
    // Only the lines of these keys change: the operator's comments, blank
    // lines and order stay as they are.
    IniLines file(text);
    for (const IniEntry& entry : entries) {
        const size_t colon = entry.first.rfind(':');
        if (colon == std::string::npos ||
            !file.set(entry.first.substr(0, colon), entry.first.substr(colon + 1), entry.second)) {
            EV_TRACE(DL_ERROR, "iniKeeper_file::write_back, %s can't hold %s = [%s]", path.c_str(),
                     entry.first.c_str(), entry.second.c_str());
            return KEEPER_FAIL;
        }
    }
    text = file.text();
    // Clients read this file too: the new one keeps the old one's owner and mode.
    AtomicFile out(path.c_str());
    if (!out.stream()) return KEEPER_FAIL;
    const bool written = fwrite(text.data(), 1, text.size(), out.stream()) == text.size();
    return written && out.commit() ? KEEPER_OK : KEEPER_FAIL;
}

keeperStatus iniKeeper_file::set_and_write(const std::vector<IniEntry>& entries) {
    if (!dict) return KEEPER_FAIL;
    for (const IniEntry& entry : entries)
        if (!ini_text_safe(entry.first.c_str()) || !ini_text_safe(entry.second.c_str()))
            return KEEPER_FAIL;
    // What each entry undoes: its old value, or the entry (and a section it
    // created) removed.
    struct Undo {
        std::string key, section, value;
        bool existed, section_existed;
    };
    std::vector<Undo> undo;
    keeperStatus rc = KEEPER_OK;
    for (const IniEntry& entry : entries) {
        const std::string& key = entry.first;
        std::string section = key.substr(0, key.rfind(':'));
        const char* current = iniparser_getstr(dict, key.c_str());
        undo.push_back({key, section, current ? current : "", current != nullptr,
                        iniparser_find_entry(dict, section.c_str()) != 0});
        int set = iniparser_setstr(dict, key.c_str(), entry.second.c_str());
        dictionary_changed();
        if (set != 0) {
            rc = KEEPER_FAIL;
            break;
        }
    }
    if (rc == KEEPER_OK && write_back(entries) == KEEPER_OK) return KEEPER_OK;
    for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
        if (it->existed)
            iniparser_setstr(dict, it->key.c_str(), it->value.c_str());
        else
            iniparser_unset(dict, it->key.c_str());
        if (!it->section_existed) iniparser_unset(dict, it->section.c_str());
    }
    dictionary_changed();
    return KEEPER_FAIL;
}

keeperStatus iniKeeper_file::set_and_write(const std::string& key, const char* value) {
    if (!value) return KEEPER_FAIL;
    return set_and_write({IniEntry(key, value)});
}

iniKeeper_srv::iniKeeper_srv(const char* path, KeeperSrv* k, TimerHandler* timers)
    : iniKeeper_file(path), section_count(-1), keeper(k), timer_handler(timers) {}

bool iniKeeper_srv::_parse_general() {
    KeeperDesc desc;
    std::string type = get_text("general", "keeper type", "");
    desc.type = type == "secondary" ? 1 : 0;
    desc.port = get_int("general", "keeper port", 0);
    uint32_t ip = 0;
    desc.primary_ip = Com_ipStr2Int(get_text("general", "primary ip", "").c_str(), &ip) ? ip : 0;
    desc.primary_port = get_int("general", "primary port", 0);
    setWireText(desc.secondary_name, get_text("general", "secondary name", "").c_str());
    // Only a full dotted address: one that does not parse, or a shorthand
    // like "10.1" that means something else, must not open the port wider.
    std::string listen = get_text("general", "listen ip", "");
    if (!listen.empty() && inet_pton(AF_INET, listen.c_str(), &desc.listen_ip) != 1) {
        EV_TRACE(DL_ERROR, "iniKeeper_srv::_parse_general, listen ip [%s] is no IPv4 address",
                 listen.c_str());
        return false;
    }
    std::string allowed = get_text("general", "allow from", "");
    if (!allowed.empty() && !desc.allow_from.parse(allowed)) {
        EV_TRACE(DL_ERROR,
                 "iniKeeper_srv::_parse_general, allow from [%s] is no list of IPv4 "
                 "addresses and blocks",
                 allowed.c_str());
        return false;
    }
    desc.metrics_file = get_text("general", "metrics file", "");
    take_desc(desc);
    return true;
}

void iniKeeper_srv::take_desc(const KeeperDesc& desc) { keeper->set_desc(desc); }

void iniKeeper_srv::take_flag(const char* name, bool enabled) { keeper->add_flag(name, enabled); }

void iniKeeper_srv::take_action(TaskSingle* action) { keeper->register_action(action); }

keeperStatus iniKeeper_srv::take_task(TaskOnSeq* task) {
    keeper->adopt_task(task);
    return task->add_to_manager();
}

OutputConfig iniKeeper_srv::read_output_keys(const std::string& section,
                                             const OutputConfig& defaults) const {
    OutputConfig config = defaults;
    const std::string mode = get_text(section, "output", "");
    if (!mode.empty() && !OutputConfig::parse_mode(mode, config.mode)) {
        EV_TRACE(DL_ERROR, "iniKeeper_srv, %s: output [%s] is none of inherit, log, null",
                 section.c_str(), mode.c_str());
        config.mode = defaults.mode;
        config.bad_mode = true;
    }
    const std::string size = get_text(section, "output size", "");
    if (!size.empty() && !OutputConfig::parse_size(size, config.max_size))
        EV_TRACE(DL_ERROR, "iniKeeper_srv, %s: output size [%s] is no size, %s used",
                 section.c_str(), size.c_str(),
                 defaults.max_size > 0 ? "the general one" : APP_OUTPUT_LOG_SIZE);
    return config;
}

OutputConfig iniKeeper_srv::boot_output_defaults() const {
    OutputConfig config = output_defaults;
    OutputConfig::Mode general;
    if (!OutputConfig::parse_mode(get_text("general", "output", ""), general))
        config.mode = OutputConfig::Null;
    return config;
}

keeperStatus iniKeeper_srv::initial_parsing() {
    general_refused = false;
    if (!dict) return KEEPER_FAIL;
    section_count = static_cast<int>(sections().size());
    general_refused = !_parse_general();
    if (general_refused) return KEEPER_FAIL;
    read_task_defaults();
    for (const char* section : sections())
        if (ini_section_family(section) == INI_FLAGS) _parse_flag(section);
    return KEEPER_OK;
}

void iniKeeper_srv::read_task_defaults() {
    // A bad value here only falls back to the default: no task is to blame.
    output_defaults = read_output_keys("general", OutputConfig());
    output_defaults.bad_mode = false;
}

void iniKeeper_srv::_parse_flag(const std::string& section) {
    std::string name;
    bool enabled = false;
    if (read_flag(section, &name, &enabled)) take_flag(name.c_str(), enabled);
}

bool iniKeeper_srv::read_flag(const std::string& section, std::string* name, bool* enabled) const {
    *name = get_text(section, "name", "");
    *enabled = get_bool(section, "enabled", true);
    return !name->empty();
}

TaskSingle* iniKeeper_srv::named_action(const std::string& section, const char* key) const {
    return keeper->find_action_by_name(get_text(section, key, "None").c_str());
}

void iniKeeper_srv::bind_check_actions(CheckBase* check, const std::string& section) const {
    check->set_failure_action(named_action(section, "action on failure"));
    check->set_action_on_success(named_action(section, "action on success"));
    check->set_action_on_timeout(named_action(section, "action on timeout"));
}

keeperStatus iniKeeper_srv::parse_ini_file() {
    if (initial_parsing() == KEEPER_FAIL) return KEEPER_FAIL;
    // Actions first, so that every task and check finds the actions it names.
    for (const char* section : sections())
        if (ini_section_family(section) == INI_ACTIONS) _parse_action(section);
    for (const char* section : sections()) {
        int family = ini_section_family(section);
        if (family == INI_TASKS) {
            if (_parse_task(section) == KEEPER_FAIL) return KEEPER_FAIL;
        } else if (family == INI_CHECKS) {
            _parse_check(section);
        }
    }
    return KEEPER_OK;
}

void iniKeeper_srv::_parse_action(const std::string& section) {
    TaskSingle* action = new TaskSingle(keeper, timer_handler);
    action->set_implement(get_text(section, "implement", "").c_str());
    std::string exec = get_text(section, "name", "");
    action->set_exec(exec.c_str());
    action->set_name(exec.c_str());
    action->set_location(get_text(section, "location", "").c_str());
    action->set_args(get_text(section, "args", "").c_str());
    take_action(action);
}

void iniKeeper_srv::read_process_keys(PsTask* task, const std::string& section) {
    task->set_watched(get_bool(section, "watched", true));
    task->set_restart(get_bool(section, "restart", false));
    task->set_nice(get_int(section, "nice priority", 0));
    task->set_retries(static_cast<unsigned>(get_int(section, "retries", 0)));
    task->set_retries_interval(get_int(section, "retries interval", 0));
    task->set_restart_delay(get_int(section, "restart delay", 0));
    task->set_kill_timeout(get_int(section, "kill timeout", TASK_KILL_TIMEOUT));
    task->set_stop_signal(get_text(section, "stop signal", "").c_str());
    task->set_restart_backoff(get_int(section, "restart backoff", 0));
    task->set_user(get_text(section, "user", "").c_str());
}

void iniKeeper_srv::read_common_keys(TaskOnSeq* task, const std::string& section) {
    task->set_section(section);
    task->set_name(section.c_str());
    task->set_exec(get_text(section, "name", "").c_str());
    task->set_location(get_text(section, "location", "").c_str());
    task->set_args(get_text(section, "args", "").c_str());
    task->set_enabled(get_bool(section, "enabled", true));
    task->set_must(get_bool(section, "must", true));
    task->set_active_on_bypass(get_bool(section, "activate on bypass", false));
    int level = get_int(section, "level", 0);
    task->set_level(level > 0 ? static_cast<unsigned>(level) : 0);
    task->set_failure_action(named_action(section, "action on failure"));
}

keeperStatus iniKeeper_srv::_parse_task(const std::string& section) {
    std::string type = get_text(section, "type", "");
    TaskOnSeq* task = nullptr;
    if (type == "bootTask") {
        task = new TaskOnSeq(keeper, timer_handler);
        task->set_implement(get_text(section, "implement", "").c_str());
        task->set_output(read_output_keys(section, boot_output_defaults()));
    } else if (type == "ps") {
        PsTask* ps;
        if (get_bool(section, "external", false)) {
            PsExtTask* ext = new PsExtTask(keeper, timer_handler);
            ext->set_terminate_cmd(get_text(section, "terminate procedure", "").c_str(),
                                   get_text(section, "terminate location", "").c_str(),
                                   get_text(section, "terminate args", "").c_str());
            ps = ext;
        } else {
            ps = new PsTask(keeper, timer_handler);
            // External programs never connect, so they are never probed.
            ps->ka_read_config(*this, section.c_str());
        }
        read_process_keys(ps, section);
        ps->set_output(read_output_keys(section, output_defaults));
        task = ps;
    } else if (type == "localKeeper") {
        task = _handle_local_keeper(dict, section.c_str());
    } else if (type == "remoteKeeper") {
        task = _handle_remote_keeper(dict, section.c_str());
    } else if (type == "remote") {
        PsRemoteTask* remote = new PsRemoteTask(keeper, timer_handler);
        read_process_keys(remote, section);
        remote->ka_read_config(*this, section.c_str());
        task = remote;
    } else {
        EV_TRACE(DL_WARNING, "parse_task: invalid task type");
        return KEEPER_OK;
    }
    if (!task) return KEEPER_OK;
    read_common_keys(task, section);
    return take_task(task);
}

void iniKeeper_srv::_parse_check(const std::string& section) {
    if (!keeper) return;
    std::string exec = get_text(section, "name", "");
    CheckBase* check = keeper->get_predefined_check(exec.c_str());
    bool predefined = check != nullptr;
    if (!predefined) {
        check = new CheckBase(keeper, timer_handler);
        check->set_exec(exec.c_str());
        check->set_name(section.c_str());
        check->set_location(get_text(section, "location", "").c_str());
        check->set_args(get_text(section, "args", "").c_str());
        check->set_implement(get_text(section, "implement", "").c_str());
        check->set_must(get_bool(section, "must", true));
    }
    check->set_enabled(get_bool(section, "enabled", true));
    check->set_active_on_bypass(get_bool(section, "activate on bypass", false));
    int level = get_int(section, "level", 0);
    check->set_level(level > 0 ? static_cast<unsigned>(level) : 0);
    check->set_interval(static_cast<unsigned>(get_int(section, "interval", CHECK_INTERVAL)));
    check->set_timeout(static_cast<unsigned>(get_int(section, "timeout", 0)));
    check->set_run_timeout(static_cast<unsigned>(std::max(0, get_int(section, "run timeout", 0))));
    bind_check_actions(check, section);
    check->set_section(section);
    check->add_to_manager();
    // A new check that found no place (not valid, or a name already taken)
    // belongs to nobody.
    if (!predefined && keeper->find_check_by_name(check->get_name()) != check) delete check;
}

std::string iniKeeper_srv::find_named_section(const char* prefix, const char* name) const {
    if (!dict || !name) return "";
    size_t prefix_len = strlen(prefix);
    for (const char* section : sections()) {
        if (strncmp(section, prefix, prefix_len) == 0 && last_component(section) == name)
            return section;
    }
    return "";
}

std::string iniKeeper_srv::find_flag_section(const char* flag) const {
    if (!dict) return "";
    for (const char* section : sections()) {
        if (ini_section_family(section) == INI_FLAGS && get_text(section, "name", "") == flag)
            return section;
    }
    return "";
}

keeperStatus iniKeeper_srv::set_task_mode(const TaskOnSeq& task, bool enabled) {
    std::string section = task.get_section();
    if (section.empty()) section = find_named_section("tasks/", task.get_name());
    if (section.empty() || !iniparser_find_entry(dict, section.c_str())) return KEEPER_FAIL;
    return set_and_write(ini_key(section, "enabled"), enabled ? "yes" : "no");
}

keeperStatus iniKeeper_srv::set_check_args(const char* name, const char* args) {
    std::string section = find_named_section("checks/", name);
    if (section.empty()) return KEEPER_FAIL;
    return set_and_write(ini_key(section, "args"), args);
}

keeperStatus iniKeeper_srv::set_flag_mode(const char* name, bool enabled) {
    if (!dict || !name || !*name || !ini_text_safe(name)) return KEEPER_FAIL;
    std::string section = find_flag_section(name);
    if (section.empty()) {
        // A flag created at run time gets a section of its own, so that it is
        // known again after a restart.
        std::string base = "flags/" + lower(name);
        section = base;
        for (int n = 2; iniparser_find_entry(dict, section.c_str()); ++n)
            section = base + "_" + std::to_string(n);
        return set_and_write({{ini_key(section, "name"), name},
                              {ini_key(section, "enabled"), enabled ? "yes" : "no"}});
    }
    return set_and_write(ini_key(section, "enabled"), enabled ? "yes" : "no");
}

iniKeeper_stc::iniKeeper_stc(const char* path, KeeperSrv* k, TimerHandler* timers)
    : iniKeeper_srv(path, k, timers), dev_mode() {}

bool iniKeeper_stc::_parse_general() {
    if (!iniKeeper_srv::_parse_general()) return false;
    setWireText(dev_mode, get_text("general", "device mode", "").c_str());
    return true;
}

keeperStatus iniKeeper_stc::set_dev_mode(const char* mode, DevModeSelection* chosen) {
    if (dev_mode[0] || !mode || !*mode || strlen(mode) >= sizeof dev_mode) return KEEPER_FAIL;
    std::string modes = std::string("modes/") + lower(mode);
    std::vector<std::string> tasks, checks;
    splitStr(get_text(modes, "active tasks", "").c_str(), ",", tasks);
    splitStr(get_text(modes, "active checks", "").c_str(), ",", checks);
    std::vector<IniEntry> entries = {{"general:device mode", mode}};
    DevModeSelection selection;
    for (const std::string& task : tasks) {
        std::string section = "tasks/" + lower(task);
        entries.emplace_back(ini_key(section, "enabled"), "yes");
        entries.emplace_back(ini_key(section, "must"), "yes");
        selection.tasks.push_back({get_text(section, "name", ""), get_text(section, "args", "")});
    }
    for (const std::string& check : checks) {
        entries.emplace_back(ini_key("checks/" + lower(check), "enabled"), "yes");
        selection.checks.push_back(check);
    }
    // Chosen only once it is in the file: a mode that could not be written
    // may be chosen again.
    if (set_and_write(entries) != KEEPER_OK) return KEEPER_FAIL;
    setWireText(dev_mode, mode);
    if (chosen) *chosen = selection;
    return KEEPER_OK;
}
