// vardoctl: the operator's one-shot tool. Each run sends one request to the
// supervisor daemon, prints the answer of a listing and exits with the
// request's status.
#pragma once

#include "protocol/keeper_msg.h"

class keeperClient;

// Where every run is recorded, with who ran it.
extern const char* const kAdminLogPath;
// How long a listing may take to arrive.
constexpr int kListReplySeconds = 5;

// Prints the usage text on standard error and exits with status 1.
[[noreturn]] void Usage(const char* program);
// The command line, each word followed by a blank, cut at 254 characters;
// the text lives in one static buffer.
const char* getCommand(int argc, char** argv);
// List hook: prints the listing, or "None" when it is empty (status 2).
keeperStatus list_display(char* text, unsigned len);
// Waits for one message on fd and lets the client dispatch it; a listing
// reaches list_display.
keeperStatus get_list_sync_reply(keeperClient& client, int fd, int waitSeconds = kListReplySeconds);
// Runs the option at argv[opt] against a connected client; the result is
// the exit status.
int run_option(keeperClient& client, const char* program, int argc, char** argv, int opt);
// The whole tool.
int vardoctl_main(int argc, char** argv);
