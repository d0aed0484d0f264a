// Register of the supervised processes, in insertion order (the INI order of
// the tasks, then tasks added later). It refers to the tasks, not owns them;
// a task leaves its lists as it is deleted, and tells them its pid changes.
#ifndef KEEPER_PS_LIST_H
#define KEEPER_PS_LIST_H

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "protocol/keeper_msg.h"
#include "support/proc_utils.h"

class PsTask;
class PsRemoteTask;
class ClientHandler;

class PsList {
public:
    PsList() = default;
    ~PsList();
    // The tasks know their lists: a copy would be a list they do not know.
    PsList(const PsList&) = delete;
    PsList& operator=(const PsList&) = delete;

    keeperStatus add_ps_to_list(PsTask* task);
    keeperStatus remove_ps(PsTask* task);
    bool ps_exist(PsTask* task) const;

    PsTask* find_ps_by_name(const char* name) const;
    PsTask* find_ps_by_name_args(const char* name, const char* args) const;
    // The task whose program has this pid; none for 0 or -1.
    PsTask* find_ps_by_pid(int pid) const;
    PsTask* find_ps_by_handler(ClientHandler* handler) const;
    // 1-based position; none for 0 or past the end.
    PsTask* find_ps_by_index(unsigned index) const;
    void find_multiple_ps_by_name(const char* name, PsList& out) const;
    // The remote task whose peer has that address.
    PsRemoteTask* find_ps_by_ip_rem(const char* ip) const;

    // Before the boot: a copy of an external program still running from an
    // earlier daemon is stopped through the task's own terminate procedure.
    void set_externals_pid();

    // The first starts of one boot level share one reading of the process
    // table, taken when the first of them looks for stale copies; a start
    // outside such a span reads the table afresh.
    void open_start_span();
    void close_start_span();
    std::vector<int> pids_of_cmdline(char* const* argv);

    void kill_all(int sig);
    keeperStatus stop_all();
    bool all_closed() const;

    keeperStatus ps_list(char** text, unsigned* size) const;
    keeperStatus send_event(unsigned group, unsigned event, void* data, size_t len);
    // After a change of a listed task's subscriptions: events are sent to
    // the tasks that ever subscribed, not looked for among all of them.
    void note_subscriber(PsTask* task);

    size_t size() const { return tasks.size(); }
    const std::vector<PsTask*>& get_tasks() const { return tasks; }

private:
    friend class PsTask;
    // The task's pid was `previous`; it holds its new one.
    void pid_changed(PsTask* task, int previous);
    void index_pid(PsTask* task);
    void unindex_pid(PsTask* task, int pid);
    // Takes the list out of the task's own record of the lists that hold it.
    static void drop_list(PsTask& task, const PsList* list);

    std::vector<PsTask*> tasks;
    // Every listed task that has a program, by its pid: an exit is matched to
    // its task without a walk through thousands. Of two tasks that claim one
    // pid, the later claim is the one found.
    std::unordered_map<int, PsTask*> by_pid;
    // The listed tasks that subscribed to an event since they were listed
    // (their masks may have gone back to none): every listed task with a
    // subscription is here.
    std::vector<PsTask*> subscribers;
    bool in_start_span = false;
    bool table_loaded = false;
    ProcTable table;
};

#endif
