#include "keeper/ps_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keeper/ps_remote_task.h"
#include "keeper/ps_task.h"
#include "protocol/listing.h"
#include "support/ev_debug.h"
#include "support/proc_utils.h"

namespace {

bool subscribes(const PsTask& task) {
    for (unsigned group = 0; group < EVENT_GRP_LIMIT; ++group)
        if (task.get_events(group) != 0) return true;
    return false;
}

}  // namespace

void PsList::drop_list(PsTask& task, const PsList* list) {
    task.lists.erase(std::remove(task.lists.begin(), task.lists.end(), list), task.lists.end());
}

PsList::~PsList() {
    for (PsTask* task : tasks) drop_list(*task, this);
}

keeperStatus PsList::add_ps_to_list(PsTask* task) {
    if (ps_exist(task)) return KEEPER_OK;
    tasks.push_back(task);
    task->lists.push_back(this);
    index_pid(task);
    // A copy of a task brings its subscriptions along.
    if (subscribes(*task)) subscribers.push_back(task);
    return KEEPER_OK;
}

keeperStatus PsList::remove_ps(PsTask* task) {
    auto it = std::find(tasks.begin(), tasks.end(), task);
    if (it == tasks.end()) return KEEPER_FAIL;
    tasks.erase(it);
    drop_list(*task, this);
    unindex_pid(task, task->get_pid());
    subscribers.erase(std::remove(subscribers.begin(), subscribers.end(), task), subscribers.end());
    return KEEPER_OK;
}

void PsList::pid_changed(PsTask* task, int previous) {
    unindex_pid(task, previous);
    index_pid(task);
}

void PsList::index_pid(PsTask* task) {
    if (task->get_pid() > 0) by_pid[task->get_pid()] = task;
}

void PsList::unindex_pid(PsTask* task, int pid) {
    auto found = by_pid.find(pid);
    // Another task may have claimed the pid since: its entry stays.
    if (found != by_pid.end() && found->second == task) by_pid.erase(found);
}

void PsList::note_subscriber(PsTask* task) {
    if (!ps_exist(task) || !subscribes(*task)) return;
    if (std::find(subscribers.begin(), subscribers.end(), task) == subscribers.end())
        subscribers.push_back(task);
}

// The task's own record of its lists (usually one) answers without a walk
// through every task.
bool PsList::ps_exist(PsTask* task) const {
    return task && std::find(task->lists.begin(), task->lists.end(), this) != task->lists.end();
}

PsTask* PsList::find_ps_by_name(const char* name) const {
    for (PsTask* task : tasks)
        if (strcmp(task->get_name(), name) == 0) return task;
    return nullptr;
}

PsTask* PsList::find_ps_by_name_args(const char* name, const char* args) const {
    if (!name || !args) return nullptr;
    for (PsTask* task : tasks)
        if (strcmp(task->get_name(), name) == 0 && strcmp(task->get_args(), args) == 0) return task;
    return nullptr;
}

PsTask* PsList::find_ps_by_pid(int pid) const {
    auto found = by_pid.find(pid);
    return found == by_pid.end() ? nullptr : found->second;
}

PsTask* PsList::find_ps_by_handler(ClientHandler* handler) const {
    for (PsTask* task : tasks)
        if (task->get_client() == handler) return task;
    return nullptr;
}

PsTask* PsList::find_ps_by_index(unsigned index) const {
    if (index == 0 || index > tasks.size()) return nullptr;
    return tasks[index - 1];
}

void PsList::find_multiple_ps_by_name(const char* name, PsList& out) const {
    for (PsTask* task : tasks)
        if (strcmp(task->get_name(), name) == 0) out.add_ps_to_list(task);
}

PsRemoteTask* PsList::find_ps_by_ip_rem(const char* ip) const {
    if (!ip) return nullptr;
    for (PsTask* task : tasks) {
        if (!task->is_remote()) continue;
        PsRemoteTask* remote = static_cast<PsRemoteTask*>(task);
        if (remote->get_peer_ip() == ip) {
            EV_TRACE(DL_NOTIFY, "PsList::find_ps_by_ip_rem, found task [%s]", task->get_name());
            return remote;
        }
    }
    return nullptr;
}

void PsList::open_start_span() {
    in_start_span = true;
    table_loaded = false;
}

void PsList::close_start_span() {
    in_start_span = false;
    table_loaded = false;
    table = ProcTable();
}

std::vector<int> PsList::pids_of_cmdline(char* const* argv) {
    if (!in_start_span || !table_loaded) table.load();
    table_loaded = in_start_span;
    std::vector<int> pids = table.pidsOfCmdline(argv);
    // Outside a span the reading served this start only: a busy host's
    // command lines are not kept until the next one.
    if (!in_start_span) table = ProcTable();
    return pids;
}

void PsList::set_externals_pid() {
    ProcTable running;
    running.load();
    for (PsTask* task : tasks) {
        if (!task->is_external() || !task->is_valid() || task->get_pid() != -1) continue;
        // Only a copy with the task's whole command line is the task's: an
        // interpreter shared with other programs must not be taken for it.
        std::vector<int> copies = running.pidsOfCmdline(task->get_argv());
        // Nothing to stop: the task is left as it is, so that its first start
        // is not taken for the end of a stop.
        if (copies.empty()) continue;
        int found = copies.front();
        task->adopt_pid(found);
        task->restart();
        // A program this daemon did not fork never reports its exit here: the
        // task forgets it, and its own start kills it if it is still running.
        task->adopt_pid(-1);
    }
}

void PsList::kill_all(int sig) {
    for (PsTask* task : tasks) task->kill_task(sig);
}

keeperStatus PsList::stop_all() {
    keeperStatus rc = KEEPER_OK;
    for (PsTask* task : tasks)
        if (task->stop() == KEEPER_FAIL) rc = KEEPER_FAIL;
    return rc;
}

bool PsList::all_closed() const {
    for (PsTask* task : tasks)
        if (task->get_pid() != -1) return false;
    return true;
}

keeperStatus PsList::ps_list(char** text, unsigned* size) const {
    *text = nullptr;
    *size = 0;
    unsigned index = 1;
    for (PsTask* task : tasks) {
        char line[160];
        snprintf(line, sizeof line, " %u. %s %d\n", index++, task->get_name(), task->get_pid());
        if (!listing_append(text, size, line)) return KEEPER_FAIL;
    }
    return KEEPER_OK;
}

keeperStatus PsList::send_event(unsigned group, unsigned event, void* data, size_t len) {
    if (group >= EVENT_GRP_LIMIT || len > KEEPER_MAX_EVENT_DATA || (!data) != (len == 0))
        return KEEPER_FAIL;
    // Encoded once for every receiver: each connection copies it behind a
    // header of its own.
    unsigned char payload[sizeof(KeeperEventMsg) + KEEPER_MAX_EVENT_DATA];
    KeeperEventMsg fixed = {htonl(event), htonl(group), htonl(static_cast<uint32_t>(len))};
    memcpy(payload, &fixed, sizeof fixed);
    if (len) memcpy(payload + sizeof fixed, data, len);
    for (PsTask* task : subscribers) {
        unsigned mask = task->get_events(group);
        if (mask != EVENT_ID_ALL && (event & mask) == 0) continue;
        task->send_to_client(KEEPER_NOTIFY_EVENT, static_cast<unsigned>(sizeof fixed + len),
                             payload);
    }
    return KEEPER_OK;
}
