// Running host tools and appliance scripts without a shell: the program gets
// its arguments as separate words, so no text given to it can become shell
// syntax. Standard input, output and error are /dev/null.
#pragma once

#include <string>
#include <vector>

// Runs argv (null-terminated; a program without "/" is looked up in PATH)
// and waits for it. Answers its wait status, or -1 when it could not be
// started. SIGCHLD stays blocked meanwhile, so that a SIGCHLD handler that
// reaps children does not take this one.
int runProgram(const char* const argv[]);
// Starts argv detached from this process (it is never our child, so nobody
// has to reap it) without waiting for it; 0, or -1 when it could not be
// started.
int startProgram(const char* const argv[]);
// Runs argv with its standard output read into `out` (at most maxBytes are
// kept) and waits no longer than timeoutMs for it to end: a program still
// running then is killed, so that a tool stuck on a dead mount cannot hold
// the caller. Answers its wait status, -1 when it could not be started, -2
// when it ran out of time.
int captureProgram(const char* const argv[], int timeoutMs, std::string& out,
                   size_t maxBytes = 1 << 20);
// The words of argv joined by blanks, for traces.
std::string commandLineText(const char* const argv[]);
std::string commandLineText(const std::vector<std::string>& words);
// The words of a null-terminated argv.
std::vector<std::string> argvWords(const char* const argv[]);
