// The one log of the process.
//
// Every line is written to the standard error stream behind a stamp in site
// time (UTC+9): "<2026/12/5 18:30:02.123> text\n". Until net_log_open() the
// stream is the one inherited from the caller; after it, the log file.
//
// Threads: every function may be called from any thread. The facility takes
// no lock of its own: the stamp and the text are two single stdio calls, each
// written whole by the C library, so characters never mix within one of them.
// The flush clock is kept in atomics (see net_logging.cc for why no mutex).
//
// Flushing: besides what the stream's buffer writes out by itself, the log is
// flushed after every errno report, by net_log_flush(), by net_log_close() and
// by net_log_flush_due(), which the server's threads call once per pass and
// which flushes when ten or more whole seconds have passed since the last
// timed flush.
#ifndef NETWORK_SYSTEM_NET_LOGGING_H_
#define NETWORK_SYSTEM_NET_LOGGING_H_

#include <cstdarg>
#include <cstdio>

// Writes one log line: the stamp, then `format` cut to its first 254
// characters with "\n" appended, formatted with the arguments (which are
// never cut). Returns what the formatted write of the text returned, or 0
// while the output is silenced.
int net_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
int net_vlog(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Debug trace: takes the same arguments as net_log and writes nothing.
// Kept so that every diagnostic place in the code is still marked and
// type-checked. Always returns 0.
int net_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The errno report made right after a failed system call:
// "Error: <file>(<line>): <strerror text>", then a flush. errno is kept.
void net_log_errno(const char* file, int line);
#define NET_LOG_ERRNO() net_log_errno(__FILE__, __LINE__)

// Flushes the standard error stream; while the flush clock is armed it also
// records the time of this flush.
void net_log_flush();

// Flushes when the flush clock is armed and ten or more whole seconds lie
// between now and the last timed flush (either way: a clock set back by ten
// seconds flushes too). Does nothing while the clock is disarmed.
void net_log_flush_due();

// Arms the flush clock (last flush := now) and disarms it.
void net_log_timer_start();
void net_log_timer_stop();

// Points standard input and output at /dev/null and reopens the standard
// error stream on `path` for writing, truncating the file. Returns the stream
// now open on the file, or null when it could not be opened: then the log
// stays on the stream inherited from the caller (see net_logging.cc).
FILE* net_log_open(const char* path);

// Closes a stream returned by net_log_open; null does nothing.
void net_log_close(FILE* stream);

// Turns line output off for the rest of the process. Flushes still flush.
void net_log_silence();

#endif  // NETWORK_SYSTEM_NET_LOGGING_H_
