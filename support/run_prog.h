// Command lines given as separate words: the daemon runs its programs that
// way (keeper/program_runner.h), so that no text given to one can become
// shell syntax, and names them in its traces by these words.
#pragma once

#include <string>
#include <vector>

// The words of argv joined by blanks, for traces.
std::string commandLineText(const char* const argv[]);
std::string commandLineText(const std::vector<std::string>& words);
// The words of a null-terminated argv.
std::vector<std::string> argvWords(const char* const argv[]);
