// What becomes of a supervised program's standard output and error: the
// daemon's own streams, /dev/null, or a log of the task's own.
//
// Captured output runs through two pipes that live as long as the task, not
// its program: what a program wrote just before it died is still read, and
// its next instance writes into the same pipes. The daemon keeps both ends
// (close-on-exec: only the task's program gets the write ends, as its 1 and
// 2), watches the read ends in the engine without ever blocking, reads at
// most kReadPerPass bytes of a pipe in one pass, and writes each line
// through a size-limited logger. A line the logger cannot write is dropped
// and counted; the daemon never stops reading, so neither the program nor
// the daemon's memory waits on the disk.
#ifndef KEEPER_TASK_OUTPUT_H
#define KEEPER_TASK_OUTPUT_H

#include <memory>
#include <string>

#include "keeper/line_assembler.h"
#include "reactor/ev_handler.h"
#include "support/logger.h"

class EvEngine;
class OutputPipe;

struct OutputConfig {
    enum Mode { Inherit, Log, Null };
    Mode mode = Inherit;
    long long max_size = 0;  // bytes; 0: the appliance's default
    // "output" held a value that is none of the modes.
    bool bad_mode = false;

    // "inherit", "log" or "null"; false for anything else.
    static bool parse_mode(const std::string& text, Mode& mode);
    // A size text the logger reads ("500K", "2M", "100"); false for anything
    // else, as the logger itself would quietly take its own default.
    static bool parse_size(const std::string& text, long long& bytes);
};

class TaskOutput : public EvHandler {
public:
    // A small read keeps a request that arrives meanwhile waiting briefly.
    static constexpr int kReadPerPass = 16 * 1024;
    // Seconds between two traces of dropped lines.
    static constexpr long kDropTracePeriod = 60;

    TaskOutput(EvEngine* engine, const std::string& task, long long max_size);
    // Reads what is left in the pipes, writes the partial lines, closes.
    ~TaskOutput() override;
    TaskOutput(const TaskOutput&) = delete;
    TaskOutput& operator=(const TaskOutput&) = delete;

    // Before each start of the program: the pipes (once) and the log file
    // (again, if it could not be opened before). False when there are no
    // pipes: the program then runs with the daemon's streams.
    bool prepare();
    // The descriptors the program gets as its 1 and 2.
    int stdout_fd() const;
    int stderr_fd() const;
    // The program has exited: what it wrote is read and its partial lines
    // written, so the next instance's lines follow them.
    void program_exited();

    const std::string& log_path() const { return path; }
    unsigned long dropped() const { return dropped_lines; }

    // Engine side.
    int flush_idle(void*);
    void write_line(const char* line, size_t length, int severity, const char* module);
    void pipe_gone(OutputPipe* pipe);
    // Around the lines of one read: they leave in one write.
    void batch_begin();
    void batch_end(bool partial_held);

private:
    bool open_pipes();
    void count_drop(unsigned long lines);

    EvEngine* engine;
    std::string task;
    std::string base;  // claimed file name, unique among the tasks
    std::string path;
    long long max_size;
    Logger log;
    OutputPipe* pipes[2] = {nullptr, nullptr};
    int idle_timer = 0;
    unsigned long dropped_lines = 0;
    unsigned long dropped_traced = 0;
    long drop_traced_at = -1;
};

// Where one task's program writes, across all its runs: the configuration
// and, for "log", the capture made at the first run and kept until the task
// goes. A copy of a task gets the configuration, not the capture.
class OutputRoute {
public:
    OutputRoute() = default;
    OutputRoute(const OutputRoute& o) : config(o.config) {}
    OutputRoute& operator=(const OutputRoute&) = delete;

    // The capture, ready for the next start of the program; null when the
    // output is not logged or there are no pipes.
    TaskOutput* prepared(EvEngine* engine, const char* task);
    // The program has exited: its lines so far are written.
    void program_exited();
    const TaskOutput* capture() const { return log.get(); }

    OutputConfig config;

private:
    std::unique_ptr<TaskOutput> log;
};

// /dev/null for a program's output, open for the time of its start.
class NullOutput {
public:
    NullOutput();
    ~NullOutput();
    NullOutput(const NullOutput&) = delete;
    NullOutput& operator=(const NullOutput&) = delete;
    int fd() const { return null_fd; }

private:
    int null_fd;
};

#endif
