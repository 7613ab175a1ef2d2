// The one log of the process. Every line goes to standard error behind a
// site-time stamp, "<2026/12/5 18:30:02.123> text\n": at once until
// net_log_open(), and after it through a 256 KiB buffer, written out when it
// is full, after an errno report and by the flushes below. A write that
// fails loses whole lines, and the next line says how many and why.
//
// Threads: any function from any thread. A line's stamp and text go in
// under one hold of the log's mutex, so lines of threads never mix.
#ifndef NETWORK_SYSTEM_NET_LOGGING_H_
#define NETWORK_SYSTEM_NET_LOGGING_H_

#include <cstdarg>
#include <cstdio>

class ClockTime;

// Writes one log line: the stamp, then `format` cut to its first 254
// characters, formatted with the arguments (which are never cut). Returns
// what the formatted write of the text returned, or 0 while silenced.
int net_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
int net_vlog(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// The same line stamped with `when` instead of now.
int net_log_at(const ClockTime& when, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Writes nothing and returns 0: it keeps the diagnostic places of the code
// marked and their arguments type-checked.
int net_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The errno report made right after a failed system call:
// "Error: <file>(<line>): <strerror text>", then a flush. errno is kept.
void net_log_errno(const char* file, int line);
#define NET_LOG_ERRNO() net_log_errno(__FILE__, __LINE__)

void net_log_flush();
bool net_log_waiting();

// Flushes when the flush clock is armed and ten or more whole seconds lie
// between now and the last flush it saw, in either direction.
void net_log_flush_due();
// Arms the flush clock (as if flushed now), and disarms it.
void net_log_timer_start();
void net_log_timer_stop();

// Claims the log file at `path` (made when missing, never truncated) for
// this process and its forks while the log stays on it: 1, or 0 when another
// process holds it, -1 (errno set) when it cannot be opened or is not a
// regular file. net_log_reopen() moves the claim along.
int net_log_claim(const char* path);

// Points standard input and output at /dev/null and the log at the regular
// file `path`, truncated, opened for appending and never through a symbolic
// link. Returns the stream open on it (stderr), or null after an errno
// report: then the log stays on the descriptor inherited from the caller.
FILE* net_log_open(const char* path);

// Opens the log file again by its path, creating it when a rotation has
// renamed it: lines waiting go to the old file, every later one to the new.
// 1 when done or when no log file is open; 0 after an errno report written
// to the old file, where the log stays.
int net_log_reopen();

// Flushes the log and closes a stream net_log_open returned (null: nothing).
void net_log_close(FILE* stream);

// Turns line output off for the rest of the process. Flushes still flush.
void net_log_silence();

#endif  // NETWORK_SYSTEM_NET_LOGGING_H_
