// File and folder helpers.
#pragma once

#include <sys/types.h>

bool isDir(const char* path);
bool isFile(const char* path);
// Size of a regular file, -1 for anything else.
long long getFileSize(const char* path);
// Copies `from` over `to` (created or truncated, mode 0644); 0 or -1.
int copyFile(const char* from, const char* to);
// Writes all `len` bytes, resuming after a signal or a partial write;
// false on an error.
bool writeAll(int fd, const char* data, ssize_t len);
// Removes the folder tree under `path` and the folder itself.
bool delDir(const char* path);
