// Named callbacks: those of the daemon itself and those that a supervised
// program registered over its connection.
#ifndef KEEPER_CALLBACK_POOL_H
#define KEEPER_CALLBACK_POOL_H

#include <map>

#include "protocol/keeper_msg.h"

class PsTask;

class CallbackBase {
 public:
  CallbackBase(const char* name, const char* text);
  virtual ~CallbackBase() = default;
  virtual keeperStatus run(char* args) = 0;

  const char* get_name() const { return name; }
  const char* get_text() const { return text; }

 private:
  char name[100];
  char text[100];
};

class CallbackLocal : public CallbackBase {
 public:
  typedef keeperStatus (*Function)(void*);
  CallbackLocal(const char* name, const char* text, Function fn) : CallbackBase(name, text), fn(fn) {}
  keeperStatus run(char* args) override { return fn(args); }

 private:
  Function fn;
};

// Forwards the run to the program that owns the callback.
class CallbackPs : public CallbackBase {
 public:
  CallbackPs(const char* name, const char* text, unsigned id, PsTask* task)
      : CallbackBase(name, text), id(id), task(task) {}
  keeperStatus run(char* args) override;

 private:
  unsigned id;
  PsTask* task;
};

class CallbackPool {
 public:
  CallbackPool() = default;
  ~CallbackPool();
  CallbackPool(const CallbackPool&) = delete;
  CallbackPool& operator=(const CallbackPool&) = delete;

  keeperStatus register_callback(CallbackBase* cb, unsigned* id);
  CallbackBase* find_cb_by_name(const char* name) const;
  keeperStatus run_callback(const char* name, char* args);
  keeperStatus run_callback(unsigned number, char* args);
  keeperStatus cb_list(char** text, unsigned* len) const;

 private:
  std::map<unsigned, CallbackBase*> callbacks;
};

#endif
