#include "manager/vardoctl.h"

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/keeper_client.h"
#include "manager/output_tail.h"
#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/logger.h"
#include "support/output_log.h"
#include "support/proc_utils.h"

namespace {

constexpr size_t kCommandSize = 255;

// What one option letter needs and does. `args` are the words after the
// option; the result is the exit status.
struct Option {
    char letter;
    int minArgs;
    int (*run)(keeperClient& client, char** args, int count);
};

int list_reply(keeperClient& client, keeperStatus sent) {
    if (sent != KEEPER_OK) return sent;
    return get_list_sync_reply(client, client.get_keeperSock());
}

const Option kOptions[] = {
    {'l', 0,
     [](keeperClient& c, char**, int) { return list_reply(c, c.list_procs(list_display)); }},
    {'F', 0,
     [](keeperClient& c, char**, int) { return list_reply(c, c.list_flags(list_display)); }},
    {'i', 0,
     [](keeperClient& c, char**, int) {
         return list_reply(c, c.list_status(STATUS_FORM_TABLE, list_display));
     }},
    {'j', 0,
     [](keeperClient& c, char**, int) {
         return list_reply(c, c.list_status(STATUS_FORM_JSON, list_display));
     }},
    {'u', 0, [](keeperClient& c, char**, int) { return list_reply(c, c.request_reload()); }},
    {'R', 1, [](keeperClient& c, char** a, int) { return int(c.restart_ps(a[0])); }},
    {'k', 1, [](keeperClient& c, char** a, int) { return int(c.kill_ps(a[0])); }},
    {'s', 1, [](keeperClient& c, char** a, int) { return int(c.start_ps(a[0])); }},
    {'L', 1,
     [](keeperClient& c, char** a, int) {
         return list_reply(c, c.list_callbacks(a[0], list_display));
     }},
    {'c', 2, [](keeperClient& c, char** a, int n) { return int(c.activate_callback(a, n)); }},
    {'K', 1, [](keeperClient& c, char** a, int) { return int(c.stop_check(a[0])); }},
    {'S', 1, [](keeperClient& c, char** a, int) { return int(c.start_check(a[0])); }},
    {'C', 1, [](keeperClient& c, char** a, int n) { return int(c.set_check(a, n)); }},
    {'f', 2,
     [](keeperClient& c, char** a, int) {
         return int(c.set_flag_mode(a[0], strtol(a[1], nullptr, 10) != 0));
     }},
};

// "-o module [lines]" and "-O module": read from the log file, without the
// daemon, which may be down.
int output_option(const char* program, int argc, char** argv, int opt) {
    const char* word = argv[opt];
    if (word[0] != '-' || (word[1] != 'o' && word[1] != 'O') || opt + 1 >= argc) Usage(program);
    long count = kOutputLines;
    if (word[1] == 'o' && opt + 2 < argc) {
        char* end = nullptr;
        count = strtol(argv[opt + 2], &end, 10);
        if (*end != '\0' || count <= 0) Usage(program);
    }
    return show_output(Com_appHome(), argv[opt + 1], count, word[1] == 'O');
}

bool is_output_option(const char* word) {
    return word[0] == '-' && (word[1] == 'o' || word[1] == 'O');
}

const Option* find_option(char letter) {
    for (const Option& option : kOptions)
        if (option.letter == letter) return &option;
    return nullptr;
}

}  // namespace

const char* const kAdminLogPath = APP_VARDOCTL_LOG;

void Usage(const char* program) {
    fprintf(stderr,
            "Usage:\n%s [-l] [-F] [-R module] [-k module] [-s module]\n\t[-L module] [-c module "
            "command]\n\t[-K check] "
            "[-S check] [-C check args] [-f flag val]\n\n",
            program);
    fprintf(stderr,
            "\t%-20s list running modules\n\t%-20s list configured flags\n\t%-20s restart given "
            "module\n\t%-20s quit "
            "given module\n\t%-20s start module using definitions given in the ini file\n\t%-20s "
            "list module's callback "
            "list\n\t%-20s pass command to module\n\t%-20s Stop given check\n\t%-20s Start given "
            "check\n\t%-20s set "
            "check by args\n\t%-20s set flag to val\n",
            "-l", "-F", "-R module|index", "-k module|index", "-s module|index", "-L module|index",
            "-c module|index command [args]", "-K check", "-S check", "-C check args",
            "-f flag val");
    exit(1);
}

const char* getCommand(int argc, char** argv) {
    static char command[kCommandSize];
    std::string text;
    for (int i = 0; i < argc; ++i) text.append(argv[i]).append(" ");
    snprintf(command, sizeof command, "%s", text.c_str());
    return command;
}

keeperStatus list_display(char* text, unsigned len) {
    if (len == 0) {
        printf("None\n");
        return KEEPER_FAIL;
    }
    printf("%s\n", text);
    return KEEPER_OK;
}

keeperStatus get_list_sync_reply(keeperClient& client, int fd, int waitSeconds) {
    // A reply already received is in the library's buffer, out of select's sight.
    if (client.has_buffered_message()) return client.read_callback(nullptr, nullptr);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval wait = {waitSeconds, 0};
    int ready = select(fd + 1, &readable, nullptr, nullptr, &wait);
    if (ready < 0) {
        printf("Failed to read reply error %s", strerror(errno));
        return KEEPER_FAIL;
    }
    if (ready == 0) {
        printf("Failed to read reply timeout\n");
        return KEEPER_FAIL;
    }
    return client.read_callback(nullptr, nullptr);
}

int run_option(keeperClient& client, const char* program, int argc, char** argv, int opt) {
    const char* word = argv[opt];
    if (word[0] != '-') Usage(program);
    const Option* option = find_option(word[1]);
    int count = argc - opt - 1;
    if (!option || count < option->minArgs) Usage(program);
    return option->run(client, argv + opt + 1, count);
}

int vardoctl_main(int argc, char** argv) {
    if (setpgrp() != 0) {
        perror("setpgrp");
        return 1;
    }
    if (argc <= 1) Usage(argv[0]);
    // The trace goes where the daemon's does (the home's "log" folder), not
    // into whatever folder the operator happens to be in.
    EvDebug::setConfPath("vardoctl", Com_appHome().c_str());

    Logger adminLogger("");
    if (!adminLogger.init(kAdminLogPath, "500K", Logger::Append))
        fprintf(stderr, "Failed initializing admin logger.\n");
    std::string line = std::string(Com_getPpidName()) + ": " + getCommand(argc, argv);
    adminLogger.log(line.c_str(), Logger::Info, "Sys", 0);

    int opt = strcmp(argv[1], "-SW") == 0 ? 2 : 1;
    if (opt < argc && is_output_option(argv[opt])) return output_option(argv[0], argc, argv, opt);
    // The engine only lends the client its socket registry; it never runs.
    EvEngine reactor;
    keeperClient client(&reactor, KEEPER_INIT_PROGRAM);
    if (client.get_keeperSock() < 0) {
        printf("cannot connect to keeper\n");
        return 1;
    }
    if (opt >= argc) return 0;
    return run_option(client, argv[0], argc, argv, opt);
}
