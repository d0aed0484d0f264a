#include "plugins/resource_usage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

std::string statText(long long user, long long nice, long long system, int processors) {
    std::string text = "cpu  " + std::to_string(user) + " " + std::to_string(nice) + " " +
                       std::to_string(system) + " 99999 0 0 0 0 0 0\n";
    for (int i = 0; i < processors; ++i) text += "cpu" + std::to_string(i) + " 1 2 3 4 0 0 0\n";
    return text + "intr 12345 0 0\nctxt 999\n";
}

int dfUsage(const std::string& output) { return ResourceUsage::disk_usage_from(output); }

// The disk figure as the plug-in takes it from a df run.
int dfFile(const std::string& path) { return dfUsage(readText(path)); }

}  // namespace

TEST(ResourceUsage, MeasuresAndReportsOnlyWhatChanged) {
    TempDir dir;
    double now = 1000.0;
    ResourceUsage::Sources sources{dir / "stat", dir / "meminfo", {"df"}, [&now] { return now; }};
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
              usage.refresh(record, dfFile(dir / "df")));
    EXPECT_EQ(75, record.memUsage);
    EXPECT_EQ(50, record.cpuUsage);
    EXPECT_EQ(20, record.diskUsage);
    EXPECT_EQ(0u, usage.refresh(record, dfFile(dir / "df")));

    // A figure that cannot be measured is -1, reported like any change.
    writeText(dir / "meminfo", "MemTotal:  1000 kB\n");
    EXPECT_EQ(unsigned(ResourceUsage::kMemChanged), usage.refresh(record, 20));
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

TEST(ResourceUsage, HostFiguresAreInRange) {
    ResourceUsage usage;
    EXPECT_GE(usage.mem_usage(), 0);
    EXPECT_LE(usage.mem_usage(), 100);
    EXPECT_EQ(usage.df_command(), (std::vector<std::string>{"df", "-P"}));
}
