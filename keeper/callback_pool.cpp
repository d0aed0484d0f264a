#include "keeper/callback_pool.h"

#include <cstdio>
#include <cstring>

#include "keeper/listing.h"
#include "keeper/ps_task.h"
#include "keeper/text.h"

CallbackBase::CallbackBase(const char* n, const char* t) : name(), text() {
  copy_text(name, n);
  copy_text(text, t);
}

keeperStatus CallbackPs::run(char* cb_args) { return task ? task->send_run_cb(id, cb_args) : KEEPER_FAIL; }

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
    char line[210];
    snprintf(line, sizeof line, "%s %s\n", entry.second->get_name(), entry.second->get_text());
    if (!listing_append(text, len, line)) return KEEPER_FAIL;
  }
  return KEEPER_OK;
}
