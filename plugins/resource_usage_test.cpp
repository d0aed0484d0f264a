#include "plugins/resource_usage.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include "support/test_util.h"

namespace {

std::string statText(long long user, long long nice, long long system, int processors) {
    std::string text = "cpu  " + std::to_string(user) + " " + std::to_string(nice) + " " +
                       std::to_string(system) + " 99999 0 0 0 0 0 0\n";
    for (int i = 0; i < processors; ++i) text += "cpu" + std::to_string(i) + " 1 2 3 4 0 0 0\n";
    return text + "intr 12345 0 0\nctxt 999\n";
}

int dfUsage(const std::string& output) { return ResourceUsage::disk_usage_from(output); }

}  // namespace

TEST(ResourceUsage, MeasuresAndReportsOnlyWhatChanged) {
    TempDir dir;
    double now = 1000.0;
    ResourceUsage::Sources sources{
        dir / "stat", dir / "meminfo", {"cat", dir / "df"}, [&now] { return now; }};
    writeText(dir / "meminfo", "MemTotal:  1000 kB\nMemFree:    250 kB\nBuffers: 1 kB\n");
    writeText(dir / "df",
              "Filesystem 1024-blocks Used Available Capacity Mounted on\n"
              "/dev/sda1 100 30 70 30% /\n/dev/sdb1 100 10 90 10% /data\n");
    ResourceUsage usage(sources);

    // Four processors whose busy ticks grow by 200 within one second.
    writeText(dir / "stat", statText(5000000000LL, 10, 20, 4));
    usage.first_cpu_snapshot();
    now += 1.0;
    writeText(dir / "stat", statText(5000000150LL, 10, 70, 4));
    usage.next_cpu_snapshot();
    EXPECT_EQ(50, usage.cpu_usage());

    ConfigHwStatus record = {};
    EXPECT_EQ(ResourceUsage::kCpuChanged | ResourceUsage::kMemChanged | ResourceUsage::kDiskChanged,
              usage.refresh(record));
    EXPECT_EQ(75, record.memUsage);
    EXPECT_EQ(50, record.cpuUsage);
    EXPECT_EQ(20, record.diskUsage);
    EXPECT_EQ(0u, usage.refresh(record));

    // A figure that cannot be measured is -1, reported like any change.
    writeText(dir / "meminfo", "MemTotal:  1000 kB\n");
    EXPECT_EQ(unsigned(ResourceUsage::kMemChanged), usage.refresh(record));
    EXPECT_EQ(-1, record.memUsage);

    // A second snapshot at the same instant cannot divide by its interval.
    usage.first_cpu_snapshot();
    usage.next_cpu_snapshot();
    EXPECT_EQ(-1, usage.cpu_usage());
}

TEST(ResourceUsage, DiskUsageFromDfOutput) {
    EXPECT_EQ(-1, dfUsage(""));
    EXPECT_EQ(-1, dfUsage("Filesystem 1024-blocks Used Available Capacity Mounted on\n"
                          "garbage line\nnone - - - - /proc\n"));
    EXPECT_EQ(-1, dfUsage("Filesystem 1024-blocks Used Available Capacity Mounted on\n"
                          "tmpfs 0 0 0 - /run\n"));
    // Sizes beyond 32 bits (a 40 TiB array in 1024-byte blocks).
    EXPECT_EQ(25, dfUsage("Filesystem 1024-blocks Used Available Capacity Mounted on\n"
                          "/dev/md0 42949672960 10737418240 32212254720 25% /srv\n"
                          "broken\n"));
    // An empty line is skipped; a last line without its newline still counts.
    EXPECT_EQ(20, dfUsage("Filesystem 1024-blocks Used Available Capacity Mounted on\n"
                          "/dev/a 100 30 70 30% /\n\n/dev/b 100 10 90 10% /b"));
}

TEST(ResourceUsage, HangingDfCountsAsUnknownAndIsReaped) {
    ResourceUsage::Sources sources = ResourceUsage::hostSources();
    sources.df = {"/bin/sh", "-c", "echo Filesystem; exec sleep 30"};
    sources.dfTimeoutMs = 200;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, ResourceUsage(sources).disk_usage());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG)) << "the killed df is reaped";
    sources.df = {"/no/such/df"};
    EXPECT_EQ(-1, ResourceUsage(sources).disk_usage());
}

TEST(ResourceUsage, HostFiguresAreInRange) {
    ResourceUsage usage;
    for (int value : {usage.mem_usage(), usage.disk_usage()}) {
        EXPECT_GE(value, 0);
        EXPECT_LE(value, 100);
    }
}
