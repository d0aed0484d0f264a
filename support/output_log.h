// Where the captured output of a supervised program is kept: one log per
// task in the log folder of the daemon's home, shared by the daemon, which
// writes it, and vardoctl, which reads it without asking the daemon.
#ifndef SUPPORT_OUTPUT_LOG_H
#define SUPPORT_OUTPUT_LOG_H

#include <string>

// The file name (without folder and ".out") of a task's log: the name itself
// when it is made of letters, digits, "_", "-" and "."; otherwise every other
// byte becomes "%" and two upper-case hex digits, so no two names meet.
std::string Com_outputLogBase(const std::string& task);

// <home>/log/<base>.out
std::string Com_outputLogPath(const std::string& home, const std::string& base);

#endif
