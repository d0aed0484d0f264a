// CPU, memory and disk usage of the host as whole percentages, -1 where a
// figure cannot be measured. The CPU figure comes from two snapshots of the
// tick counters taken a moment apart, and the disk figure from the output of
// a df run that the caller starts without waiting, so that measuring never
// blocks.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "protocol/keeper_records.h"

class ResourceUsage {
public:
    // Change bits of a hardware-status event.
    enum Change : unsigned { kDiskChanged = 32, kMemChanged = 64, kCpuChanged = 128 };

    struct Sources {
        std::string stat;
        std::string meminfo;
        // Words of the command that prints the disk usage in the format of
        // "df -P".
        std::vector<std::string> df;
        // Seconds since the epoch with microseconds.
        std::function<double()> now;
    };
    // The host's own files, "df -P" and the wall clock.
    static Sources hostSources();

    explicit ResourceUsage(Sources sources = hostSources());

    // First CPU snapshot of a measurement.
    void first_cpu_snapshot();
    // Second snapshot: completes the measurement that refresh() reports.
    void next_cpu_snapshot();
    // Brings the record's memory, CPU and disk words up to date (the disk
    // figure as the caller measured it) and answers the change bits of the
    // words that moved.
    unsigned refresh(ConfigHwStatus& record, int disk);

    int cpu_usage() const { return lastCpu; }
    int mem_usage() const;
    const std::vector<std::string>& df_command() const { return sources.df; }
    // "df -P" output: used over used and available, for every file system.
    static int disk_usage_from(const std::string& df);

private:
    // Sum of the user, nice and system ticks, -1 when unreadable; with a
    // processor count, the cpu lines that follow are counted.
    long long busy_ticks(int* processors) const;

    Sources sources;
    double firstTime = 0;
    long long firstBusy = -1;
    int lastCpu = 0;
};
