#include "plugins/resource_usage.h"

#include <sys/time.h>

#include <cstring>

#include "support/appliance.h"
#include "support/ev_debug.h"
#include "support/run_prog.h"

namespace {

double time_so_far() {
    timeval tv = {0, 0};
    if (gettimeofday(&tv, nullptr) != 0) printf("gettimeofday\n");
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

int percent(double part, double whole) {
    if (whole <= 0) return -1;
    double share = part / whole * 100;
    if (share < 0) return 0;
    return share > 100 ? 100 : static_cast<int>(share);
}

// One word of the record; the change bit when it moved.
unsigned store(int32_t& word, int value, unsigned bit) {
    if (word == value) return 0;
    word = value;
    return bit;
}

}  // namespace

ResourceUsage::Sources ResourceUsage::hostSources() {
    return Sources{APP_PROC_STAT, APP_PROC_MEMINFO, argvWords(ARGV_DF), time_so_far};
}

ResourceUsage::ResourceUsage(Sources sources) : sources(std::move(sources)) {}

long long ResourceUsage::busy_ticks(int* processors) const {
    FILE* file = fopen(sources.stat.c_str(), "r");
    if (!file) return -1;
    char name[64];
    // Tick sums run past 32 bits on a host that has been up for months.
    long long user = 0, nice = 0, system = 0;
    long long busy = -1;
    if (fscanf(file, "%63s %lld %lld %lld", name, &user, &nice, &system) == 4)
        busy = user + nice + system;
    if (processors) {
        *processors = 0;
        char line[256];
        if (fgets(line, sizeof line, file))  // the rest of the summary line
            while (fgets(line, sizeof line, file) && strncmp(line, "cpu", 3) == 0) ++*processors;
    }
    fclose(file);
    return busy;
}

void ResourceUsage::first_cpu_snapshot() {
    EV_TRACE(DL_DEBUG, "Enter get_cpu_usage()");
    firstTime = sources.now();
    firstBusy = busy_ticks(nullptr);
}

void ResourceUsage::next_cpu_snapshot() {
    EV_TRACE(DL_DEBUG, "Enter get_next_cpu_usage()");
    double now = sources.now();
    int processors = 0;
    long long busy = busy_ticks(&processors);
    double elapsed = now - firstTime;
    if (busy < 0 || firstBusy < 0 || processors == 0 || elapsed <= 0) {
        lastCpu = -1;
        return;
    }
    // The kernel counts 100 ticks a second on every processor.
    float usage = static_cast<float>(static_cast<double>(busy - firstBusy) / (elapsed * 100) * 100 /
                                     processors);
    EV_TRACE(DL_DEBUG, "cpu usage: %.1f%%\n", static_cast<double>(usage));
    lastCpu = percent(usage, 100);
}

int ResourceUsage::mem_usage() const {
    FILE* file = fopen(sources.meminfo.c_str(), "r");
    if (!file) {
        EV_TRACE(DL_ERROR, "Can't open file [%s]", sources.meminfo.c_str());
        return -1;
    }
    static const size_t totalLen = strlen("MemTotal:");
    static const size_t freeLen = strlen("MemFree:");
    unsigned long long total = 0, free = 0;
    bool haveTotal = false, haveFree = false, bad = false;
    char line[256];
    while (!(haveTotal && haveFree) && !bad && fgets(line, sizeof line, file)) {
        if (strncmp(line, "MemTotal:", totalLen) == 0)
            bad = !(haveTotal = sscanf(line + totalLen, "%llu", &total) == 1);
        else if (strncmp(line, "MemFree:", freeLen) == 0)
            bad = !(haveFree = sscanf(line + freeLen, "%llu", &free) == 1);
    }
    fclose(file);
    if (!haveTotal || !haveFree) {
        EV_TRACE(DL_ERROR, "Error in read from [%s]", sources.meminfo.c_str());
        return -1;
    }
    return percent(static_cast<double>(total) - static_cast<double>(free),
                   static_cast<double>(total));
}

int ResourceUsage::disk_usage_from(const std::string& df) {
    if (df.empty()) return -1;  // no header: no output at all
    unsigned long long used = 0, available = 0;
    // The lines after the header; a last line may lack its newline.
    size_t start = df.find('\n');
    while (start != std::string::npos && ++start < df.size()) {
        const size_t end = df.find('\n', start);
        const std::string line =
            df.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end;
        char fs[256];
        unsigned long long blocks, lineUsed, lineAvailable;
        if (sscanf(line.c_str(), "%255s%llu%llu%llu", fs, &blocks, &lineUsed, &lineAvailable) !=
            4) {
            EV_TRACE(DL_ERROR, "Error in parsing output of [df] command");
            continue;
        }
        used += lineUsed;
        available += lineAvailable;
    }
    return percent(static_cast<double>(used), static_cast<double>(used + available));
}

unsigned ResourceUsage::refresh(ConfigHwStatus& record, int disk) {
    unsigned changes = store(record.cpuUsage, lastCpu, kCpuChanged);
    changes |= store(record.diskUsage, disk, kDiskChanged);
    changes |= store(record.memUsage, mem_usage(), kMemChanged);
    return changes;
}
