#include "keeper/check_base.h"

#include <cstring>
#include <sstream>

#include "keeper/keeper_srv.h"
#include "keeper/text.h"
#include "keeper/timer_handler.h"

CheckBase::CheckBase(KeeperSrv* k, TimerHandler* timers)
    : TaskOnSeq(k, timers), active(true), interval(5), timeout(0), check_timer(-1),
      success_action(nullptr), timeout_action(nullptr) {
  status = 0;
}

keeperStatus CheckBase::stop() {
  if (check_timer > 0 && timer_handler) timer_handler->remove(check_timer);
  return KEEPER_OK;
}

keeperStatus CheckBase::add_to_manager() {
  if (validate() != KEEPER_OK) return KEEPER_FAIL;
  keeper->add_check_to_mgr(this, level);
  return KEEPER_OK;
}

bool CheckBase::check_can_run() { return enabled && active && mode_allows_run(); }

keeperStatus CheckBase::reinit(const char* new_args) {
  copy_text(args, new_args);
  return KEEPER_OK;
}

void CheckBase::dump(std::ostream& os) const {
  os << "CheckBase:" << std::endl
     << "active:" << (active ? 1 : 0) << "\tinterval:" << interval << "\ttimeout:" << timeout
     << "\ttimer id:" << check_timer << std::endl;
}

std::string CheckBase::asString() const {
  std::ostringstream os;
  dump(os);
  os << std::endl;
  return os.str();
}

std::ostream& operator<<(std::ostream& os, const CheckBase& check) {
  check.dump(os);
  return os;
}

void CheckLevel::add_to_timer() {
  for (CheckBase* check : checks) check->add_to_timer();
}

void CheckLevel::skip() {
  for (CheckBase* check : checks) check->skip();
}

void CheckLevel::resume() {
  for (CheckBase* check : checks) check->resume();
}

CheckBase* CheckLevel::get_check(const char* wanted) const {
  for (CheckBase* check : checks)
    if (strcmp(check->get_name(), wanted) == 0) return check;
  return nullptr;
}

CheckBase* CheckLevel::get_check_args(const char* wanted, const char* wanted_args) const {
  if (!wanted || !wanted_args) return nullptr;
  for (CheckBase* check : checks)
    if (strcmp(check->get_name(), wanted) == 0 && strcmp(check->get_args(), wanted_args) == 0) return check;
  return nullptr;
}

bool CheckLevel::check_level_status() const {
  for (CheckBase* check : checks)
    if (check->check_status() == 1) return false;
  return true;
}
