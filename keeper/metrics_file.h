// The metrics file: the status of the daemon, its tasks and checks in the
// Prometheus text format, where a node exporter's text-file collector reads
// it. Written at start and then from a timer, at most once a second and only
// when the text changed, never from the path of a restart.
#ifndef KEEPER_METRICS_FILE_H
#define KEEPER_METRICS_FILE_H

#include <functional>
#include <string>
#include <utility>

#include "keeper/task_status.h"
#include "reactor/ev_handler.h"

class EvEngine;

class MetricsFile : public EvHandler {
public:
    using Snapshot = std::function<StatusSnapshot()>;
    MetricsFile(EvEngine* engine, Snapshot snapshot)
        : engine(engine), snapshot(std::move(snapshot)) {}
    ~MetricsFile() override;
    MetricsFile(const MetricsFile&) = delete;
    MetricsFile& operator=(const MetricsFile&) = delete;

    // Writes the file at `path` now and arms the timer; an empty path is no
    // file and nothing is done.
    void start(const std::string& path);
    // Timer callback: rewrites the file when the text changed; keeps the
    // timer.
    int tick(void*);
    const std::string& get_path() const { return path; }

private:
    // Replaces the file as a whole, mode 0644; the temporary name beside it
    // does not end in ".prom", so the collector never reads half a file.
    bool write(const std::string& text);

    EvEngine* engine;
    Snapshot snapshot;
    std::string path;
    std::string written;  // the text now in the file
    int timer = -1;
    bool failing = false;  // a failure is traced once until a write succeeds
};

#endif
