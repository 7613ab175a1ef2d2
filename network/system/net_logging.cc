#include "network/system/net_logging.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "network/system/clock_time.h"
#include "network/system/thread_annotations.h"

namespace {

// Longest part of a caller's format that is kept; the newline and the
// terminator fill the 256-byte line buffer.
constexpr size_t kFormatKept = 254;

// Lines wait here while a log file is open: a busy server writes many lines
// per write(2).
constexpr size_t kLogBufferBytes = 256 * 1024;

// Seconds between two timed flushes.
constexpr int64_t kFlushInterval = 10;

std::atomic<bool> output_on{true};

// The flush clock: every server thread reads it once a pass, and every
// flush writes it, from any thread, so it lives in atomics and reading it
// takes no lock. The last flush time is one 64-bit count of microseconds so
// that it is always read whole. Two threads that both find a flush due both
// flush; that costs one extra flush and nothing else.
std::atomic<bool> flush_clock_armed{false};
std::atomic<int64_t> last_flush_micros{0};

// A mutex the thread safety analysis knows.
class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { pthread_mutex_lock(&mutex_); }
    void unlock() RELEASE() { pthread_mutex_unlock(&mutex_); }

  private:
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mutex_;
};

// What goes to the log's descriptor, 2, shared by every thread under
// output_mutex. No thread can be cancelled while it holds the mutex: the
// server's threads flush before they enable cancellation, and write nothing
// while it is enabled.
//
// Lines are written whole or not at all. When a write fails part-way
// through a line, the rest of that line stays at the front of the buffer
// (`head_torn`) and goes out first once writing works again, so no line is
// ever torn into the next; the lines behind it are dropped and counted, and
// the first thing written after them is a line saying how many were lost and
// why.
struct LogOutput {
    bool buffered = false;   // a log file is open; otherwise each line goes out at once
    bool head_torn = false;  // buffer starts with the rest of a line begun in the file
    size_t used = 0;
    uint64_t lost_lines = 0;  // lines dropped since the last loss line was written
    uint64_t lost_bytes = 0;
    int lost_errno = 0;  // why the last of them were dropped
    char path[256] = "";
    char buffer[kLogBufferBytes];
};
Mutex output_mutex;
LogOutput output GUARDED_BY(output_mutex);
// The descriptor that holds the claim on the log file (net_log_claim), or -1.
int claim_fd GUARDED_BY(output_mutex) = -1;

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

// Writes the site-time stamp of `now` to `out` (room for 64 bytes) and
// returns its length.
size_t format_stamp(ClockTime& now, char* out) {
    StampCache& cache = stamp_cache;
    if (now.seconds() != cache.second) {
        const CalendarFields& f = now.site_fields();
        const int length = snprintf(cache.prefix, sizeof cache.prefix, "<%d/%d/%d %02d:%02d:%02d.",
                                    f.year, f.month + 1, f.day + 1, f.hour, f.minute, f.second);
        cache.length = static_cast<size_t>(length);
        cache.second = now.seconds();
    }
    memcpy(out, cache.prefix, cache.length);
    const int millis = now.microseconds() / 1000;
    char* tail = out + cache.length;
    tail[0] = static_cast<char>('0' + millis / 100);
    tail[1] = static_cast<char>('0' + millis / 10 % 10);
    tail[2] = static_cast<char>('0' + millis % 10);
    tail[3] = '>';
    tail[4] = ' ';
    return cache.length + 5;
}

// Writes `length` bytes to the log; returns how many went out before the
// first failure, whose reason is then in errno.
size_t write_out(const char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(STDERR_FILENO, data + done, length - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    return done;
}

// Drops buffer bytes [from, used) as lost lines.
void drop_lines_from(size_t from, int error) REQUIRES(output_mutex) {
    for (size_t i = from; i < output.used; ++i)
        output.lost_lines += output.buffer[i] == '\n';
    output.lost_bytes += output.used - from;
    output.lost_errno = error;
    output.used = from;
}

// The write of the whole buffer stopped after `written` bytes: the rest of
// the line it stopped in moves to the front, to be finished first; the lines
// behind it are dropped. A buffer that already began with such a rest still
// does when not a byte of it went out.
void keep_torn_rest(size_t written, int error) REQUIRES(output_mutex) {
    size_t end = written;
    const bool torn = written > 0 ? output.buffer[written - 1] != '\n' : output.head_torn;
    if (torn)
        end = static_cast<size_t>(
                  static_cast<char*>(memchr(output.buffer + written, '\n', output.used - written)) -
                  output.buffer) +
              1;
    drop_lines_from(end, error);
    memmove(output.buffer, output.buffer + written, end - written);
    output.used = end - written;
    output.head_torn = torn;
}

void flush_locked() REQUIRES(output_mutex) {
    if (output.head_torn) {  // the rest of a line begun in the file goes first
        const size_t end = static_cast<size_t>(
            static_cast<char*>(memchr(output.buffer, '\n', output.used)) - output.buffer + 1);
        const size_t written = write_out(output.buffer, end);
        if (written < end)
            return keep_torn_rest(written, errno);
        memmove(output.buffer, output.buffer + end, output.used - end);
        output.used -= end;
        output.head_torn = false;
    }
    if (output.lost_lines > 0) {
        char line[192];
        ClockTime now;
        now.now();
        size_t length = format_stamp(now, line);
        char reason[128] = "";
        length += static_cast<size_t>(
            snprintf(line + length, sizeof line - length, "lost %llu log lines (%llu bytes): %s\n",
                     static_cast<unsigned long long>(output.lost_lines),
                     static_cast<unsigned long long>(output.lost_bytes),
                     strerror_r(output.lost_errno, reason, sizeof reason)));
        const size_t written = write_out(line, length);
        const int error = errno;
        if (written > 0)  // the loss line is said, or begun: what it reports is told
            output.lost_lines = output.lost_bytes = 0;
        if (written < length) {
            drop_lines_from(0, error);
            if (written > 0) {  // its rest goes first next time
                memcpy(output.buffer, line + written, length - written);
                output.used = length - written;
                output.head_torn = true;
            }
            return;
        }
    }
    const size_t written = write_out(output.buffer, output.used);
    if (written < output.used)
        return keep_torn_rest(written, errno);
    output.used = 0;
}

}  // namespace

namespace {

// Writes one line stamped with `when`.
int vlog_at(ClockTime& when, const char* format, va_list args) {
    if (!output_on.load(std::memory_order_relaxed))
        return 0;
    char line[kFormatKept + 2];
    const size_t kept = strnlen(format, kFormatKept);
    memcpy(line, format, kept);
    line[kept] = '\n';
    line[kept + 1] = '\0';

    MutexLock hold(output_mutex);
    // The stamp and the text go into the buffer together: no other line
    // can come between them. A line that does not fit the buffer's free room
    // goes in after a flush; one longer than the whole buffer is cut.
    int written = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        char* at = output.buffer + output.used;
        const size_t room = sizeof output.buffer - output.used;
        const size_t stamp = room > 64 ? format_stamp(when, at) : room;
        va_list copy;
        va_copy(copy, args);
        written = vsnprintf(at + stamp, room - stamp, line, copy);
        va_end(copy);
        const size_t length = stamp + static_cast<size_t>(written < 0 ? 0 : written);
        if (written >= 0 && length < room) {
            output.used += length;
            break;
        }
        if (attempt == 0 && output.used > 0) {
            flush_locked();
        } else {  // longer than the buffer: cut, and end it
            output.used = sizeof output.buffer;
            output.buffer[output.used - 1] = '\n';
            break;
        }
    }
    if (!output.buffered)
        flush_locked();
    return written;
}

}  // namespace

int net_vlog(const char* format, va_list args) {
    ClockTime now;
    now.now();
    return vlog_at(now, format, args);
}

int net_log_at(const ClockTime& when, const char* format, ...) {
    ClockTime stamped = when;
    va_list args;
    va_start(args, format);
    const int written = vlog_at(stamped, format, args);
    va_end(args);
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
    MutexLock hold(output_mutex);
    flush_locked();
}

bool net_log_waiting() {
    MutexLock hold(output_mutex);
    return output.used > 0;
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

namespace {

// Opens `path` with `flags` (and O_NOFOLLOW, O_CLOEXEC) without blocking and
// keeps it only when it is a regular file: a FIFO would block the open (or
// every write), a device would take the log somewhere else. Anything else
// fails as an open does, with EINVAL, after which errno names the cause.
int open_regular(const char* path, int flags) {
    struct stat status;
    if (lstat(path, &status) == 0 && !S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    const int fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return -1;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {  // replaced since the lstat
        close(fd);
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // inherited by the daily script
    return fd;
}

// A descriptor of the file at `path` with an exclusive flock on it, or -1
// with errno set (EWOULDBLOCK: another process holds it). The lock is on a
// descriptor of its own, close-on-exec, not on the log's descriptor 2: the
// daily script and a job it leaves running inherit descriptor 2, and would
// otherwise keep the file claimed after the daemon has ended.
int claim(const char* path) {
    const int fd = open_regular(path, O_RDONLY | O_CREAT);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

// Opens the log file at `path` for appending and makes it descriptor 2;
// `claim_held` (or -1) becomes the claim on it. Appending means every write
// lands at the file's end: a file shortened under the daemon gets no hole,
// and the daily script's output, written to the same file, never
// overwrites a line. Returns false, with errno set and nothing changed,
// when it cannot be opened.
bool attach_log_file(const char* path, int truncate, int claim_held) {
    int old_claim = -1;
    int fd;
    {
        MutexLock hold(output_mutex);
        // What is waiting belongs to the old file, and goes there before the
        // new file exists: a log shipper that follows the name moves on to a
        // new file as soon as it appears, and must find the old one complete.
        flush_locked();
        if (output.head_torn)  // the rest of a line the old file could not take
            drop_lines_from(0, output.lost_errno);
        output.head_torn = false;
        fd = open_regular(path, O_WRONLY | O_CREAT | O_APPEND | truncate);
        if (fd >= 0) {
            dup2(fd, STDERR_FILENO);  // the copy is inherited: the daily script writes to it
            output.buffered = true;
            snprintf(output.path, sizeof output.path, "%s", path);
            if (claim_held >= 0) {
                old_claim = claim_fd;
                claim_fd = claim_held;
            }
        }
    }
    const int error = errno;
    if (fd >= 0)
        close(fd);  // descriptor 2 is the log now
    else if (claim_held >= 0)
        close(claim_held);  // a claim on a file the log does not use
    if (old_claim >= 0)
        close(old_claim);
    errno = error;
    return fd >= 0;
}

}  // namespace

int net_log_claim(const char* path) {
    const int fd = claim(path);
    if (fd < 0)
        return errno == EWOULDBLOCK ? 0 : -1;
    int old_claim;
    {
        MutexLock hold(output_mutex);
        old_claim = claim_fd;
        claim_fd = fd;
    }
    if (old_claim >= 0)
        close(old_claim);
    return 1;
}

FILE* net_log_open(const char* path) {
    if (freopen("/dev/null", "r", stdin) == nullptr)
        NET_LOG_ERRNO();
    if (freopen("/dev/null", "w", stdout) == nullptr)
        NET_LOG_ERRNO();
    // On failure the log stays on the inherited standard error: the daemon
    // runs on without its log file, and the reason for that is worth more
    // than anything else it will write, so it must reach the operator's
    // terminal or the service manager's journal.
    if (!attach_log_file(path, O_TRUNC, -1)) {
        NET_LOG_ERRNO();
        return nullptr;
    }
    return stderr;
}

int net_log_reopen() {
    char path[sizeof output.path];
    bool claimed;
    {
        MutexLock hold(output_mutex);
        memcpy(path, output.path, sizeof path);
        claimed = claim_fd >= 0;
    }
    if (path[0] == '\0')
        return 1;
    // A claimed log stays claimed: the new file is claimed before it is
    // used, and a file of that name that another process holds is not
    // written. Whatever fails, the lines go on to the file the log had, and
    // the errno report there says why.
    const int claim_held = claimed ? claim(path) : -1;
    if ((claimed && claim_held < 0) || !attach_log_file(path, 0, claim_held)) {
        NET_LOG_ERRNO();
        return 0;
    }
    return 1;
}

void net_log_close(FILE* stream) {
    if (stream == nullptr)
        return;
    net_log_flush();
    fclose(stream);
}

void net_log_silence() {
    output_on.store(false, std::memory_order_relaxed);
}
