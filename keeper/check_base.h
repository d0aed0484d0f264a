// Periodic checks grouped by level. This is the part of the check framework
// that the INI model and the supervisor's look-ups rely on; running checks
// on their timers comes with the checks themselves.
#ifndef KEEPER_CHECK_BASE_H
#define KEEPER_CHECK_BASE_H

#include <ostream>
#include <string>
#include <vector>

#include "keeper/tasks.h"

class CheckBase : public TaskOnSeq {
 public:
  CheckBase(KeeperSrv* keeper, TimerHandler* timers);

  using TaskOnSeq::run;
  keeperStatus run() override { return KEEPER_OK; }
  keeperStatus stop() override;
  void set_must(bool m) override { must = m; }
  keeperStatus add_to_manager() override;

  virtual bool check_can_run();
  virtual keeperStatus init() { return KEEPER_OK; }
  virtual keeperStatus reinit(const char* new_args);
  virtual void set_action_on_success(TaskSingle* action) { success_action = action; }
  virtual void set_action_on_timeout(TaskSingle* action) { timeout_action = action; }
  virtual void set_interval(unsigned seconds) { interval = seconds; }
  virtual void set_timeout(unsigned seconds) { timeout = seconds; }
  virtual void add_to_timer() {}
  virtual void skip_next() {}
  virtual void resume_next() {}
  virtual void skip() { active = false; }
  virtual void resume() { active = true; }
  virtual void dump(std::ostream& os) const;

  std::string asString() const;
  unsigned get_interval() const { return interval; }
  unsigned get_timeout() const { return timeout; }
  bool is_active() const { return active; }

 protected:
  bool active;
  unsigned interval;
  unsigned timeout;
  int check_timer;
  TaskSingle* success_action;
  TaskSingle* timeout_action;
};

std::ostream& operator<<(std::ostream& os, const CheckBase& check);

class CheckLevel {
 public:
  void add_check(CheckBase* check) { checks.push_back(check); }
  void add_to_timer();
  void skip();
  void resume();
  CheckBase* get_check(const char* name) const;
  CheckBase* get_check_args(const char* name, const char* args) const;
  bool check_level_status() const;
  const std::vector<CheckBase*>& get_checks() const { return checks; }

 private:
  std::vector<CheckBase*> checks;
};

#endif
