// File and folder helpers.
#pragma once

#include <sys/types.h>

#include <cstdio>

bool isDir(const char* path);
bool isFile(const char* path);
// Size of a regular file, -1 for anything else.
long long getFileSize(const char* path);
// Writes all `len` bytes, resuming after a signal or a partial write;
// false on an error.
bool writeAll(int fd, const char* data, ssize_t len);
// Removes the folder tree under `path` and the folder itself.
bool delDir(const char* path);
// Opens a file that lies in a folder others can write, for reading. Only a
// regular file is opened: a link at the path is not followed, and a FIFO or
// device neither holds the caller nor is read, so whoever can write the
// folder can neither stall the daemon nor point it at another file. Returns
// a close-on-exec descriptor, or -1 with errno set (ELOOP for a link, EINVAL
// for anything else that is not a regular file).
int openRegularForRead(const char* path);
// The same as a stream; null on failure.
FILE* fopenRegularForRead(const char* path);
// Opens a log, trace or crash file for writing, emptied when `truncate` is
// set and appended to otherwise. A new file is made 0640 (less the umask):
// what the daemon logs is for root and its group only. A link at the path is
// not followed, so whoever can write the folder cannot have root empty or
// fill another file, and a FIFO there without a reader is refused at once
// (ENXIO) rather than holding the daemon. A close-on-exec descriptor, or -1
// with errno set.
int openLogFile(const char* path, bool truncate);
