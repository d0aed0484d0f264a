#include "keeper/callback_ps.h"

#include "keeper/ps_task.h"

keeperStatus CallbackPs::run(char* cb_args) {
    return task ? task->send_run_cb(id, cb_args) : KEEPER_FAIL;
}
