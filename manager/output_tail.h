// vardoctl's view of a module's captured output: the last lines of its log,
// read from the file, so that it works while the daemon is down.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Lines printed when the operator gives no number.
constexpr long kOutputLines = 20;
// Milliseconds between two looks at a followed log.
constexpr int kFollowPollMs = 200;

// The last `count` lines of the file (fewer when it holds fewer); the size
// it had into `read_to` when given.
std::vector<std::string> last_lines(const std::string& path, long count, off_t* read_to = nullptr);

// The log of a module in the home: the file of its task name or, for a
// second task of a name, the file named as given ("name~2"). "" when the
// module has none.
std::string module_log(const std::string& home, const std::string& module);

// Prints the last `count` lines of the module's log, from its ".old"
// generation too when the current file holds fewer; with `follow`, then
// prints what is added until interrupted. Exit status: 0, or 2 when the
// module has no log.
int show_output(const std::string& home, const std::string& module, long count, bool follow);
