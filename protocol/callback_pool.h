// Named callbacks, numbered in registration order: those a program offers
// to its daemon (client side) and those the daemon runs itself or forwards
// to the program that registered them.
#ifndef PROTOCOL_CALLBACK_POOL_H
#define PROTOCOL_CALLBACK_POOL_H

#include <map>

#include "protocol/keeper_msg.h"

class CallbackBase {
public:
    // Both texts are cut to fit their 100-byte wire fields.
    CallbackBase(const char* name, const char* text);
    virtual ~CallbackBase() = default;
    CallbackBase(const CallbackBase&) = delete;
    CallbackBase& operator=(const CallbackBase&) = delete;
    virtual keeperStatus run(char* args) = 0;

    const char* get_name() const { return name; }
    const char* get_text() const { return text; }

private:
    char name[KEEPER_NAME_LEN];
    char text[KEEPER_NAME_LEN];
};

// A function of this process.
class CallbackLocal : public CallbackBase {
public:
    typedef keeperStatus (*Function)(void*);
    CallbackLocal(const char* name, const char* text, Function fn)
        : CallbackBase(name, text), fn(fn) {}
    keeperStatus run(char* args) override { return fn(args); }

private:
    Function fn;
};

class CallbackPool {
public:
    typedef std::map<unsigned, CallbackBase*> Callbacks;

    CallbackPool() = default;
    ~CallbackPool();
    CallbackPool(const CallbackPool&) = delete;
    CallbackPool& operator=(const CallbackPool&) = delete;

    // Takes the callback unless its name is taken (2; the caller keeps it).
    keeperStatus register_callback(CallbackBase* cb, unsigned* id);
    CallbackBase* find_cb_by_name(const char* name) const;
    keeperStatus run_callback(const char* name, char* args);
    keeperStatus run_callback(unsigned number, char* args);
    // "name text\n" per callback, as a listing (protocol/listing.h).
    keeperStatus cb_list(char** text, unsigned* len) const;
    // In ascending number order.
    const Callbacks& get_callbacks() const { return callbacks; }

private:
    Callbacks callbacks;
};

#endif
