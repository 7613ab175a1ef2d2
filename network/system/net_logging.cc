#include "network/system/net_logging.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "network/system/clock_time.h"

namespace {

// Longest part of a caller's format that is kept; the newline and the
// terminator fill the 256-byte line buffer.
constexpr size_t kFormatKept = 254;

// Buffer of the log file's stream.
constexpr size_t kLogBufferBytes = 256 * 1024;

// Seconds between two timed flushes.
constexpr int64_t kFlushInterval = 10;

std::atomic<bool> output_on{true};

// The flush clock. The status thread and the daily job thread both read and
// write it once per pass, inside their cancellation windows: a mutex there
// could be left locked by a thread cancelled inside the flush (write(2) is a
// cancellation point), so the clock lives in atomics. The last flush time is
// one 64-bit count of microseconds so that it is always read whole. Two
// threads that both find a flush due both flush; that costs one extra
// fflush and nothing else.
std::atomic<bool> flush_clock_armed{false};
std::atomic<int64_t> last_flush_micros{0};

int64_t micros_of(const ClockTime& t) {
    return t.seconds() * 1000000 + t.microseconds();
}

void record_flush_time() {
    ClockTime now;
    now.now();
    last_flush_micros.store(micros_of(now), std::memory_order_relaxed);
}

// The stamp of the current second, "<Y/M/D hh:mm:ss.", kept per thread: the
// calendar breakdown is the costly part of a line, and a busy log writes
// many lines in the same second. The milliseconds are added per line, so the
// text is exactly what ClockTime::print_site_stamp writes.
struct StampCache {
    int64_t second = INT64_MIN;
    size_t length = 0;
    char prefix[48];
};
thread_local StampCache stamp_cache;

// Writes the site-time stamp of `now` to the standard error stream in one
// write. The caller holds the stream.
void write_stamp(ClockTime& now) {
    StampCache& cache = stamp_cache;
    if (now.seconds() != cache.second) {
        const CalendarFields& f = now.site_fields();
        const int length = snprintf(cache.prefix, sizeof cache.prefix, "<%d/%d/%d %02d:%02d:%02d.",
                                    f.year, f.month + 1, f.day + 1, f.hour, f.minute, f.second);
        cache.length = static_cast<size_t>(length);
        cache.second = now.seconds();
    }
    char stamp[sizeof cache.prefix + 5];
    memcpy(stamp, cache.prefix, cache.length);
    const int millis = now.microseconds() / 1000;
    char* tail = stamp + cache.length;
    tail[0] = static_cast<char>('0' + millis / 100);
    tail[1] = static_cast<char>('0' + millis / 10 % 10);
    tail[2] = static_cast<char>('0' + millis % 10);
    tail[3] = '>';
    tail[4] = ' ';
    fwrite_unlocked(stamp, 1, cache.length + 5, stderr);
}

}  // namespace

int net_vlog(const char* format, va_list args) {
    if (!output_on.load(std::memory_order_relaxed))
        return 0;
    ClockTime now;
    now.now();

    char line[kFormatKept + 2];
    const size_t kept = strnlen(format, kFormatKept);
    memcpy(line, format, kept);
    line[kept] = '\n';
    line[kept + 1] = '\0';

    // Stamp and text are two writes; holding the stream across both keeps
    // another thread's line from landing between a stamp and its text.
    flockfile(stderr);
    write_stamp(now);
    const int written = vfprintf(stderr, line, args);
    funlockfile(stderr);
    return written;
}

int net_log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = net_vlog(format, args);
    va_end(args);
    return written;
}

int net_trace(const char*, ...) {
    return 0;
}

void net_log_errno(const char* file, int line) {
    const int saved_errno = errno;
    char buffer[256];
    buffer[0] = '\0';
    // The GNU strerror_r returns the text, which may or may not be `buffer`.
    const char* text = strerror_r(saved_errno, buffer, sizeof buffer);
    net_log("Error: %s(%d): %s", file, line, text);
    net_log_flush();
    errno = saved_errno;
}

void net_log_flush() {
    if (flush_clock_armed.load(std::memory_order_relaxed))
        record_flush_time();
    fflush(stderr);
}

void net_log_flush_due() {
    if (!flush_clock_armed.load(std::memory_order_relaxed))
        return;
    const int64_t last = last_flush_micros.load(std::memory_order_relaxed);
    ClockTime elapsed;
    elapsed.now();
    ClockTime last_flush;
    last_flush.set(last / 1000000, static_cast<int32_t>(last % 1000000));
    elapsed.difference(last_flush);  // absolute: a clock set back counts too
    if (elapsed.seconds() >= kFlushInterval)
        net_log_flush();
}

void net_log_timer_start() {
    record_flush_time();
    flush_clock_armed.store(true, std::memory_order_relaxed);
}

void net_log_timer_stop() {
    flush_clock_armed.store(false, std::memory_order_relaxed);
}

FILE* net_log_open(const char* path) {
    if (freopen("/dev/null", "r", stdin) == nullptr)
        NET_LOG_ERRNO();
    if (freopen("/dev/null", "w", stdout) == nullptr)
        NET_LOG_ERRNO();

    // A failed freopen leaves the standard error stream closed. The daemon
    // runs on without its log file, and the reason for that is worth more
    // than anything else it will write: keep the inherited stream (the
    // operator's terminal, or the service manager's journal) so the report
    // of the failure and every later line still reach someone.
    const int inherited = dup(STDERR_FILENO);
    FILE* log = freopen(path, "w", stderr);
    if (log != nullptr) {
        if (inherited >= 0)
            close(inherited);
        // A file stream's default buffer is one page; a busy server writes
        // far more between two flushes, so give it room for many lines per
        // write(2).
        setvbuf(log, nullptr, _IOFBF, kLogBufferBytes);
        return log;
    }
    const int open_errno = errno;
    if (inherited >= 0) {
        dup2(inherited, STDERR_FILENO);
        close(inherited);
        if (FILE* back = fdopen(STDERR_FILENO, "w")) {
            setvbuf(back, nullptr, _IONBF, 0);  // as unbuffered as the stream it replaces
            stderr = back;
        }
    }
    errno = open_errno;
    NET_LOG_ERRNO();
    return nullptr;
}

void net_log_close(FILE* stream) {
    if (stream != nullptr)
        fclose(stream);
}

void net_log_silence() {
    output_on.store(false, std::memory_order_relaxed);
}
