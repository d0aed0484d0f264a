// Replies that wait for a program the daemon started for a client (a route
// command, the host name tool). The request's handler takes a token, the
// connection that sent the request keeps the reply and its later requests
// back under that token, and the program's end closes the token with the
// final status, which the connection then sends.
//
// While such a reply is open, configuration changes from every connection
// wait, in the order they came: each must find the model as the pending
// change leaves it.
#ifndef KEEPER_PENDING_REPLIES_H
#define KEEPER_PENDING_REPLIES_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>

#include "protocol/keeper_msg.h"

class PendingReplies {
public:
    // The side that owes a reply: a client connection.
    class Waiter {
    public:
        virtual void reply_ready(keeperStatus status) = 0;

    protected:
        ~Waiter() = default;
    };

    // A token (never 0) for a reply that comes later.
    uint32_t open();
    // The connection that sent the request waits for its reply.
    void attach(uint32_t token, Waiter* waiter);
    // The final status goes to the waiting connection, if it is still there.
    void close(uint32_t token, keeperStatus status);
    // A connection that ended leaves the line; a reply it still owes goes to
    // `leftover` instead (dropped when that is empty): the change it waited
    // for is made all the same, and others may need to hear of it.
    void forget(const Waiter* waiter, std::function<void(keeperStatus)> leftover = nullptr);
    bool any_open() const { return !replies.empty(); }

    // Whether `who` may change the configuration now: no reply is open and
    // nobody waits before it. Otherwise it gets in line (once).
    bool may_change(const Waiter* who);
    bool in_line(const Waiter* who) const;
    // `who` made its change: the next in line may go.
    void leave(const Waiter* who);

private:
    uint32_t last = 0;
    std::map<uint32_t, Waiter*> replies;
    std::map<uint32_t, std::function<void(keeperStatus)>> leftovers;
    std::deque<const Waiter*> line;
};

#endif
