#include "keeper/pending_replies.h"

#include <algorithm>

uint32_t PendingReplies::open() {
    if (++last == 0) ++last;
    replies[last] = nullptr;
    return last;
}

void PendingReplies::attach(uint32_t token, Waiter* waiter) {
    auto found = replies.find(token);
    if (found != replies.end()) found->second = waiter;
}

void PendingReplies::close(uint32_t token, keeperStatus status) {
    auto found = replies.find(token);
    if (found == replies.end()) return;
    Waiter* waiter = found->second;
    // Out before the waiter hears of it: whatever its reply sets off finds
    // the change no longer pending.
    replies.erase(found);
    if (waiter) waiter->reply_ready(status);
    auto leftover = leftovers.find(token);
    if (leftover == leftovers.end()) return;
    std::function<void(keeperStatus)> done = std::move(leftover->second);
    leftovers.erase(leftover);
    done(status);
}

void PendingReplies::forget(const Waiter* waiter, std::function<void(keeperStatus)> leftover) {
    for (auto& entry : replies) {
        if (entry.second != waiter) continue;
        entry.second = nullptr;
        if (leftover) leftovers[entry.first] = leftover;
    }
    leave(waiter);
}

bool PendingReplies::may_change(const Waiter* who) {
    if (replies.empty() && (line.empty() || line.front() == who)) return true;
    if (!in_line(who)) line.push_back(who);
    return false;
}

bool PendingReplies::in_line(const Waiter* who) const {
    return std::find(line.begin(), line.end(), who) != line.end();
}

void PendingReplies::leave(const Waiter* who) {
    line.erase(std::remove(line.begin(), line.end(), who), line.end());
}
