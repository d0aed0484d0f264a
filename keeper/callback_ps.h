// The daemon's side of a program's callbacks: running one forwards the
// request to the program that registered it.
#ifndef KEEPER_CALLBACK_PS_H
#define KEEPER_CALLBACK_PS_H

#include "protocol/callback_pool.h"

class PsTask;

class CallbackPs : public CallbackBase {
public:
    CallbackPs(const char* name, const char* text, unsigned id, PsTask* task)
        : CallbackBase(name, text), id(id), task(task) {}
    keeperStatus run(char* args) override;

private:
    unsigned id;
    PsTask* task;
};

#endif
