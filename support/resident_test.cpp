#include "support/resident.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

int written_at_run_time;                              // zero in the file, set while running
const char* const relocated[] = {"first", "second"};  // pointers the loader relocates

struct Shape {
    virtual ~Shape() = default;
    virtual int sides() const { return 4; }
};

long resident_kb() {
    FILE* rollup = fopen("/proc/self/smaps_rollup", "r");
    if (rollup == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (kb < 0 && fgets(line, sizeof line, rollup))
        if (strncmp(line, "Rss:", 4) == 0) kb = atol(line + 4);
    fclose(rollup);
    return kb;
}

TEST(Resident, CodePagesLeaveAndWhatWasWrittenStays) {
    written_at_run_time = 42;
    std::string on_heap = "kept on the heap";
    std::unique_ptr<Shape> shape(new Shape);
    const long before = resident_kb();
    release_read_only_pages();
    const long after = resident_kb();
    ASSERT_GT(before, 0);
    EXPECT_LT(after, before);
    EXPECT_EQ(42, written_at_run_time);
    EXPECT_STREQ("second", relocated[1]);
    EXPECT_EQ("kept on the heap", on_heap);
    EXPECT_EQ(4, shape->sides());
    // What left comes back when it runs again.
    release_read_only_pages();
    EXPECT_EQ(4, shape->sides());
}

}  // namespace
