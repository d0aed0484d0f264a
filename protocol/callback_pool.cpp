#include "protocol/callback_pool.h"

#include <cstdio>
#include <cstring>

#include "protocol/listing.h"
#include "protocol/wire_text.h"

CallbackBase::CallbackBase(const char* n, const char* t) : name(), text() {
    setWireText(name, n);
    setWireText(text, t);
}

CallbackPool::~CallbackPool() {
    for (auto& entry : callbacks) delete entry.second;
}

keeperStatus CallbackPool::register_callback(CallbackBase* cb, unsigned* id) {
    if (!cb || find_cb_by_name(cb->get_name())) return KEEPER_FAIL;
    // Callbacks are never removed, so the size is a number never used before.
    unsigned number = callbacks.size();
    callbacks[number] = cb;
    if (id) *id = number;
    return KEEPER_OK;
}

CallbackBase* CallbackPool::find_cb_by_name(const char* wanted) const {
    if (!wanted) return nullptr;
    for (auto& entry : callbacks)
        if (strcmp(entry.second->get_name(), wanted) == 0) return entry.second;
    return nullptr;
}

keeperStatus CallbackPool::run_callback(const char* wanted, char* cb_args) {
    CallbackBase* cb = find_cb_by_name(wanted);
    return cb ? cb->run(cb_args) : KEEPER_FAIL;
}

keeperStatus CallbackPool::run_callback(unsigned number, char* cb_args) {
    auto it = callbacks.find(number);
    return it == callbacks.end() ? KEEPER_FAIL : it->second->run(cb_args);
}

keeperStatus CallbackPool::cb_list(char** text, unsigned* len) const {
    *text = nullptr;
    *len = 0;
    for (auto& entry : callbacks) {
        char line[2 * KEEPER_NAME_LEN + 2];
        snprintf(line, sizeof line, "%s %s\n", entry.second->get_name(), entry.second->get_text());
        if (!listing_append(text, len, line)) return KEEPER_FAIL;
    }
    return KEEPER_OK;
}
