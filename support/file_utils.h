// File and folder helpers.
#pragma once

bool isDir(const char* path);
bool isFile(const char* path);
// Size of a regular file, -1 for anything else.
long long getFileSize(const char* path);
// Copies `from` over `to` (created or truncated, mode 0644); 0 or -1.
int copyFile(const char* from, const char* to);
// Removes the folder tree under `path` and the folder itself.
bool delDir(const char* path);
