// The one log of the process.
//
// Every line goes to the log's descriptor, standard error, behind a stamp in
// site time (UTC+9): "<2026/12/5 18:30:02.123> text\n". Until net_log_open()
// that is the descriptor inherited from the caller, and each line is written
// at once; after it, the log file, and lines wait in a 256 KiB buffer.
//
// Threads: every function may be called from any thread. The buffer has a
// mutex of its own; a line's stamp and text go in under one hold of it, so
// lines of different threads never mix.
//
// Flushing: besides when the buffer is full, the log is flushed after every
// errno report, by net_log_flush(), net_log_reopen() and net_log_close(),
// and by net_log_flush_due(), which the server's threads call once per pass
// and which flushes when ten or more whole seconds have passed since the
// last timed flush.
//
// Loss: a write that fails loses lines, never parts of them. The rest of a
// line cut short is written first once writing works again, and the next
// line then says how many lines were lost and why: "lost 12 log lines (3456
// bytes): No space left on device".
#ifndef NETWORK_SYSTEM_NET_LOGGING_H_
#define NETWORK_SYSTEM_NET_LOGGING_H_

#include <cstdarg>
#include <cstdio>

class ClockTime;

// Writes one log line: the stamp, then `format` cut to its first 254
// characters with "\n" appended, formatted with the arguments (which are
// never cut). Returns what the formatted write of the text returned, or 0
// while the output is silenced.
int net_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
int net_vlog(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// The same line stamped with `when` instead of now: for a line written
// later than the moment it tells of.
int net_log_at(const ClockTime& when, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Debug trace: takes the same arguments as net_log and writes nothing.
// Kept so that every diagnostic place in the code is still marked and
// type-checked. Always returns 0.
int net_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The errno report made right after a failed system call:
// "Error: <file>(<line>): <strerror text>", then a flush. errno is kept.
void net_log_errno(const char* file, int line);
#define NET_LOG_ERRNO() net_log_errno(__FILE__, __LINE__)

// Writes out the lines waiting in the buffer; while the flush clock is armed
// records the time of this flush.
void net_log_flush();

// Whether lines wait in the buffer for a flush.
bool net_log_waiting();

// Flushes when the flush clock is armed and ten or more whole seconds lie
// between now and the last timed flush (either way: a clock set back by ten
// seconds flushes too). Does nothing while the clock is disarmed.
void net_log_flush_due();

// Arms the flush clock (last flush := now) and disarms it.
void net_log_timer_start();
void net_log_timer_stop();

// Claims the log file at `path` (made when missing, never truncated) for
// this process and the processes it forks, with an exclusive lock held for
// as long as the log stays on that file: a second daemon pointed at the same
// file learns that it is in use and leaves it alone. net_log_reopen() moves
// the claim to the new file. 1 when claimed; 0 when another process holds
// it; -1 when it cannot be opened or is not a regular file (errno set;
// net_log_open() reports that).
int net_log_claim(const char* path);

// Points standard input and output at /dev/null and the log at the file
// `path`, truncated, opened for appending and never through a symbolic link.
// A path that is not a regular file (a FIFO, a device) is refused without
// blocking, as a failed open.
// Returns the stream now open on it (the standard error stream), or null
// after an errno report when it could not be opened: then the log stays on
// the descriptor inherited from the caller.
FILE* net_log_open(const char* path);

// Opens the log file again by its path, for appending, creating it when a
// rotation has renamed it: lines waiting go to the old file first, and every
// later line to the new one. 1 when done or when no log file is open; 0
// after an errno report written to the old file, where the log stays.
int net_log_reopen();

// Flushes the log and closes a stream returned by net_log_open; null does
// nothing.
void net_log_close(FILE* stream);

// Turns line output off for the rest of the process. Flushes still flush.
void net_log_silence();

#endif  // NETWORK_SYSTEM_NET_LOGGING_H_
