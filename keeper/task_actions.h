// What the daemon does to a program that stops answering its keep-alive
// probes. One shared instance per kind; tasks refer to them, never own them.
#ifndef KEEPER_TASK_ACTIONS_H
#define KEEPER_TASK_ACTIONS_H

#include "protocol/keeper_msg.h"
#include "support/ini_compat.h"

class PsTask;

class _TaskActionBase {
public:
    _TaskActionBase(const char* description, int limit) : description(description), limit(limit) {}
    virtual ~_TaskActionBase() = default;
    _TaskActionBase(const _TaskActionBase&) = delete;
    _TaskActionBase& operator=(const _TaskActionBase&) = delete;

    virtual keeperStatus run(PsTask* task) = 0;
    // Tick `n` of one silent episode: only the first `limit` ticks act.
    keeperStatus run(PsTask* task, int n);

    // The shared action that the key of the section names ("none" when unset).
    static _TaskActionBase* create(dictionary* dict, const char* section, const char* key);
    static _TaskActionBase* none();

    const char* description;
    int limit;
};

class _TaskActionNone : public _TaskActionBase {
public:
    _TaskActionNone() : _TaskActionBase("no action", 1) {}
    keeperStatus run(PsTask*) override { return KEEPER_OK; }
};

class _TaskActionStop : public _TaskActionBase {
public:
    _TaskActionStop() : _TaskActionBase("stop task", 1) {}
    keeperStatus run(PsTask* task) override;
};

class _TaskActionRestart : public _TaskActionBase {
public:
    _TaskActionRestart() : _TaskActionBase("restart task", 1) {}
    keeperStatus run(PsTask* task) override;
};

// SIGUSR2 lets the program's own keep-alive handler react.
class _TaskActionSignal : public _TaskActionBase {
public:
    _TaskActionSignal() : _TaskActionBase("send signal to task", 1) {}
    keeperStatus run(PsTask* task) override;

protected:
    _TaskActionSignal(const char* description, int limit) : _TaskActionBase(description, limit) {}
};

// "Multy" as the system's interface spells it (also the INI word "MultySignal").
class _TaskActionMultySignal : public _TaskActionSignal {
public:
    _TaskActionMultySignal() : _TaskActionSignal("send multiple signals to task", 100) {}
};

#endif
