#include "keeper/task_output.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

#include "reactor/ev_engine.h"
#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/output_log.h"
#include "support/proc_utils.h"

namespace {

long long monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One buffer for every pipe: the loop reads one pipe at a time.
char read_buffer[TaskOutput::kReadPerPass];

// Log names in use: a second task of the same name gets "<name>~2".
std::set<std::string>& claimed_names() {
    static std::set<std::string> names;
    return names;
}

std::string claim_name(const std::string& base) {
    std::string name = base;
    for (int n = 2; !claimed_names().insert(name).second; ++n)
        name = base + "~" + std::to_string(n);
    return name;
}

}  // namespace

// One stream of a task: the read end in the engine, the write end for the
// program, and the line being assembled.
class OutputPipe : public EvHandler {
public:
    OutputPipe(TaskOutput* owner, int write_fd, int severity, const char* module)
        : owner(owner),
          write_fd(write_fd),
          severity(severity),
          module(module),
          lines([this](const char* line, size_t length) { emit(line, length); }) {}
    ~OutputPipe() override { close(write_fd); }
    OutputPipe(const OutputPipe&) = delete;
    OutputPipe& operator=(const OutputPipe&) = delete;

    int handleOpen(EvAdapter* s) override {
        sock = s;
        return 0;
    }
    int handleInput(EvAdapter*) override {
        read_once();
        return 0;
    }
    // The engine has closed the read end (the daemon stops): the partial
    // line goes out, and the handler with its socket.
    int handleClose(EvAdapter*) override {
        lines.flush();
        if (owner) owner->pipe_gone(this);
        return -1;
    }

    // What the pipe holds now, then the partial line. No more than that: a
    // child the program left behind may go on writing, and the loop must
    // not follow it.
    void drain() {
        int left = 0;
        if (sock && ioctl(sock->getHandle(), FIONREAD, &left) != 0) left = 0;
        while (left > 0) {
            const ssize_t n = read_once();
            if (n <= 0) break;
            left -= static_cast<int>(n);
        }
        lines.flush();
    }
    // The owner goes first: the engine drops the socket at the end of the pass.
    void detach(EvEngine* engine) {
        drain();
        owner = nullptr;
        engine->evClose(sock);
    }
    bool flush_if_idle(long long now) { return lines.flush_if_idle(now); }
    int program_end() const { return write_fd; }

private:
    ssize_t read_once() {
        if (!sock) return 0;
        ssize_t n = read(sock->getHandle(), read_buffer, sizeof read_buffer);
        if (n <= 0) return n;
        if (owner) owner->batch_begin();
        lines.feed(read_buffer, static_cast<size_t>(n), monotonic_ms());
        if (owner) owner->batch_end(lines.holding());
        return n;
    }
    void emit(const char* line, size_t length) {
        if (owner) owner->write_line(line, length, severity, module);
    }

    TaskOutput* owner;
    EvAdapter* sock = nullptr;
    int write_fd;
    int severity;
    const char* module;
    LineAssembler lines;
};

bool OutputConfig::parse_mode(const std::string& text, Mode& mode) {
    if (text == "inherit")
        mode = Inherit;
    else if (text == "log")
        mode = Log;
    else if (text == "null")
        mode = Null;
    else
        return false;
    return true;
}

bool OutputConfig::parse_size(const std::string& text, long long& bytes) {
    size_t digits = 0;
    while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    const std::string unit = text.substr(digits);
    if (digits == 0 || digits > 12 ||
        !(unit.empty() || unit == "K" || unit == "k" || unit == "M" || unit == "m"))
        return false;
    bytes = Logger::getLogSize(text.c_str());
    return bytes > 0;
}

TaskOutput::TaskOutput(EvEngine* engine, const std::string& task, long long max_size)
    : engine(engine),
      task(task),
      base(claim_name(Com_outputLogBase(task))),
      path(Com_outputLogPath(Com_appHome(), base)),
      max_size(max_size) {}

TaskOutput::~TaskOutput() {
    if (idle_timer > 0) engine->delTimer(idle_timer);
    for (OutputPipe* pipe : pipes)
        if (pipe) pipe->detach(engine);
    claimed_names().erase(base);
}

bool TaskOutput::prepare() {
    if (!log.opened()) {
        const std::string folder = Com_appHome() + "/" + APP_LOG_SUBDIR;
        mkdir(folder.c_str(), 0755);
        log.init(path.c_str(), max_size, Logger::Append);
    }
    return (pipes[0] && pipes[1]) || open_pipes();
}

bool TaskOutput::open_pipes() {
    const int severities[2] = {Logger::Info, Logger::Error};
    const char* const modules[2] = {"stdout", "stderr"};
    for (int i = 0; i < 2; ++i) {
        if (pipes[i]) continue;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0 || fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0) {
            EV_TRACE(DL_ERROR, "TaskOutput, task %s: no pipe for its %s (%s)", task.c_str(),
                     modules[i], strerror(errno));
            return false;
        }
        auto* pipe = new OutputPipe(this, ends[1], severities[i], modules[i]);
        if (!engine->registerSocket(ends[0], pipe, false, EV_RAW_READ | EV_BULK)) {
            // The engine has closed the read end.
            delete pipe;
            return false;
        }
        pipes[i] = pipe;
    }
    return true;
}

int TaskOutput::stdout_fd() const { return pipes[0] ? pipes[0]->program_end() : -1; }

int TaskOutput::stderr_fd() const { return pipes[1] ? pipes[1]->program_end() : -1; }

void TaskOutput::program_exited() {
    for (OutputPipe* pipe : pipes)
        if (pipe) pipe->drain();
}

void TaskOutput::write_line(const char* line, size_t length, int severity, const char* module) {
    if (!log.log(line, length, severity, module)) count_drop(1);
}

void TaskOutput::batch_begin() { log.hold(); }

void TaskOutput::batch_end(bool partial_held) {
    const unsigned long failed = log.release();
    if (failed) count_drop(failed);
    if (partial_held && idle_timer <= 0)
        idle_timer = engine->addTimer(1, this, &TaskOutput::flush_idle, nullptr, -1);
}

void TaskOutput::count_drop(unsigned long lines) {
    dropped_lines += lines;
    const long now = engine->getClock().uptime();
    if (drop_traced_at >= 0 && now - drop_traced_at < kDropTracePeriod) return;
    EV_TRACE(DL_WARNING, "TaskOutput, task %s: %lu lines of output dropped (%lu in all), %s",
             task.c_str(), dropped_lines - dropped_traced, dropped_lines, path.c_str());
    dropped_traced = dropped_lines;
    drop_traced_at = now;
}

void TaskOutput::pipe_gone(OutputPipe* pipe) {
    for (OutputPipe*& mine : pipes)
        if (mine == pipe) mine = nullptr;
}

int TaskOutput::flush_idle(void*) {
    const long long now = monotonic_ms();
    bool holding = false;
    for (OutputPipe* pipe : pipes)
        if (pipe && pipe->flush_if_idle(now)) holding = true;
    if (!holding) idle_timer = 0;
    return holding ? 1 : 0;
}

NullOutput::NullOutput() : null_fd(open("/dev/null", O_WRONLY | O_CLOEXEC)) {}

NullOutput::~NullOutput() {
    if (null_fd >= 0) close(null_fd);
}

TaskOutput* OutputRoute::prepared(EvEngine* engine, const char* task) {
    if (config.mode != OutputConfig::Log) return nullptr;
    if (!log) {
        const long long size =
            config.max_size > 0 ? config.max_size : Logger::getLogSize(APP_OUTPUT_LOG_SIZE);
        log.reset(new TaskOutput(engine, task, size));
    }
    return log->prepare() ? log.get() : nullptr;
}

void OutputRoute::program_exited() {
    if (log) log->program_exited();
}
