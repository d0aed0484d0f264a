// Defaults of tasks, checks and the keep-alive probe, stated once for the
// constructors and for the INI reader, and the keep-alive keys of a task's
// section.
#ifndef KEEPER_TASK_DEFAULTS_H
#define KEEPER_TASK_DEFAULTS_H

// Seconds from a stop request to the stop signal; SIGKILL follows at twice
// this. A configured 0 keeps it.
constexpr int TASK_KILL_TIMEOUT = 10;

// Seconds between two runs of a check.
constexpr int CHECK_INTERVAL = 5;

// Keep-alive keys of a task's section.
constexpr const char INI_KA_ENABLE[] = "kaEnable";
constexpr const char INI_KA_PERIOD[] = "kaPeriod";
constexpr const char INI_KA_WARNING[] = "kaWarning";
constexpr const char INI_KA_WARNING_ACTION[] = "kaWarningAction";
constexpr const char INI_KA_ERROR[] = "kaError";
constexpr const char INI_KA_ERROR_ACTION[] = "kaErrorAction";

// Keep-alive is on unless the file says otherwise; a task whose keys are
// never read (an external program, which never connects to answer) is not
// probed at all.
constexpr bool KA_ENABLE_FROM_FILE = true;
constexpr bool KA_ENABLE_UNREAD = false;
// Seconds between probes.
constexpr int KA_PERIOD = 60;
// Unanswered probes at which the warning and the error action start.
constexpr int KA_WARNING = 1;
constexpr int KA_ERROR = 3;

#endif
