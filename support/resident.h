// Keeping a long-running program's resident set to what it runs.
#pragma once

// Drops from this process's page tables every page of its program and
// shared libraries that is never written: code and read-only data. Pages
// that only start-up used leave the resident set but stay in the page
// cache; what runs afterwards faults its pages back in from there, without
// reading the disk. Nothing written is touched: data, relocated tables, the
// heap and the stack keep their contents.
void release_read_only_pages();

// On the code that runs after the release, as it returns to the loop: it is
// linked with the other hot code, at the head of the program's code, beside
// the engine's loop that the daemon links first, so that the pages it
// touches at rest lie together.
#define RUNS_AT_REST __attribute__((hot))
