// The back-trace file a crash leaves. A signal handler may only compute and
// make system calls that are safe there: no stdio, no memory allocation, no
// C library time formatting (localtime takes locks). Everything else is
// done while the daemon runs normally: the file name's fixed part and the
// offset of local time from UTC.
#ifndef KEEPER_CRASH_REPORT_H
#define KEEPER_CRASH_REPORT_H

#include <cstddef>

// Back-trace files go into `folder` (ending in '/'), made when missing.
void crash_report_prepare(const char* folder);
// Takes the UTC offset again, after a change of summer time or time zone.
void crash_report_refresh_clock();

// For the crash handler. "Terminate: Raising signal <sig> !!!" on standard
// error.
void crash_report_notice(int sig);
// For the crash handler. The caller's back-trace into this minute's file.
void crash_report_write();

// "<base>_<year>.<month>.<day>.<hour>.<minute>" of the local time `local`
// (seconds since the epoch plus the UTC offset), no zero padding: one file
// per minute. Safe in a signal handler. False, and `out` empty, when the
// name does not fit in `size` bytes.
bool crash_file_name(char* out, size_t size, const char* base, long long local);

#endif
